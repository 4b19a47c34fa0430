#!/usr/bin/env bash
# One end-to-end run of the bridge program in a run folder of its own, with
# the simulated device library and a child, checked from the outside.
#
#   e2e.sh linux|wine SCENARIO BIN_DIR STAND_IN SCENARIO_DIR
#
# The scenarios of faults (a device or a child that misbehaves) run with the
# stand-in child on both platforms and check every record it reports: the
# sequence of status codes against a pattern, 64 zero bytes in every record
# of a failed read and none in a good one, and time stamps 1000 ms apart.
#
# linux: pyrel2, bin/sim/libZelkHID.so and the real java running pyrel.jar
#        (the stand-in java for the scenarios that need a misbehaving child);
#        a start-up failure is one line on standard error.
# wine:  pyrel2.exe, bin/sim/ZelkHID.dll and the stand-in as java.exe in the
#        program's folder, run in the Wine prefix of the environment; the
#        message box is seen through Wine's relay trace of MessageBoxA.
set -u
platform=$1 scenario=$2 bin=$3 stand_in=$4 scenarios=$5
sim_scenarios=$(cd "$(dirname "$0")/../../transport/sim/scenarios" && pwd)
# Sanitizer builds: the device library's state outlives its release by design.
export LSAN_OPTIONS="suppressions=$(dirname "$0")/device_library.lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

work=$(mktemp -d /tmp/pyrel-e2e.XXXXXX)
run=$work/run
mkdir -p "$run" "$work/path"
child_pid=
cleanup() {
  # Only the child that this run started, by its process id.
  [[ -n $child_pid ]] && kill "$child_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL ($platform $scenario): $*"
  for f in "$run"/child.log "$run"/stand_in_report.txt "$work"/out "$work"/err; do
    [[ -f $f ]] && { echo "--- $f"; grep -av 'trace:relay:load_list' "$f" | head -40; }
  done
  exit 1
}
now_ms() { date +%s%3N; }

# --- The run folder.
if [[ $platform == linux ]]; then
  program=pyrel2 library=libZelkHID.so
  cp "$bin/pyrel.jar" "$run/"
  # Scenarios with a misbehaving child put the stand-in first on PATH as java.
  cp "$stand_in" "$work/path/java"
else
  program=pyrel2.exe library=ZelkHID.dll
  cp "$stand_in" "$run/java.exe"
fi
cp "$bin/$program" "$bin/DeviceInfo.ini" "$run/"
[[ $scenario != missing_library ]] && cp "$bin/sim/$library" "$run/"

# --- What each scenario sets up and expects.
info_lines=$'$INFO:api open.\n$INFO:api closed.\n'
expect_out=$info_lines expect_failure= expect_status= expect_sequence= child=java
export PYREL_CHILD_LOG=$run/child.log PYREL_CHILD_RECORDS=3 STAND_IN_RECORDS=3
unset ZELKHID_SIM_SCENARIO STAND_IN_MODE
# sequence PATTERN [RECORDS] [SIM_SCENARIO]: a fault scenario with the
# stand-in child, whose records' status codes, one digit each, must match
# PATTERN (an extended regular expression).
sequence() {
  child=stand_in expect_sequence=$1
  export STAND_IN_RECORDS=${2:-3}
  [[ -n ${3:-} ]] && export ZELKHID_SIM_SCENARIO=$3
  return 0
}
case $scenario in
  good_device) expect_status='0 Success' ;;
  no_device) expect_status='2 No Device'
    cp "$scenarios/no_device.ini" "$run/" && export ZELKHID_SIM_SCENARIO=no_device.ini ;;
  silent_device) expect_status='3 Read Failed'
    cp "$scenarios/silent_device.ini" "$run/" && export ZELKHID_SIM_SCENARIO=silent_device.ini ;;
  missing_library) expect_out= expect_failure='$ERROR:dll init failed.' child=stand_in ;;
  no_java) expect_failure='$ERROR: create sub process failed.' child=none
    [[ $platform == wine ]] && rm "$run/java.exe" ;;
  child_dies) child=stand_in && export STAND_IN_MODE=die ;;
  child_stops_reading) child=stand_in && export STAND_IN_MODE=stop-reading ;;
  # Identifiers that no device has, or none at all: the simulated thermometer
  # is there, but the library must not find it.
  no_hid_device) sequence '^2+$' 3 "$sim_scenarios/none.ini" ;;
  wrong_ids) sequence '^2+$'
    printf '[Device information]\r\nVID=4617\r\nPID=2\r\n' >"$run/DeviceInfo.ini" ;;
  no_device_info) sequence '^2+$' && rm "$run/DeviceInfo.ini" ;;
  garbage_device_info) sequence '^2+$'
    printf '\x00\xff\xfe\x01 garbage \x7f\r\n[Device information]\r\nVID=zz4617\r\nPID=\xff1\r\n\x00' \
      >"$run/DeviceInfo.ini" ;;
  # Silent for two poll cycles after four good ones: each silent cycle fails
  # after its time-out, and the next answering one is good again.
  device_falls_silent) sequence '^0+3+0+$' 9 "$sim_scenarios/falls_silent.ini" ;;
  # Gone for four poll cycles after four present ones, then back.
  device_replugged) sequence '^0+2+0+[02]*$' 7 "$scenarios/replugged.ini" ;;
  two_thermometers | three_interfaces | many_devices)
    sequence '^0+$' 3 "$sim_scenarios/$scenario.ini" ;;
  child_floods) child=stand_in && export STAND_IN_MODE=flood STAND_IN_FLOOD_MB=${STAND_IN_FLOOD_MB:-1024} ;;
  *) fail "unknown scenario" ;;
esac

# --- The run. Arguments are given to show that they change nothing.
path=$PATH
[[ $child == stand_in && $platform == linux ]] && path=$work/path:$PATH
[[ $child == none && $platform == linux ]] && path=$work/path-without-java
timeout=$(command -v timeout)
start=$(now_ms)
if [[ $platform == linux ]]; then
  (cd "$run" && PATH=$path "$timeout" 60 ./pyrel2 --ignored argument >"$work/out" 2>"$work/err")
else
  wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /d user32.MessageBoxA /f \
    >/dev/null 2>&1
  (cd "$run" && WINEDEBUG=-all,+relay timeout 60 wine pyrel2.exe --ignored argument \
    >"$work/out" 2>"$work/err")
fi
code=$?
end=$(now_ms)

# --- Checks common to every scenario.
((code == 0)) || fail "exit code $code"
[[ $(cat "$work/out"; echo .) == "$expect_out." ]] || fail "standard output differs"
if [[ $platform == linux ]]; then
  # The failure text as one line of its own, or nothing at all.
  expect_err=
  [[ -n $expect_failure ]] && expect_err=$expect_failure$'\n'
  [[ $(cat "$work/err"; echo .) == "$expect_err." ]] || fail "standard error differs"
else
  boxes=$(grep -ac 'Call user32.MessageBoxA' "$work/err")
  if [[ -n $expect_failure ]]; then
    ((boxes == 1)) || fail "$boxes message boxes instead of 1"
    pattern='Call user32\.MessageBoxA\(00000000,[0-9a-f]{8} "'$(sed 's/[$.]/\\&/g' <<<"$expect_failure")
    pattern+='",[0-9a-f]{8} "pyrel2",00000030\)'
    grep -aEq "$pattern" "$work/err" || fail "message box text, caption or flags differ"
  else
    ((boxes == 0)) || fail "a message box was shown"
  fi
fi

report=$run/stand_in_report.txt
log=$run/child.log
[[ $platform == wine ]] && log=$report
case $child in
  java)
    child_pid=$(awk '/^child [0-9]+ started/ {print $2}' "$log" 2>/dev/null)
    [[ $platform == wine ]] && child_pid=
    ;;
  stand_in) [[ $platform == linux ]] && child_pid=$(awk '/^pid/ {print $2}' "$report" 2>/dev/null) ;;
esac

# --- Records, for the scenarios that run the child to "$EXIT$".
if [[ -n $expect_status ]]; then
  if [[ $platform == linux ]]; then
    records=$(grep -c '^record ' "$log")
    good=$(grep -Ec "^record +[0-9]+ +[^ ]+ +status $expect_status " "$log")
    grep -q 'ERROR' "$log" && fail "the child found a malformed record"
    grep -q 'records received, sending \$EXIT\$' "$log" || fail "the child did not end the run"
  else
    records=$(grep -c '^record ' "$report")
    good=$(grep -c "^record [0-9]* $expect_status\$" "$report")
    grep -q '^malformed' "$report" && fail "the stand-in found a malformed record"
  fi
  ((records == 3 && good == 3)) || fail "$good of $records records with status $expect_status"
  if [[ $expect_status == '0 Success' && $platform == linux ]]; then
    grep -E '^record .*sample 00 00 00 00 00 00 00 00' "$log" && fail "a good sample is all zero"
  fi
  if [[ $expect_status != '0 Success' && $platform == linux ]]; then
    grep '^record ' "$log" | grep -vq 'sample 00 00 00 00 00 00 00 00' &&
      fail "a failed read left a sample behind"
  fi
fi

# --- Every record of a fault scenario, as the stand-in reported it.
if [[ -n $expect_sequence ]]; then
  [[ -f $report ]] || fail "the stand-in wrote no report"
  grep -q '^malformed' "$report" && fail "the stand-in found a malformed record"
  codes=$(awk '/^record / {printf "%s", $3}' "$report")
  ((${#codes} == STAND_IN_RECORDS)) || fail "${#codes} records instead of $STAND_IN_RECORDS"
  [[ $codes =~ $expect_sequence ]] || fail "status codes $codes do not match $expect_sequence"
  # A failed read leaves 64 zero bytes; a good sample is never all zero.
  zeros=$(printf ' 00%.0s' $(seq 64))
  awk -v zeros="$zeros" '
    /^record / { status[$2] = $3 }
    /^sample / { seq = $2; sub(/^sample [0-9]+/, ""); sample[seq] = $0 }
    END {
      for (seq in status) {
        if (length(sample[seq]) != 192) { print "record " seq ": no sample"; bad = 1 }
        else if ((status[seq] == 0) == (sample[seq] == zeros)) {
          print "record " seq " status " status[seq] ":" sample[seq]; bad = 1
        }
      }
      exit bad
    }' "$report" || fail "a record's sample does not fit its status"
  # The records go on without a gap: every tick has its record.
  awk '/^timing / { if (n++ && $2 - last != 1000) { print "step " $2 - last; bad = 1 } last = $2 }
       END { exit bad }' "$report" || fail "record time stamps are not 1000 ms apart"
  note=", status codes $codes"
fi

# --- How the misbehaving children end, and which children were started.
case $scenario in
  missing_library) [[ ! -e $report ]] || fail "a child was started" ;;
  child_floods)
    flood=$(grep '^flood' "$report")
    died=$(awk '/^end/ {print $2}' "$report")
    read -r _ bytes writes longest_us elapsed_ms <<<"$flood"
    [[ $flood == "flood "* && -n $died ]] || fail "the flood did not get to its end: ${flood:-none}"
    ((bytes == STAND_IN_FLOOD_MB * 1048576)) || fail "$bytes bytes flooded"
    # The bridge reads on at once: a write waits only for a few reads, never
    # for a pause (a bridge that paused 50 ms per full read would hold a
    # 64 KiB pipe for over 3 s).
    ((longest_us <= ${FLOOD_LONGEST_WRITE_MS:-1000} * 1000)) ||
      fail "a write was held up for $longest_us us"
    # Output stays open after "$EXIT$": only the command can end the bridge.
    ((end - died <= 3000)) || fail "the bridge ended $((end - died)) ms after \$EXIT\$"
    note=", $((bytes / 1048576)) MiB in $writes writes, $elapsed_ms ms ($((bytes / 1048576 * 1000 / (elapsed_ms + 1))) MiB/s), longest write $longest_us us, ended $((end - died)) ms after \$EXIT\$"
    ;;
  child_dies | child_stops_reading)
    died=$(awk '/^end/ {print $2}' "$report")
    [[ -n $died ]] || fail "the stand-in did not get to its end"
    # The bridge ends by itself within a second (2 s when a write is held
    # up) where it would otherwise not end at all; the bounds leave room for
    # sanitizer builds on a loaded machine.
    limit=3000
    [[ $scenario == child_stops_reading ]] && limit=4000
    ((end - died <= limit)) || fail "the bridge ended $((end - died)) ms after the child's end"
    note=", ended $((end - died)) ms after the child's end"
    ;;
esac

# The normal child ends by itself once it has sent "$EXIT$".
if [[ $child == java && -n $child_pid ]]; then
  for _ in $(seq 50); do
    kill -0 "$child_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$child_pid" 2>/dev/null && fail "the child $child_pid is still running"
  child_pid=
fi
echo "ok ($platform $scenario): $((end - start)) ms${note:-}"
