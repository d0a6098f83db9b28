#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine (as root or through sudo), builds the project and runs the
# demo of the main job.  ./setup.sh --deps-only installs the packages and stops;
# ./setup.sh --no-demo builds without running the demo.
set -euo pipefail
cd "$(dirname "$0")"

deps_only=0 demo=1
for arg in "$@"; do
  case "$arg" in
    --deps-only) deps_only=1 ;;
    --no-demo) demo=0 ;;
    *) echo "usage: $0 [--deps-only] [--no-demo]" >&2; exit 2 ;;
  esac
done

if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
mapfile -t packages < <(grep -vE '^\s*(#|$)' packages.txt)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
[ "$deps_only" -eq 1 ] && exit 0

cmake -S . -B build -G Ninja ${KORVEL_CMAKE_ARGS:-}
cmake --build build

[ "$demo" -eq 1 ] || exit 0
exec tools/demo.sh
