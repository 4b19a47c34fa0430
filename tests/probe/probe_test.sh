#!/usr/bin/env bash
# One check of zelkhid-probe from the outside: exit code and key lines.
#
#   probe_test.sh CASE SIM_PROBE PORT_PROBE SOURCE_DIR
#
# SIM_PROBE is the probe over the simulated port, PORT_PROBE the one over the
# platform's port (Linux hidraw, or Win32). Each run happens in a folder of
# its own with a copy of the program and, unless the case says otherwise, the
# sample DeviceInfo.ini. Cases named wine_* run the Windows programs under
# Wine (its prefix comes from the environment). Exit 77: skipped.
set -u
case_name=$1 sim_probe=$2 port_probe=$3 source=$4
scenarios=$source/transport/sim/scenarios
own_scenarios=$source/tests/probe/scenarios
sample_ini=$source/transport/DeviceInfo.ini
udev_rule=$source/packaging/linux/70-zelk-thermometer.rules

work=$(mktemp -d /tmp/probe-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
out=$work/out err=$work/err code=
as_user=() # a command prefix that runs the program as another user

fail() {
  echo "FAIL ($case_name): $*"
  echo "--- exit code: $code"
  echo "--- stdout"; cat "$out" 2>/dev/null
  echo "--- stderr"; head -20 "$err" 2>/dev/null
  exit 1
}

# run_in DIR PROGRAM ARGS...: runs the copy of PROGRAM in DIR (with the
# sample DeviceInfo.ini unless DIR has one or NO_INI is set).
run_in() {
  local dir=$1 program=$2
  shift 2
  mkdir -p "$dir"
  cp "$program" "$dir/"
  [[ -z ${NO_INI:-} && ! -f $dir/DeviceInfo.ini ]] && cp "$sample_ini" "$dir/"
  local name
  name=$(basename "$program")
  if [[ $name == *.exe ]]; then
    (cd "$dir" && timeout 120 wine "./$name" "$@" >"$out" 2>"$err")
    code=$?
    sed -i 's/\r$//' "$out"
  else
    (cd "$dir" && timeout 60 "${as_user[@]}" "./$name" "$@" >"$out" 2>"$err")
    code=$?
  fi
}

# sim SCENARIO ARGS...: the simulated probe with a scenario file ("" for the
# built-in thermometer).
sim() {
  local scenario=$1
  shift
  mkdir -p "$work/run"
  if [[ -n $scenario ]]; then
    cp "$scenario" "$work/run/scenario.ini"
    ZELKHID_SIM_SCENARIO=scenario.ini run_in "$work/run" "$sim_probe" "$@"
  else
    ZELKHID_SIM_SCENARIO='' run_in "$work/run" "$sim_probe" "$@"
  fi
}

expect_code() { [[ $code == "$1" ]] || fail "exit code $code, expected $1"; }
expect_line() { grep -qF -- "$1" "$out" || fail "no line with: $1"; }
expect_no_line() { ! grep -qF -- "$1" "$out" || fail "unexpected line with: $1"; }
expect_byte_rows() { # the 64 bytes: four rows of 16
  [[ $(grep -cE '^    [0-9A-F]{2}:( [0-9A-F]{2}){16}$' "$out") == 4 ]] || fail "not 4 rows of bytes"
}

# A sysfs tree with hidraw nodes for the Linux port: fake_node NAME USB IF VID PID
# makes class/NAME -> the HID device folder of interface IF of USB device USB,
# with its uevent, and dev/NAME, a plain file that only root may open.
fake_node() {
  local name=$1 vid=$4 pid=$5
  local device=$work/sys/devices/usb1/$2/$2:1.$3/0003:$4:$5.000$3
  mkdir -p "$device" "$work/sys/class/hidraw/$name" "$work/dev"
  printf 'DRIVER=hid-generic\nHID_ID=0003:0000%s:0000%s\nHID_NAME=fake\n' "$vid" "$pid" \
    >"$device/uevent"
  ln -s "$device" "$work/sys/class/hidraw/$name/device"
  : >"$work/dev/$name"
  chmod 0600 "$work/dev/$name"
}
hidraw_options() { echo --hidraw-dir "$work/sys/class/hidraw" --dev-dir "$work/dev"; }

case $case_name in
  good) # one thermometer; its sample read the bridge's way
    sim "$scenarios/good.ini" --read 1
    expect_code 0
    expect_line "DeviceInfo.ini: $work/run/DeviceInfo.ini (read)"
    expect_line "VID = 0x1209 (4617), PID = 0x0001 (1)"
    expect_line "HID interfaces: 2"
    expect_line "1209:0001 0001:0003  65/65   command sim:device0/interface0"
    expect_line "1209:0001 FFA0:0001  65/65   data    sim:device0/interface1"
    expect_line "interfaces 0, 1: pair 0+1 passes: device 1"
    expect_line "Thermometers paired by the library (HID_DeviceInitialize): 1"
    expect_line "HID_SetCurrentDevice(1, 1000 ms): 1"
    expect_line "HID_ReadData(64 bytes): 1"
    expect_byte_rows
    expect_line "status: 0 Success"
    expect_line "result: device 1 gives status 0 Success (exit code 0)"
    ;;
  none) # no HID interface at all
    sim "$scenarios/none.ini"
    expect_code 2
    expect_line "HID interfaces: 0"
    expect_line "Thermometers paired by the library (HID_DeviceInitialize): 0"
    expect_line "result: no thermometer found (exit code 2)"
    ;;
  wrong_vid) # a thermometer with another VID: listed, not paired, and why
    sim "$own_scenarios/wrong_vid.ini"
    expect_code 2
    expect_line "pair 0+1 fails: VID:PID 1234:0001 is not DeviceInfo.ini's 1209:0001"
    expect_line "interface 2: one interface only, not a pair"
    expect_line "result: no thermometer found (exit code 2)"
    sim "$own_scenarios/wrong_vid.ini" --read 1
    expect_code 2
    expect_line "HID_DeviceInitialize: 0"
    expect_line "HID_SetCurrentDevice: not called"
    expect_line "bytes: none read"
    expect_line "status: 2 No Device"
    ;;
  mixed) # grouping: a lone keyboard, a third interface, either role order, a lone data interface
    sim "$own_scenarios/mixed.ini"
    expect_code 0
    expect_line "HID interfaces: 7"
    expect_line "interface 0: one interface only, not a pair"
    expect_line "interfaces 1, 2, 3: pair 1+2 passes: device 1; 3 ignored (only the first two count)"
    expect_line "interfaces 4, 5: pair 4+5 passes: device 2"
    expect_line "interface 6: one interface only, not a pair"
    expect_line "device 2: sim:device2/interface0 + sim:device2/interface1"
    expect_line "result: 2 thermometer(s) found (exit code 0)"
    sim "$own_scenarios/mixed.ini" --read 2
    expect_code 0
    expect_line "Reading device 2 the way the bridge reads device 1:"
    expect_line "HID_SetCurrentDevice(2, 1000 ms): 1"
    expect_line "status: 0 Success"
    ;;
  bad_data) # marker bits without a marker run: the bytes are shown, status 4
    sim "$scenarios/bad_data.ini" --read 1
    expect_code 4
    expect_byte_rows
    expect_line "status: 4 Bad Data"
    expect_line "(with this status the bridge sends 64 zero bytes)"
    ;;
  silent) # the device never answers: the read times out
    sim "$scenarios/silent.ini" --read 1
    expect_code 4
    expect_line "HID_ReadData(64 bytes): 0"
    expect_line "bytes: none read"
    expect_line "status: 3 Read Failed"
    ;;
  beyond) # a device number past the paired ones
    sim "$scenarios/good.ini" --read 2
    expect_code 2
    expect_line "HID_SetCurrentDevice(2, 1000 ms): 0"
    expect_line "status: 2 No Device"
    ;;
  no_ini) # no DeviceInfo.ini beside the program: identifiers 0, nothing passes
    NO_INI=1 sim "$scenarios/good.ini"
    expect_code 2
    expect_line "DeviceInfo.ini: $work/run/DeviceInfo.ini (not found)"
    expect_line "VID = 0x0000 (0), PID = 0x0000 (0)"
    expect_line "The file is missing"
    expect_line "pair 0+1 fails: VID:PID 1209:0001 is not DeviceInfo.ini's 0000:0000"
    ;;
  usage) # bad command lines: exit 1 and a message on standard error
    for args in "--read" "--read 0" "--read 129" "--read x" "--read=" "--bogus" "--bogus 1" "extra"; do
      # shellcheck disable=SC2086
      sim "$scenarios/good.ini" $args
      expect_code 1
      grep -q "zelkhid-probe: .*(see --help)" "$err" || fail "no usage message for '$args'"
      [[ ! -s $out ]] || fail "a report for '$args'"
    done
    sim "$scenarios/good.ini" --read=1
    expect_code 0
    sim "" --help
    expect_code 0
    expect_line "Exit codes:"
    expect_line "  3  no thermometer, and an interface that may be the thermometer could not be opened"
    ;;
  udev_rule) # the rule names the identifiers that the library reads from the sample DeviceInfo.ini
    sim "$scenarios/none.ini"
    line=$(grep -E '^  VID = 0x[0-9A-F]{4} \([0-9]+\), PID = 0x[0-9A-F]{4} ' "$out") ||
      fail "no VID/PID line"
    vid=$(sed -E 's/.*VID = 0x([0-9A-F]{4}).*/\1/' <<<"$line" | tr A-F a-f)
    pid=$(sed -E 's/.*PID = 0x([0-9A-F]{4}).*/\1/' <<<"$line" | tr A-F a-f)
    rules=$(grep -vE '^\s*(#|$)' "$udev_rule")
    [[ $(wc -l <<<"$rules") == 1 ]] || fail "expected one rule line, got: $rules"
    for part in 'SUBSYSTEM=="hidraw"' "ATTRS{idVendor}==\"$vid\"" "ATTRS{idProduct}==\"$pid\"" \
                'TAG+="uaccess"'; do
      grep -qF -- "$part" <<<"$rules" || fail "the rule lacks $part: $rules"
    done
    ;;
  hidraw_no_device) # the Linux port with an empty hidraw class folder
    mkdir -p "$work/sys/class/hidraw" "$work/dev"
    # shellcheck disable=SC2046
    run_in "$work/run" "$port_probe" $(hidraw_options)
    expect_code 2
    expect_line "HID port: Linux hidraw (nodes listed in $work/sys/class/hidraw"
    expect_line "HID interfaces: 0"
    ;;
  hidraw_permission) # nodes only root may open, probed by an ordinary user
    if [[ $(id -u) != 0 ]] || ! command -v setpriv >/dev/null; then
      echo "needs root and setpriv"
      exit 77
    fi
    fake_node hidraw0 1-1 0 1209 0001
    fake_node hidraw1 1-1 1 1209 0001
    fake_node hidraw2 1-2 0 046d c31c
    chmod -R a+rX "$work"
    chmod 0600 "$work"/dev/*
    as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    # shellcheck disable=SC2046
    run_in "$work/run" "$port_probe" $(hidraw_options)
    expect_code 3
    expect_line "1209:0001 ?          ?       ?       $work/dev/hidraw0"
    expect_line "cannot open: permission denied (VID:PID found without opening it)"
    expect_line "No permission to open:"
    expect_line "  $work/dev/hidraw0 (owner root, group root, mode 0600)"
    expect_line "  $work/dev/hidraw1 (owner root, group root, mode 0600)"
    expect_line "sudo cp udev/70-zelk-thermometer.rules /etc/udev/rules.d/"
    expect_line "result: no thermometer found, no permission (exit code 3)"
    grep -q "^  $work/dev/hidraw2 (" "$out" && fail "the keyboard's node counted as the thermometer's"
    # A node whose group may read and write it: joining that group is suggested.
    if group=$(getent group 100 | cut -d: -f1) && [[ -n $group ]]; then
      chgrp 100 "$work/dev/hidraw1" && chmod 0660 "$work/dev/hidraw1"
      # shellcheck disable=SC2046
      run_in "$work/run" "$port_probe" $(hidraw_options)
      expect_code 3
      expect_line "  $work/dev/hidraw1 (owner root, group $group, mode 0660)"
      expect_line "sudo usermod -aG $group \$USER"
    fi
    # Only a node of another device refused: no thermometer, but not a permission problem.
    rm -rf "$work/sys/class/hidraw/hidraw0" "$work/sys/class/hidraw/hidraw1"
    # shellcheck disable=SC2046
    run_in "$work/run" "$port_probe" $(hidraw_options)
    expect_code 2
    expect_line "046D:C31C"
    expect_no_line "No permission to open:"
    ;;
  wine_no_device) # the Win32 port under Wine, which has no HID device
    run_in "$work/run" "$port_probe"
    expect_code 2
    expect_line "HID port: Windows HID (SetupAPI)"
    expect_line 'DeviceInfo.ini: Z:'
    expect_line "VID = 0x1209 (4617), PID = 0x0001 (1)"
    expect_line "result: no thermometer found (exit code 2)"
    ;;
  wine_sim_good) # the simulated probe built for Windows
    sim "$scenarios/good.ini" --read 1
    expect_code 0
    expect_line "pair 0+1 passes: device 1"
    expect_byte_rows
    expect_line "status: 0 Success"
    ;;
  *) fail "unknown case" ;;
esac
echo "ok ($case_name)"
