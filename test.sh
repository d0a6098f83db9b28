#!/usr/bin/env bash
# Builds and runs the whole test suite.
#   ./test.sh                      build/ with the default compiler
#   ./test.sh --sanitize=address,undefined   build-address,undefined/ under clang
#   ./test.sh --sanitize=thread    build-thread/ under clang
# Extra arguments after -- go to ctest (for example -- -R Packet).
set -euo pipefail
cd "$(dirname "$0")"

sanitize="" ctest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize=*) sanitize="${1#--sanitize=}" ;;
    --) shift; ctest_args=("$@"); break ;;
    *) echo "usage: $0 [--sanitize=LIST] [-- ctest arguments]" >&2; exit 2 ;;
  esac
  shift
done

cmake_args=(-G Ninja -DKORVEL_WERROR=${KORVEL_WERROR:-OFF})
if [ -n "$sanitize" ]; then
  dir="build-${sanitize//,/-}"
  cmake_args+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKORVEL_SANITIZE="$sanitize"
               -DKORVEL_BENCH=OFF)
  export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:verify_asan_link_order=0}"
  export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
  export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp}"
else
  dir="build"
fi

cmake -S . -B "$dir" "${cmake_args[@]}" ${KORVEL_CMAKE_ARGS:-} >/dev/null
cmake --build "$dir"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" "${ctest_args[@]}"
