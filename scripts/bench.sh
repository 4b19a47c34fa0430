#!/usr/bin/env bash
# The benchmarks: builds what they need (linux and win32 presets), runs them
# all and writes the table bench/RESULTS.md. About five minutes, most of it
# four runs of the bridge of BENCH_SECONDS (default 60) each: Linux idle,
# Linux with both cores loaded, and the same two for the Windows build under
# Wine. The log of the whole run goes to <linux build>/bench.log.
#
#   scripts/bench.sh
#
# PYREL_BUILD_DIR and PYREL_WIN32_BUILD_DIR build elsewhere than build/linux
# and build/win32; BENCH_KEEP=1 keeps the run folders with the child's
# per-record reports. The figures are measurements, not pass/fail checks.
set -euo pipefail
cd "$(dirname "$0")/.."
start_all=$SECONDS

scripts/install-deps.sh
seconds=${BENCH_SECONDS:-60}
linux=${PYREL_BUILD_DIR:-build/linux}
win32=${PYREL_WIN32_BUILD_DIR:-build/win32}
results=bench/RESULTS.md

echo "bench: building"
cmake --preset linux -B "$linux" >/dev/null
cmake --build "$linux" -j 2 --target pyrel2 zelkhid_sim bench_programs >/dev/null
cmake --preset win32 -B "$win32" >/dev/null
cmake --build "$win32" -j 2 --target pyrel2 zelkhid_sim bench_programs >/dev/null

bin=$PWD/$linux/bin
bench_bin=$bin/bench
win_bin=$PWD/$win32/bin
work=$(mktemp -d /tmp/pyrel-bench.XXXXXX)
if [[ -n ${BENCH_KEEP:-} ]]; then
  echo "bench: run folders kept in $work"
else
  trap 'rm -rf "$work"' EXIT
fi
log=$PWD/$linux/bench.log
: >"$log"
load_before=$(uptime)

run() { # run COMMAND...: output to the terminal and the log
  "$@" 2>&1 | tee -a "$log"
}

# A run folder for the Linux bridge: pyrel2, a libZelkHID.so, DeviceInfo.ini,
# and the record child as "java" on PATH.
linux_run_folder() { # linux_run_folder NAME LIBRARY
  mkdir -p "$work/$1/run" "$work/$1/path"
  cp "$bin/pyrel2" "$2" "$bin/DeviceInfo.ini" "$work/$1/run/"
  cp "$bench_bin/bench_record_child" "$work/$1/path/java"
}

linux_bridge() { # linux_bridge NAME LABEL LOAD [ENV...]: runs pyrel2 in its folder
  local name=$1 label=$2 load=$3
  shift 3
  PATH=$work/$name/path:$PATH BENCH_CHILD_SECONDS=$seconds \
    "$bench_bin/bench_run_bridge" --dir "$work/$name/run" --label "$label" --load "$load" \
    -- env "$@" ./pyrel2
}

echo "bench: poll cycle against 2 to 512 interfaces"
run "$bench_bin/bench_poll_cycle"
echo "bench: command reader, 1 GiB of mixed child output"
run "$bench_bin/bench_reader" memory
run "$bench_bin/bench_reader" pipe

echo "bench: Linux, idle, $seconds s"
linux_run_folder idle "$bin/sim/libZelkHID.so"
run linux_bridge idle linux_idle 0

# The allocation count runs beside the loaded run: its figures do not depend
# on the load. pyrel2 gets the counting allocator preloaded and a stand-in
# libZelkHID.so that marks the calls into the gated simulated library, whose
# port marks its own calls.
echo "bench: Linux, both cores loaded, $seconds s; allocation count beside it"
linux_run_folder loaded "$bin/sim/libZelkHID.so"
linux_run_folder alloc "$bench_bin/gate/libZelkHID.so"
# Start-up is the first 3 s; the running window closes half a second before
# the child sends "$EXIT$".
linux_bridge alloc linux_alloc 0 LD_PRELOAD="$bench_bin/libbench_alloc_shim.so" \
  BENCH_ALLOC_REPORT="$work/alloc/report" BENCH_ALLOC_STARTUP_MS=3000 \
  BENCH_ALLOC_STOP_MS=$((seconds * 1000 - 500)) \
  BENCH_GATE_LIBRARY="$bench_bin/gated-sim/libZelkHID.so" >"$work/alloc/out" 2>&1 &
alloc_pid=$!
run linux_bridge loaded linux_loaded "$(nproc)"
wait "$alloc_pid"
cat "$work/alloc/out" >>"$log"
awk '{ print "alloc " $0 }' "$work/alloc/report" | tee -a "$log"

echo "bench: Windows build under Wine, idle and loaded, $seconds s each"
mkdir -p "$work/wine/run"
cp "$win_bin/pyrel2.exe" "$win_bin/sim/ZelkHID.dll" "$win_bin/DeviceInfo.ini" "$work/wine/run/"
cp "$win_bin/bench_record_child.exe" "$work/wine/run/java.exe"
(
  set +e # the prefix's set-up steps may fail harmlessly
  source scripts/wine-env.sh
  set -e
  for load in 0 "$(nproc)"; do
    label=wine_idle
    ((load > 0)) && label=wine_loaded
    BENCH_CHILD_SECONDS=$seconds "$bench_bin/bench_run_bridge" --dir "$work/wine/run" \
      --label "$label" --load "$load" -- wine pyrel2.exe 2>&1 | tee -a "$log"
  done
)
load_after=$(uptime)

# --- The table.
m() { # m NAME: the value of a metric, "?" when missing
  awk -v k="$1" '$1 == "metric" && $2 == k { v = $3 } END { print (v == "" ? "?" : v) }' "$log"
}
ms() { # ms NAME: a microsecond metric in milliseconds
  awk -v v="$(m "$1")" 'BEGIN { if (v == "?") print "?"; else printf "%.2f", v / 1000 }'
}
lateness() { # lateness LABEL: "p50 / p99 / max ms (n records, ...)"
  echo "$(ms "$1_lateness_p50_us") / $(ms "$1_lateness_p99_us") / $(ms "$1_lateness_max_us") ms" \
    "($(m "$1_measured") records; smallest $(ms "$1_lateness_min_us") ms; the writer thread" \
    "waited $(m "$1_wait_thread1_ms") ms in all for a CPU)"
}
alloc() { # alloc ROLE FIELD: allocations of threads with that role
  # Fields: 5-7 start-up, 9-11 running, 13-15 shut-down; of each: own code,
  # library core, port.
  awk -v role="$1" -v f="$2" '$1 == "thread" && $3 == role { s += $f } END { print s + 0 }' \
    "$work/alloc/report"
}
poller_cycles=$(awk '$1 == "thread" && $3 == "library" { print int($17 / 3) }' "$work/alloc/report")
startup_allocs=$(awk '$1 == "thread" { s += $5 + $6 + $7 } END { print s + 0 }' "$work/alloc/report")
shutdown_allocs=$(awk '$1 == "thread" { s += $13 + $14 + $15 } END { print s + 0 }' "$work/alloc/report")
alloc_seconds=$(awk '$1 == "running_ms" { printf "%.0f", $2 / 1000 }' "$work/alloc/report")
reader_allocs=$(($(alloc main 9) + $(alloc main 10) + $(alloc main 11)))
writer_allocs=$(($(alloc other 9) + $(alloc other 10) + $(alloc other 11)))
per_cycle() { awk -v n="$1" -v c="$poller_cycles" 'BEGIN { printf "%.1f", (c > 0 ? n / c : 0) }'; }
per_cpu_second() { # per_cpu_second NAME: MB (10^6 bytes) per second of reader CPU time
  awk -v cpu="$(m "reader_$1_cpu_s")" \
    'BEGIN { if (cpu > 0) printf "%.0f", 1073.741824 / cpu; else print "?" }'
}
wine_version=$(wine --version 2>/dev/null || echo "no Wine")

cat >"$results" <<EOF
# Benchmark results

Written by \`scripts/bench.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'): $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores, Linux $(uname -r), ${wine_version}.
Whole command: $((SECONDS - start_all)) s. The figures are measurements, not pass/fail checks.

Machine load (\`uptime\`) before: \`${load_before# }\`
after: \`${load_after# }\`

| Benchmark | Figure | Target | Measured |
|---|---|---|---|
| Record lateness, Linux, no benchmark load (see the machine load above), ${seconds} s | p50 / p99 / max | p99 ≤ 1 ms | $(lateness linux_idle) |
| Record lateness, Linux, both cores loaded | p50 / p99 / max | | $(lateness linux_loaded) |
| Record lateness, Windows build under Wine, idle | p50 / p99 / max | | $(lateness wine_idle) |
| Record lateness, Windows build under Wine, both cores loaded | p50 / p99 / max | | $(lateness wine_loaded) |
| CPU time of pyrel2, simulated device, Linux idle run | user + system per minute | ≤ 30 ms | $(m linux_idle_cpu_ms_per_minute) ms (main thread: start-up, command reader and shut-down $(m linux_idle_cpu_main_ms), writer $(m linux_idle_cpu_thread1_ms), poller $(m linux_idle_cpu_thread2_ms) ms over $(m linux_idle_wall_s) s) |
| CPU time of pyrel2.exe under Wine, idle run (the Wine process, not wineserver) | user + system per minute | | $(m wine_idle_cpu_ms_per_minute) ms |
| Peak RSS of pyrel2, Linux / pyrel2.exe under Wine | | | $(m linux_idle_peak_rss_kb) kB / $(m wine_idle_peak_rss_kb) kB |
| Time from a record's first byte to its line end at the child (74 writes), Linux idle / Wine idle | p50 / max | | $(ms linux_idle_spread_p50_us) / $(ms linux_idle_spread_max_us) ms; $(ms wine_idle_spread_p50_us) / $(ms wine_idle_spread_max_us) ms |
| One poll cycle, 2 / 32 / 128 / 512 HID interfaces (simulated library) | CPU time per cycle, median | linear | $(m poll_us_2) / $(m poll_us_32) / $(m poll_us_128) / $(m poll_us_512) µs; fit $(m poll_fit_base_us) µs + $(m poll_fit_per_interface_us) µs per interface, medians within $(m poll_fit_max_deviation_pct) % of it; per added interface $(m poll_slope_2_32_us) / $(m poll_slope_32_128_us) / $(m poll_slope_128_512_us) µs |
| Command reader, 1 GiB of mixed child output, from memory | MB/s | ≥ 1000 MB/s | $(m reader_memory_mbps) MB/s ($(per_cpu_second memory) MB per second of reader CPU time) |
| Command reader, 1 GiB through a pipe from a child | MB/s | ≥ 1000 MB/s | $(m reader_pipe_mbps) MB/s ($(per_cpu_second pipe) MB per second of reader CPU time) |
| Heap allocations in pyrel2's running loops over ${alloc_seconds} s: command reader / writer / poller outside the library | count | 0 | ${reader_allocs} / ${writer_allocs} / $(alloc library 9) (start-up: ${startup_allocs}, shut-down: ${shutdown_allocs}) |
| Heap allocations in the command reader during the 1 GiB runs (memory / pipe) | count | 0 | $(m reader_memory_allocations) / $(m reader_pipe_allocations) |
| Heap allocations inside the library during pyrel2's poll cycles: library core / simulated port | per cycle | 0 | $(per_cycle "$(alloc library 10)") / $(per_cycle "$(alloc library 11)") (${poller_cycles} cycles) |
| Heap allocations per poll cycle by interfaces 2 / 32 / 128 / 512: library core | per cycle | 0 | $(m poll_core_allocations_2) / $(m poll_core_allocations_32) / $(m poll_core_allocations_128) / $(m poll_core_allocations_512) |
| Heap allocations per poll cycle, real Linux library (hidraw), $(m poll_hidraw_devices) devices present: core / port | per cycle | 0 | $(m poll_hidraw_core_allocations) / $(m poll_hidraw_port_allocations) |

How the figures are taken:

- Lateness: the record child (\`bench/record_child.cpp\`) stands in for \`java\` and notes the wall-clock time of the read that brings each record's first byte; lateness is that time minus the record's tick on the wall clock. The bridge's clock runs a constant whole number of milliseconds behind the wall clock (it counts from the whole second of its start), so the tick on the wall clock is the record's time stamp plus that offset, which is taken from the most punctual record of the run (exact when some record is less than 1 ms late: see "smallest"). Records due before the child began to read are left out. Percentiles interpolate between ranks. The loaded runs keep one busy process per core beside the bridge.
- CPU time and peak RSS: \`wait4\` of pyrel2; per thread from \`/proc/PID/task/TID/schedstat\`.
- Poll cycle: \`HID_DeviceInitialize\` + \`HID_SetCurrentDevice(1, 1000)\` + \`HID_ReadData(64)\` of the simulated library, one thermometer enumerated first and single-interface keyboards after it; the processor time of each cycle (a cycle with an answering device never waits), median per round, median of three rounds.
- Command reader: the unchanged \`MyRxRunnable\`, on 1 GiB made of normal lines, CR-only lines, lines with NULs, empty lines and 10 kB lines (about half of the bytes), then \`\$EXIT\$\`; once through a channel that copies from memory, once through the real child channel from a child that floods its output.
- Allocations: a counting \`malloc\` (\`bench/alloc_counter_linux.cpp\`), preloaded into pyrel2 or linked into the benchmark; calls into the device library and into its HID port are marked by a forwarding \`libZelkHID.so\` and by gated builds of the library, so that the bridge's, the library core's and the port's allocations are counted apart. The running window of pyrel2 starts 3 s after its start and closes half a second before the child sends \`\$EXIT\$\`; allocations before and after it are shown as start-up and shut-down.
EOF
echo
cat "$results"
echo "bench: wrote $results in $((SECONDS - start_all)) s"
