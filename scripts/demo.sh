#!/usr/bin/env bash
# The main job: builds the simulator and the agent, creates a golden image (a simulated Windows guest with
# the agent installed as its service), boots it as Master, and shows the result: the agent puts the
# boot-time agent into BootExecute and stops itself after its shutdown delay. A second golden image's
# boot ends by a power cut before the registry wrote the agent's change to disk.
#   usage: scripts/demo.sh [machines-directory]   (default: ./machines)
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"
machines="${1:-$repo/machines}"

bash scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native -j"${JOBS:-2}" --target velocyn-sim tlv-velocyn-ga
sim="$repo/build/native/velocyn-sim"

echo
echo "== A golden image, booted as Master (machine time 1000 times faster than real time) =="
"$sim" create "$machines/golden" --golden-image --force
"$sim" boot "$machines/golden" --time-scale 1000
echo
"$sim" show "$machines/golden" --lines 15

echo
echo "== A golden image whose boot ends by a power cut 2 s (machine time) after it started =="
echo "   (machine time 10 times faster than real time: the agent has updated BootExecute, as its log says,"
echo "   but the registry's lazy flush has not come yet, so the power cut loses the change)"
"$sim" create "$machines/power-cut" --golden-image --force
"$sim" boot "$machines/power-cut" --time-scale 10 --power-cut-at 2000
echo
"$sim" show "$machines/power-cut" --lines 5
