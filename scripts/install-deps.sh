#!/usr/bin/env bash
# Installs the tools the build and the tests need, only when one is missing.
# Uses apt-get as root; does nothing when everything is present.
set -euo pipefail

need_i386=0
missing=()
check() { # check COMMAND-OR-PATH PACKAGE...
  local what=$1; shift
  if [[ $what == /* ]]; then [[ -e $what ]] && return 0; else command -v "$what" >/dev/null 2>&1 && return 0; fi
  missing+=("$@")
}

check cmake cmake
check ninja ninja-build
check g++ g++
check clang++ clang
check /usr/src/googletest/CMakeLists.txt googletest
check i686-w64-mingw32-g++-posix g++-mingw-w64-i686
check javac default-jdk-headless
check jar default-jdk-headless
if ! command -v wine >/dev/null 2>&1 || ! dpkg -s wine32:i386 >/dev/null 2>&1; then
  need_i386=1
  missing+=(wine wine32:i386)
fi
# Extra tools named by later parts of the test suite (kernel test bed, fuzzers).
if [[ -f scripts/extra-deps.txt ]]; then
  while read -r cmd pkgs; do
    [[ -z $cmd || $cmd == \#* ]] && continue
    # shellcheck disable=SC2086
    check "$cmd" $pkgs
  done < scripts/extra-deps.txt
fi

((${#missing[@]} == 0)) && exit 0

if [[ $(id -u) != 0 ]]; then
  echo "install-deps: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
if ((need_i386)) && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq
# shellcheck disable=SC2046
apt-get install -y -qq --no-install-recommends $(printf '%s\n' "${missing[@]}" | sort -u) >/dev/null
