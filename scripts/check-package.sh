#!/usr/bin/env bash
# Checks the Debian package as a user gets it: unpacks it into a scratch
# root (no installation on this machine), runs its programs' --version, and
# builds the README's library example against it twice, through the CMake
# package config and through pkg-config.
#   usage: scripts/check-package.sh [BUILD_DIR]
set -euo pipefail

BUILD_DIR=$(cd "${1:-build}" && pwd)
ROOT=$(cd "$(dirname "$0")/.." && pwd)
DEB=$(ls -t "$BUILD_DIR"/quorvane-testlibs_*.deb 2>/dev/null | head -n 1)
[ -n "$DEB" ] || { echo "check-package: no package in $BUILD_DIR (run make package)" >&2; exit 1; }

SCRATCH=$(mktemp -d /tmp/quorvane-package.XXXXXX)
trap 'rm -rf "$SCRATCH"' EXIT
dpkg-deb -x "$DEB" "$SCRATCH/root"
PREFIX="$SCRATCH/root/usr"
echo "check-package: $(basename "$DEB") unpacked into $SCRATCH/root"

for program in probe_deploy subnet_survey qvn-aws qvn-collect-results qvn-sandbox; do
  "$PREFIX/bin/$program" --version
  [ -s "$PREFIX/share/man/man1/$program.1" ] || { echo "check-package: no man page for $program" >&2; exit 1; }
done
[ -f "$PREFIX/include/quorvane/aws/s3.hpp" ] || { echo "check-package: headers missing" >&2; exit 1; }

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
