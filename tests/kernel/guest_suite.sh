#!/bin/bash
# Runs inside the test VM (as root, on the host's read-only file system with
# a fresh /tmp): lays out a writable run folder with the guest test program,
# the gadget thermometer, the library and, when built, the bridge program
# with a stand-in child as "java", then runs the guest tests there.
#
#   guest_suite.sh GUEST_TEST GADGET_THERMOMETER LIBRARY [PYREL2 STAND_IN]
set -u
run=/tmp/run
mkdir -p "$run/javabin"
cp "$1" "$run/guest_test"
cp "$2" "$run/gadget_thermometer"
cp "$3" "$run/libZelkHID.so"
if [[ $# -ge 5 && -x $4 && -x $5 ]]; then
  cp "$4" "$run/pyrel2"
  cp "$5" "$run/javabin/java"
fi
cd "$run" && ./guest_test --gtest_color=no
echo "guest suite: exit status $?"
