#!/usr/bin/env bash
# Configuring with a standard library that has no std::expected (g++ 11's)
# stops at configure time, before anything is generated, with one sentence
# that names what is missing and the way out. clang 16, whose libstdc++ 12
# hides std::expected unless told the compiler's concepts are new enough,
# configures.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

configure() {  # NAME COMPILER
  cmake -S "$root" -B "$work/$1" -DCMAKE_CXX_COMPILER="$2" \
    -DJOINTBUS_BUILD_PYTHON=OFF -DJOINTBUS_BUILD_TESTS=OFF -DJOINTBUS_BUILD_TOOLS=OFF 2>&1
}
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

gcc11=$(command -v g++-11) || { echo "FAILED: no g++-11 (scripts/install-deps installs it)"; exit 1; }
status=0
output=$(configure gcc11 "$gcc11") || status=$?
# CMake folds long messages over lines; the sentence is read with its
# spaces as written.
flat=$(tr -s ' \n' '  ' <<<"$output")
sentence="jointbus needs a C++23 standard library with <expected>, which GNU $("$gcc11" -dumpfullversion) ($gcc11) does not have: build with GCC 12 or newer, for example on Ubuntu 22.04 \`sudo apt install g++-12\` then \`CXX=g++-12 pip install jointbus\` (or \`cmake -DCMAKE_CXX_COMPILER=g++-12\`)."
((status != 0)) || fail "g++ 11: configure succeeded"
[[ $flat == *"$sentence"* ]] || fail "g++ 11: the sentence is not in the output:"$'\n'"$output"
[[ $(grep -c "CMake Error" <<<"$output") == 1 ]] || fail "g++ 11: not exactly one error:"$'\n'"$output"
[[ ! -e $work/gcc11/Makefile && ! -e $work/gcc11/build.ninja ]] || fail "g++ 11: build files were generated"

clang16=$(command -v clang++-16) || { echo "FAILED: no clang++-16 (scripts/install-deps installs it)"; exit 1; }
output=$(configure clang16 "$clang16") || fail "clang 16: configure failed:"$'\n'"$output"

((failures == 0)) && echo "configure checks: 2 passed, 0 failed" || exit 1
