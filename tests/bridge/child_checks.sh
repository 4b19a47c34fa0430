#!/usr/bin/env bash
# The reference child (pyrel.jar) against hand-made input: well-formed record
# streams end with "$EXIT$" and exit code 0; each kind of malformed record
# gives an ERROR line in its log, "$EXIT$" and exit code 2.
#
#   child_checks.sh PYREL_JAR
set -u
jar=$1
work=$(mktemp -d /tmp/pyrel-child.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0

T=1700000000000
zeros=$(printf ' 00%.0s' $(seq 64))
good=" 81 92 a3 b4$(printf ' 00%.0s' $(seq 60))"
# records SEQ TIME SAMPLE STATUS NAME [SEQ TIME SAMPLE STATUS NAME ...]: the
# records, each with CR LF, into $input.
records() {
  input=
  while (($# >= 5)); do
    input+="\$DATAv3,$1,$2,$3,$4,$5"$'\r\n'
    shift 5
  done
}

# check NAME EXPECTED-CODE LOG-PATTERN INPUT [CHILD ARGUMENTS...]
check() {
  local name=$1 expected=$2 pattern=$3 input=$4
  shift 4
  local args=("$@")
  ((${#args[@]})) || args=(-driver obrin.cust.app.kalvo.core.ShellThermoFactory)
  : >"$work/log"
  printf '%s' "$input" | PYREL_CHILD_LOG=$work/log PYREL_CHILD_RECORDS=2 \
    java -jar "$jar" "${args[@]}" >"$work/out" 2>"$work/err"
  local code=$?
  local sent_exit=no
  [[ $(cat "$work/out") == '$EXIT$' ]] && sent_exit=yes
  if ((code != expected)) || ! grep -Eq "$pattern" "$work/log" "$work/err" ||
    { ((expected != 64)) && [[ $name != *"input ends"* && $sent_exit != yes ]]; }; then
    echo "FAIL: $name: exit code $code (expected $expected), \$EXIT\$ sent: $sent_exit"
    cat "$work/log" "$work/err"
    failures=$((failures + 1))
  else
    echo "ok: $name"
  fi
}

records 0 $T "$good" 0 Success 1 $((T + 1000)) "$good" 0 Success
check "two good records" 0 '^record +1 .*status 0 Success +sample 81 92 a3 b4' "$input"
records 0 $T "$zeros" 3 'Read Failed' 1 $((T + 2000)) "$zeros" 2 'No Device'
check "a skipped tick between records" 0 '^record +1 .*status 2 No Device' "$input"
records 0 $T "$zeros" 1 'No DLL' 1 $((T + 1000)) "$zeros" 9 'No DLL'
check "unknown status named No DLL" 0 '^record +1 .*status 9 No DLL' "$input"
records 0 $T "$zeros" 4 'Bad Data'
check "input ends" 0 "output has ended after 1 records" "$input"

malformed='^ERROR: malformed record'
records 0 $T " 8F${good:3}" 0 Success
check "upper-case hex digit" 2 "$malformed.*sample byte 0" "$input"
records 0 $T "${good:3}" 0 Success
check "63 byte groups" 2 "$malformed.*189 characters" "$input"
records 0 $T "$zeros" 3 'No Device'
check "name that does not fit the status" 2 "$malformed.*status 3 is named" "$input"
records 1 $T "$zeros" 2 'No Device'
check "first sequence number not 0" 2 "$malformed.*sequence number 1 instead of 0" "$input"
records 0 $T "$zeros" 2 'No Device' 2 $((T + 1000)) "$zeros" 2 'No Device'
check "gap in the sequence" 2 "$malformed.*sequence number 2 instead of 1" "$input"
records 0 $T "$zeros" 2 'No Device' 1 $((T + 1500)) "$zeros" 2 'No Device'
check "time stamps 1500 ms apart" 2 "$malformed.*1500 ms after" "$input"
records 00 $T "$zeros" 2 'No Device'
check "leading zero" 2 "$malformed.*sequence number \"00\"" "$input"
records 0 $T "$zeros" 2 'No Device'
check "line end without CR" 2 "$malformed.*CR LF" "${input%$'\r\n'}"$'\n'
records 0 $T "$zeros" 2 'No Device,'
check "a sixth field" 2 "$malformed.*6 fields" "$input"
check "another tag" 2 "$malformed.*does not start" "\$DATAv2,0,$T,$zeros,2,No Device"$'\r\n'
check "wrong command line" 64 '^usage:' "" -jar

((failures == 0)) || { echo "$failures failed"; exit 1; }
