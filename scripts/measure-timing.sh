#!/usr/bin/env bash
# Measures how late pyrel2 writes its records and how much processor time it
# takes, over a run of SECONDS (default 60) with the simulated device library
# and the stand-in child of the end-to-end tests, which notes when each
# record's line end arrives.
#
#   scripts/measure-timing.sh [SECONDS]
#
# Lateness of a record = its arrival at the child minus its scheduled tick on
# the wall clock. The bridge's clock counts from the whole second at its
# start, so a tick lies at its time stamp plus that second's fraction; the
# fraction is taken from the earliest record (the most punctual one), which
# makes the figures the lateness beyond the most punctual record. The
# fraction as seen from the program's start is printed for comparison.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${PYREL_BUILD_DIR:-build/linux}
cmake --preset linux -B "$build" >/dev/null
cmake --build "$build" -j 2 --target pyrel2 zelkhid_sim stand_in_java >/dev/null

work=$(mktemp -d /tmp/pyrel-timing.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/run" "$work/path"
cp "$build/bin/pyrel2" "$build/bin/sim/libZelkHID.so" "$build/bin/DeviceInfo.ini" "$work/run/"
cp "$build/tests/bridge/stand_in_java" "$work/path/java"

echo "measure: running pyrel2 for $seconds records"
start_ms=$(date +%s%3N)
TIMEFORMAT='%U %S %R'
cpu=$({ time (cd "$work/run" && PATH=$work/path:$PATH STAND_IN_RECORDS=$seconds \
  ./pyrel2 >/dev/null 2>&1); } 2>&1)
read -r user sys real <<<"$cpu"

awk -v start_ms="$start_ms" -v user="$user" -v sys="$sys" -v real="$real" '
  BEGIN { n = 0 }
  /^timing/ { tick[n] = $2; d[n] = $3 / 1000.0 - $2; if (n == 0 || d[n] < min) min = d[n]; n++ }
  END {
    if (n == 0) { print "measure: no records"; exit 1 }
    for (i = 0; i < n; i++) {
      late = d[i] - min; sum += late; if (late > max) max = late
      if (late < 1) within_1ms++
    }
    printf "records: %d, time stamps %.0f ms apart: %s\n", n, (tick[n-1] - tick[0]) / (n - 1),
           ((tick[n-1] - tick[0]) == 1000 * (n - 1)) ? "all" : "NOT ALL"
    printf "second fraction: %.3f ms from the earliest record, ~%d ms from the start\n",
           min, start_ms % 1000
    printf "lateness beyond the earliest record: mean %.3f ms, max %.3f ms, %d of %d below 1 ms\n",
           sum / n, max, within_1ms, n
    printf "bridge processor time: user %s s + sys %s s over %s s\n", user, sys, real
  }' "$work/run/stand_in_report.txt"
