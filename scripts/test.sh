#!/usr/bin/env bash
# Builds every preset and runs every test: Linux native, Linux with the
# address/undefined and the thread sanitizers, the libFuzzer targets (a short
# run of each), and 32-bit Windows under Wine.
# Ends with one line "N passed, N failed" over all suites.
set -u
cd "$(dirname "$0")/.."
scripts/install-deps.sh || exit 1

presets=(${PYREL_PRESETS:-linux linux-asan linux-tsan linux-fuzz win32})
total_passed=0
total_failed=0
summary=()
start_all=$SECONDS

run_preset() { # run_preset NAME: configure, build and test one preset
  local p=$1 log=build/$1.test.log
  mkdir -p build
  if ! cmake --preset "$p" >/dev/null || ! cmake --build --preset "$p" -j "$(nproc)"; then
    echo "$p: build failed" >&2
    total_failed=$((total_failed + 1))
    summary+=("$p: build failed")
    return
  fi
  local t0=$SECONDS
  ctest --preset "$p" 2>&1 | tee "$log"
  local line total failed
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n1)
  if [[ -z $line ]]; then
    failed=1 total=1
  else
    failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  fi
  total_passed=$((total_passed + total - failed))
  total_failed=$((total_failed + failed))
  summary+=("$p: $((total - failed)) passed, $failed failed in $((SECONDS - t0)) s")
}

for p in "${presets[@]}"; do
  if [[ $p == win32 ]]; then
    (
      source scripts/wine-env.sh
      run_preset win32
      echo "$total_passed $total_failed ${summary[*]: -1}" >build/win32.result
    )
    read -r wp wf wrest <build/win32.result || { wp=0 wf=1 wrest="win32: no result"; }
    total_passed=$wp # the subshell started from the same totals
    total_failed=$wf
    summary+=("$wrest")
  else
    run_preset "$p"
  fi
done

echo
echo "Summary:"
printf '  %s\n' "${summary[@]}"
echo "  whole test command: $((SECONDS - start_all)) s"
echo "$total_passed passed, $total_failed failed"
((total_failed == 0))
