#!/usr/bin/env bash
# The demo: builds what is missing, lays out a run folder (build/run) with
# pyrel2, the simulated device library, DeviceInfo.ini and pyrel.jar, and runs
# the bridge there for about ten seconds. The reference child logs one line
# per data record it receives (sequence, tick time, status, first sample
# bytes); the demo shows that log live. Then the child sends "$EXIT$" and the
# bridge ends.
#
#   scripts/demo.sh [SECONDS]
#
# ZELKHID_SIM_SCENARIO may name a scenario file of the simulated library
# (see transport/sim/README.md); without it one good thermometer is attached.
# PYREL_BUILD_DIR builds elsewhere than build/linux; the run folder is then
# "run" beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}

scripts/install-deps.sh
build=${PYREL_BUILD_DIR:-build/linux}
cmake --preset linux -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target pyrel2 zelkhid_sim pyrel_jar

bin=$build/bin
run=$(dirname "$build")/run
rm -rf "$run"
mkdir -p "$run"
cp "$bin/pyrel2" "$bin/sim/libZelkHID.so" "$bin/DeviceInfo.ini" "$bin/pyrel.jar" "$run/"
if [[ -n ${ZELKHID_SIM_SCENARIO:-} ]]; then
  export ZELKHID_SIM_SCENARIO=$(realpath "$ZELKHID_SIM_SCENARIO")
fi

echo "demo: running pyrel2 in $run for $seconds s"
log=$PWD/$run/child.log
: >"$log"
(cd "$run" && PYREL_CHILD_LOG=$log PYREL_CHILD_SECONDS=$seconds exec ./pyrel2) &
bridge=$!
tail -n +1 -f "$log" --pid="$bridge" &
viewer=$!
status=0
wait "$bridge" || status=$?
wait "$viewer" 2>/dev/null || true
echo "demo: pyrel2 ended with exit code $status"
