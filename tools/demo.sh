#!/usr/bin/env bash
# The main job, end to end on this machine: the reference update server runs on loopback with a
# small sample catalogue, and the updater lists the builds offered for a module (-B), downloads
# the latest one and an older one into a temporary store (-G), lists the store (-L) and prints
# the module's feature token (-J). The server is stopped at the end, whatever happened.
set -euo pipefail
cd "$(dirname "$0")/.."

work="$(mktemp -d)"
server=""
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

python3 tools/birdwriter.py sample-catalogue "$work/catalogue"
python3 tools/update_server.py --catalogue "$work/catalogue" --port 0 --port-file "$work/port" \
  --lifetime 120 2>"$work/server.log" &
server=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || { echo "the reference server did not start:" >&2; cat "$work/server.log" >&2; exit 1; }
url="http://127.0.0.1:$(cat "$work/port")/cgi/u"
echo "Reference update server at $url, store in $work/store"

run() {
  echo
  echo "\$ Updater $* -u $url -i $work/store"
  ./build/Updater "$@" -u "$url" -i "$work/store"
}
run -B -d 0000ABCD
run -G -d 0000ABCD
run -G -d 0000ABCD -b 1001
run -L -d 0000ABCD
run -J -d 0000ABCD
echo
echo "Store after the run:"
(cd "$work/store" && find . -type f | sort | sed 's/^/  /')
