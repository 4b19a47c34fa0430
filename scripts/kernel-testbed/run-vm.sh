#!/usr/bin/env bash
# Boots the test VM once and runs one command in it, with the host's root
# file system (read-only) as the guest's root: host paths work unchanged in
# the guest, except /tmp, which is the guest's own tmpfs; a folder under /tmp
# named with --keep stays visible there.
#
#   run-vm.sh [--udcs N] [--timeout S] [--env NAME=VALUE] [--keep DIR]... COMMAND [ARG...]
#
# COMMAND runs under /bin/sh in the guest as root. The guest's serial console
# is this script's standard output. Uses KVM when it works, else software
# emulation (TCG). The kernel comes from prepare.sh's cache
# ($PYREL_TESTBED_CACHE, default /var/cache/pyrel-testbed when writable).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

udcs=2
limit=600
guest_env=()
keep=()
while [[ $# -gt 0 ]]; do
  case $1 in
    --udcs) udcs=$2; shift 2 ;;
    --timeout) limit=$2; shift 2 ;;
    --env) guest_env+=("$2"); shift 2 ;;
    --keep)
      dir=$(realpath "$2")
      [[ $dir == /tmp/* ]] && keep+=("$dir")
      shift 2
      ;;
    *) break ;;
  esac
done
[[ $# -gt 0 ]] || { echo "usage: run-vm.sh [--udcs N] [--timeout S] [--env NAME=VALUE] [--keep DIR]... COMMAND [ARG...]" >&2; exit 2; }
for word in "$@" "${guest_env[@]}" "${keep[@]}"; do
  [[ $word != *[[:space:],]* ]] || { echo "run-vm.sh: no spaces or commas in the guest command" >&2; exit 2; }
done

cache=${PYREL_TESTBED_CACHE:-/var/cache/pyrel-testbed}
if ! mkdir -p "$cache" 2>/dev/null || [[ ! -w $cache ]]; then
  cache=${TMPDIR:-/tmp}/pyrel-testbed-$(id -u)
fi
kernel_dir=$("$here/prepare.sh" "$cache" | tail -n1)

# KVM only when it can really boot this kernel (the nested KVM of some
# machines cannot and hangs): probed once per kernel release and remembered.
accel=tcg
if [[ -w /dev/kvm && -z ${PYREL_TESTBED_NO_KVM:-} ]]; then
  probe=$kernel_dir/kvm-probe
  if [[ ! -f $probe ]]; then
    # A kernel without a root file system panics at once; panic=-1 and
    # -no-reboot turn that into qemu's exit.
    if timeout 15 qemu-system-x86_64 -accel kvm -m 128 -nographic -nodefaults -no-reboot \
      -kernel "$kernel_dir/vmlinux" -append "console=ttyS0 panic=-1" -serial stdio \
      </dev/null 2>/dev/null | grep -q 'Kernel panic'; then
      echo kvm >"$probe"
    else
      echo tcg >"$probe"
    fi
  fi
  accel=$(cat "$probe")
fi

# The kernel command line passes the command to the initramfs' init as the
# environment variable pyrel_script, its words joined by commas; the --env
# settings become environment variables of the init and so of the command.
script=$(IFS=,; echo "$*")
kept=$(IFS=,; echo "${keep[*]}")
exec timeout --kill-after=10 "$limit" qemu-system-x86_64 \
  -accel "$accel" -m 768 -smp 1 \
  -nographic -nodefaults -serial stdio -no-reboot \
  -kernel "$kernel_dir/vmlinux" -initrd "$kernel_dir/initramfs.cpio.gz" \
  -append "console=ttyS0 panic=-1 quiet loglevel=1 pyrel_udcs=$udcs ${guest_env[*]} pyrel_keep=$kept pyrel_script=$script" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  </dev/null
