#!/usr/bin/env bash
# Runs one libFuzzer target for a fixed time over its seed corpus.
#   run_fuzzer.sh FUZZER SECONDS SEED_CORPUS WORK_DIR [libFuzzer options...]
# New inputs go to WORK_DIR/corpus (kept between runs, never into the seed
# corpus); a crashing input is saved in WORK_DIR/artifacts. The exit status
# is the fuzzer's: non-zero when it found a crash, a leak or a failed check.
set -u
fuzzer=$1 seconds=$2 seeds=$3 work=$4
shift 4
mkdir -p "$work/corpus" "$work/artifacts"
exec "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -timeout=20 \
  -artifact_prefix="$work/artifacts/" "$@" "$work/corpus" "$seeds"
