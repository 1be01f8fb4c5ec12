#!/usr/bin/env bash
# Checks the two Debian packages as users get them (no installation on this
# machine): quorvane-testlibs alone, unpacked into a scratch root, must hold
# the programs, their man pages and the scenarios, run them, and depend on
# no -dev package; quorvane-testlibs-dev must hold what a build needs and
# depend on the first; the README's library example is built against both,
# unpacked together, through the CMake package config and through pkg-config.
#   usage: scripts/check-package.sh [BUILD_DIR]
set -euo pipefail

BUILD_DIR=$(cd "${1:-build}" && pwd)
ROOT=$(cd "$(dirname "$0")/.." && pwd)
DEB=$(ls -t "$BUILD_DIR"/quorvane-testlibs_*.deb 2>/dev/null | head -n 1)
DEV=$(ls -t "$BUILD_DIR"/quorvane-testlibs-dev_*.deb 2>/dev/null | head -n 1)
[ -n "$DEB" ] && [ -n "$DEV" ] || { echo "check-package: no packages in $BUILD_DIR (run make package)" >&2; exit 1; }
fail() { echo "check-package: $*" >&2; exit 1; }

SCRATCH=$(mktemp -d /tmp/quorvane-package.XXXXXX)
trap 'rm -rf "$SCRATCH"' EXIT

# The runner's package, alone.
dpkg-deb -x "$DEB" "$SCRATCH/runtime"
RUNTIME="$SCRATCH/runtime/usr"
echo "check-package: $(basename "$DEB") unpacked alone into $SCRATCH/runtime"
depends=$(dpkg-deb -f "$DEB" Depends)
echo "check-package: Depends: $depends"
case "$depends" in *-dev*|*pkg-config*) fail "$(basename "$DEB") depends on build packages: $depends" ;; esac
for program in probe_deploy subnet_survey qvn-aws qvn-collect-results qvn-sandbox; do
  "$RUNTIME/bin/$program" --version
  "$RUNTIME/bin/$program" --help > /dev/null || fail "$program --help failed"
  [ -s "$RUNTIME/share/man/man1/$program.1" ] || fail "no man page for $program"
done
[ -s "$RUNTIME/share/quorvane_testlibs/scenarios/pipeline.json" ] || fail "no sandbox scenarios"
[ ! -e "$RUNTIME/include" ] && [ -z "$(find "$RUNTIME" -name '*.a')" ] || fail "$(basename "$DEB") holds build files"

# The builder's package, on top of the first.
dpkg-deb -f "$DEV" Depends | grep -q "quorvane-testlibs (= " || fail "$(basename "$DEV") does not depend on quorvane-testlibs"
dpkg-deb -x "$DEB" "$SCRATCH/root"
dpkg-deb -x "$DEV" "$SCRATCH/root"
PREFIX="$SCRATCH/root/usr"
echo "check-package: $(basename "$DEB") and $(basename "$DEV") unpacked into $SCRATCH/root"
[ -f "$PREFIX/include/quorvane/aws/s3.hpp" ] || fail "headers missing"
# The command-line parser is the frame's own business: no installed header
# includes it and the builder's package does not ask for it.
[ -z "$(grep -rl 'CLI/CLI.hpp' "$PREFIX/include")" ] || fail "installed headers include CLI11"
dpkg-deb -f "$DEV" Depends | grep -qi cli11 && fail "$(basename "$DEV") depends on CLI11"
[ -z "$(dpkg-deb -c "$DEV" | grep -E '/usr/bin/|/man1/')" ] || fail "$(basename "$DEV") holds programs or man pages"

# The example is the README's first cpp block after "### Using the libraries".
mkdir -p "$SCRATCH/example"
python3 - "$ROOT/README.md" "$SCRATCH/example/results_test.cpp" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
section = text.split("### Using the libraries", 1)
if len(section) < 2:
    sys.exit("check-package: README has no section 'Using the libraries'")
block = re.search(r"```cpp\n(.*?)```", section[1], re.S)
if not block:
    sys.exit("check-package: no cpp example in that section")
open(sys.argv[2], "w").write(block.group(1))
PY
cat > "$SCRATCH/example/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(results_example CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(quorvane_testlibs REQUIRED)
find_package(GTest REQUIRED)
add_executable(results_test results_test.cpp)
target_link_libraries(results_test PRIVATE quorvane_testlibs::deploy GTest::gtest_main)
CMAKE

echo "check-package: the README's example through find_package(quorvane_testlibs)"
cmake -S "$SCRATCH/example" -B "$SCRATCH/example/build" -G Ninja -DCMAKE_PREFIX_PATH="$PREFIX" > "$SCRATCH/cmake.log" \
  || { cat "$SCRATCH/cmake.log" >&2; exit 1; }
cmake --build "$SCRATCH/example/build" > "$SCRATCH/build.log" || { cat "$SCRATCH/build.log" >&2; exit 1; }
"$SCRATCH/example/build/results_test" --gtest_list_tests

echo "check-package: the README's example through pkg-config"
export PKG_CONFIG_PATH="$PREFIX/lib/pkgconfig"
# shellcheck disable=SC2046
c++ -std=c++20 "$SCRATCH/example/results_test.cpp" -o "$SCRATCH/example/results_test_pc" \
  $(pkg-config --cflags --libs quorvane_testlibs gtest_main)
"$SCRATCH/example/results_test_pc" --gtest_list_tests
echo "check-package: done"
