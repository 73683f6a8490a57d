#!/usr/bin/env bash
# The main job: builds the simulator, boots a fresh simulated Windows guest with the agent, and shows
# what the agent wrote (its registry keys and its log). A second machine's boot ends by a power cut,
# to show which writes were durable.
#   usage: scripts/demo.sh [machines-directory]   (default: ./machines)
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"
machines="${1:-$repo/machines}"

bash scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native -j"${JOBS:-2}" --target velocyn-sim
sim="$repo/build/native/velocyn-sim"

echo
echo "== A fresh machine, booted once and shut down cleanly =="
"$sim" demo "$machines/demo"

echo
echo "== A fresh machine whose boot ends by a power cut =="
echo "   (the keys were flushed as at pre-shutdown; the Support test value written after that is lost)"
"$sim" create "$machines/power-cut" --force
"$sim" boot "$machines/power-cut" --power-cut
"$sim" show "$machines/power-cut" --lines 3
