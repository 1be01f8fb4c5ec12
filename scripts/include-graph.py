#!/usr/bin/env python3
"""The include graph of the sources, one unit per file pair (x.hpp + x.cpp).

    python3 scripts/include-graph.py [FOLDER ...]     (default: src apps)

Prints, for the files under the folders: the number of levels (1 = a unit
that includes nothing of the tree; a unit stands one level above the highest
unit it includes), and the includes that point back up: an include is one
when its units lie in a loop and the order that keeps the most includes
pointing down still puts it upwards. A loop of units is listed with its
members. Includes are resolved beside the including file, then from src/.
"""
import collections
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def source_files(folders):
    for folder in folders:
        for directory, _, names in os.walk(folder):
            for name in sorted(names):
                if name.endswith((".cpp", ".hpp", ".h")):
                    yield os.path.normpath(os.path.join(directory, name))


def unit_of(path):
    return os.path.splitext(path)[0]


def include_graph(folders):
    files = list(source_files(folders))
    units = {unit_of(f) for f in files}
    edges = collections.defaultdict(set)
    for f in files:
        with open(f, errors="replace") as text:
            for target in INCLUDE.findall(text.read()):
                for candidate in (os.path.join(os.path.dirname(f), target), os.path.join("src", target)):
                    if os.path.exists(candidate):
                        v = unit_of(os.path.normpath(candidate))
                        if v != unit_of(f) and v in units:
                            edges[unit_of(f)].add(v)
                        break
    return units, edges


def loops(units, edges):
    """Strongly connected components, Tarjan's algorithm without recursion."""
    index, low, on_stack, stack, found = {}, {}, set(), [], []
    counter = 0
    for start in sorted(units):
        if start in index:
            continue
        work = [(start, iter(sorted(edges[start])))]
        index[start] = low[start] = counter; counter += 1
        stack.append(start); on_stack.add(start)
        while work:
            v, children = work[-1]
            advanced = False
            for w in children:
                if w not in index:
                    index[w] = low[w] = counter; counter += 1
                    stack.append(w); on_stack.add(w)
                    work.append((w, iter(sorted(edges[w]))))
                    advanced = True
                    break
                if w in on_stack:
                    low[v] = min(low[v], index[w])
            if advanced:
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[v])
            if low[v] == index[v]:
                component = []
                while True:
                    w = stack.pop(); on_stack.discard(w); component.append(w)
                    if w == v:
                        break
                found.append(sorted(component))
    return found


def upward_includes(component, edges):
    """Includes inside one loop that point up in a greedy order (Eades, Lin
    and Smyth): sinks go to the bottom, sources to the top, else the unit
    with the most includes out over in."""
    left = set(component)
    top, bottom = [], []
    def outs(v): return [w for w in edges[v] if w in left]
    def ins(v): return [u for u in left if v in edges[u]]
    while left:
        changed = True
        while changed:
            changed = False
            for v in sorted(left):
                if not outs(v):
                    bottom.insert(0, v); left.discard(v); changed = True
                elif not ins(v):
                    top.append(v); left.discard(v); changed = True
        if left:
            v = max(sorted(left), key=lambda u: len(outs(u)) - len(ins(u)))
            top.append(v); left.discard(v)
    rank = {v: i for i, v in enumerate(top + bottom)}   # 0 = highest
    return sorted((u, v) for u in component for v in edges[u] if v in rank and rank[v] < rank[u])


def main(folders):
    units, edges = include_graph(folders)
    components = loops(units, edges)
    component_of = {u: i for i, c in enumerate(components) for u in c}
    level = {}
    for i, component in enumerate(components):   # Tarjan yields included loops first
        below = {component_of[w] for u in component for w in edges[u]} - {i}
        level[i] = 1 + max((level[j] for j in below), default=0)
    upward = [pair for c in components if len(c) > 1 for pair in upward_includes(c, edges)]
    print(f"units={len(units)} includes={sum(len(e) for e in edges.values())} "
          f"levels={max(level.values(), default=0)} loops={sum(len(c) > 1 for c in components)} "
          f"back_includes={len(upward)}")
    for c in components:
        if len(c) > 1:
            print(f"loop of {len(c)}: {' '.join(c)}")
    for u, v in upward:
        print(f"back: {u} -> {v}")


if __name__ == "__main__":
    main(sys.argv[1:] or ["src", "apps"])
