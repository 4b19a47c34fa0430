#!/usr/bin/env bash
# Builds the package of a build tree with CPack and checks its file list; on
# Linux also that the packaged program finds the library beside itself, and
# what `cmake --install` puts where (staged with DESTDIR).
#
#   package_test.sh BUILD_DIR CPACK linux|win32
set -u
build=$1 cpack=$2 platform=$3
work=$(mktemp -d /tmp/probe-package.XXXXXX)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL (package $platform): $*"
  [[ -f $work/cpack.log ]] && tail -20 "$work/cpack.log"
  exit 1
}

# compare_files WHAT EXPECTED ACTUAL: both sorted, one path a line.
compare_files() {
  diff <(sort <<<"$2") <(sort <<<"$3") >"$work/diff" ||
    fail "$1 differ (< expected, > actual):"$'\n'"$(cat "$work/diff")"
}

"$cpack" --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  fail "cpack failed"

if [[ $platform == win32 ]]; then
  package=$(ls "$work"/out/pyrel2-*-win32.zip 2>/dev/null) || fail "no zip"
  expected="DeviceInfo.ini
PROBE.md
README.md
ZelkHID.dll
pyrel2.exe
zelkhid-probe.exe"
else
  package=$(ls "$work"/out/pyrel2-*-linux-*.tar.gz 2>/dev/null) || fail "no tarball"
  expected="DeviceInfo.ini
PROBE.md
README.md
libZelkHID.so
pyrel2
udev/70-zelk-thermometer.rules
zelkhid-probe"
  [[ -f $build/bin/pyrel.jar ]] && expected+=$'\npyrel.jar'
fi
top=$(basename "$package")
top=${top%.zip}
top=${top%.tar.gz}
listing=$(cd "$work" && cmake -E tar tf "$package") || fail "cannot list $package"
files=$(grep -v '/$' <<<"$listing" | sed "s|^$top/||")
compare_files "package files" "$expected" "$files"
echo "$top:"
while read -r file; do echo "  $file"; done <<<"$files"

if [[ $platform == linux ]]; then
  (cd "$work" && cmake -E tar xf "$package") || fail "cannot unpack"
  # shellcheck disable=SC2016
  readelf -d "$work/$top/pyrel2" | grep -qE 'R(UN)?PATH.*\[\$ORIGIN\]' ||
    fail "pyrel2 does not look for the library in its own folder"
  "$work/$top/zelkhid-probe" --help >/dev/null || fail "the packaged probe does not run"

  # cmake --install: the folder, and the rule in the system's udev folder.
  DESTDIR=$work/stage cmake --install "$build" --prefix /opt/pyrel2 >"$work/install.log" 2>&1 ||
    fail "cmake --install failed: $(cat "$work/install.log")"
  installed=$(cd "$work/stage" && find . -type f | sed 's|^\./||')
  rules_dir=$(sed -n 's/^PYREL_UDEV_RULES_DIR:PATH=//p' "$build/CMakeCache.txt")
  expected_installed=$(while read -r file; do echo "opt/pyrel2/$file"; done <<<"$expected")
  [[ -n $rules_dir ]] && expected_installed+=$'\n'"${rules_dir#/}/70-zelk-thermometer.rules"
  compare_files "installed files" "$expected_installed" "$installed"
fi
echo "ok (package $platform)"
