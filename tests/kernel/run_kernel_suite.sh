#!/usr/bin/env bash
# The kernel test bed suite, run from CTest: boots the test VM once (two
# dummy_hcd controllers), runs the guest tests in it, and ends with
# "N passed, N failed" over them. The guest's console goes to standard output.
#
#   run_kernel_suite.sh SOURCE_DIR GUEST_SUITE_ARGS...
set -u
source_dir=$(realpath "$1")
shift
# The guest starts in its own /tmp: every path goes in absolute.
args=()
for arg in "$@"; do args+=("$(realpath "$arg")"); done
log=$(mktemp /tmp/pyrel-kernel-suite.XXXXXX)
trap 'rm -f "$log"' EXIT
start=$SECONDS
# GTEST_FILTER, when set, picks the guest tests to run.
# A checkout or build tree under /tmp is kept visible in the guest.
keep=(--keep "$source_dir")
for arg in "${args[@]}"; do keep+=(--keep "$(dirname "$arg")"); done
"$source_dir/scripts/kernel-testbed/run-vm.sh" --udcs 2 --timeout 1200 "${keep[@]}" \
  ${GTEST_FILTER:+--env "GTEST_FILTER=$GTEST_FILTER"} \
  "$source_dir/tests/kernel/guest_suite.sh" "${args[@]}" 2>&1 | tee "$log"
vm_status=${PIPESTATUS[0]}

passed=$(grep -aoE '^\[  PASSED  \] [0-9]+ test' "$log" | grep -oE '[0-9]+' | tail -n1)
failed=$(grep -aoE '^\[  FAILED  \] [0-9]+ test' "$log" | grep -oE '[0-9]+' | tail -n1)
total=$(grep -aoE '^\[==========\] [0-9]+ tests? from .* ran' "$log" | grep -oE '[0-9]+' | head -n1)
echo "kernel suite: VM exit status $vm_status, wall time $((SECONDS - start)) s"
if [[ -z $total ]]; then
  echo "kernel suite: the guest tests did not run to the end"
  echo "0 passed, 1 failed"
  exit 1
fi
passed=${passed:-0}
failed=${failed:-$((total - passed))}
echo "$passed passed, $failed failed"
((failed == 0 && passed > 0))
