#!/usr/bin/env bash
# The main job: builds the simulator and the agent, then customizes a whole pool on simulated machines:
# a domain, a golden image with the agent installed as its service, the internal template, replica and
# parent derived from it, and a few clones forked from the parent, each booted until it is customized
# (velocyn-sim chain). The pool and a per-boot timeline are also written as one HTML page. Then, as a
# second example, a golden image booted as Master, and one whose boot ends by a power cut.
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
echo "== A pool of 5 clones, Cloneprep flavour (machine time 1000 times faster than real time) =="
"$sim" chain "$machines/pool" --flavour cloneprep --clones 5 --force --report "$machines/pool.html"
echo
"$sim" show "$machines/pool/clone-0001" --lines 0 >"$machines/clone-0001.show"
sed -n 1,8p "$machines/clone-0001.show"
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
