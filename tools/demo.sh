#!/usr/bin/env bash
# The main job on a built-in default: run the updater with no words (version, notice, usage).
set -uo pipefail
cd "$(dirname "$0")/.."
./build/Updater
