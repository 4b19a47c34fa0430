#!/usr/bin/env bash
# Prepares the kernel test bed: Debian's current amd64 kernel, unpacked and
# with its module index, the uncompressed vmlinux (boots about twice as fast
# under software emulation as the compressed image) and a busybox initramfs
# holding the USB, HID, gadget and 9p modules.
#
#   prepare.sh CACHE_DIR
#
# Everything lands in CACHE_DIR/<kernel release>/; a finished preparation is
# reused. Prints the path of that folder on its last line. Older releases in
# CACHE_DIR are removed once a newer one is ready.
set -euo pipefail

cache=${1:?usage: prepare.sh CACHE_DIR}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

log() { echo "testbed: $*" >&2; }

# One preparation at a time per cache (several build trees may test at once).
exec 9>"$cache/.lock"
flock 9

# The kernel package that the metapackage linux-image-amd64 points at.
resolve_kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}

package=$(resolve_kernel_package || true)
if [[ -z $package && $(id -u) == 0 ]]; then
  apt-get update -qq >/dev/null 2>&1 || true
  package=$(resolve_kernel_package || true)
fi
if [[ -z $package ]]; then
  # Offline or no package lists: fall back on the newest release prepared before.
  ready=$(ls -d "$cache"/*/ready 2>/dev/null | sort -V | tail -n1 || true)
  [[ -n $ready ]] || { log "cannot resolve linux-image-amd64 and nothing is cached"; exit 1; }
  dirname "$ready"
  exit 0
fi
release=${package#linux-image-}
dir=$cache/$release
# The USB gadget and HID stack in the order it needs, uhid, and the 9p share.
modules="configfs usb-common usbcore udc-core dummy_hcd libcomposite usb_f_hid hid usbhid
  hid-generic uhid virtio_pci 9pnet_virtio 9p"
init_hash=$( (cat "$here/guest-init.sh"; echo $modules) | sha256sum | cut -c1-16)
if [[ -f $dir/ready && $(cat "$dir/ready") == "$init_hash" ]]; then
  echo "$dir"
  exit 0
fi

# Stage 1, once per kernel release and module list: the kernel ELF and the
# modules (the package stays, for a changed list).
if [[ $(cat "$dir/kernel-ready" 2>/dev/null) != "$modules" ]]; then
  log "preparing kernel $release in $dir"
  rm -rf "$dir/modules" "$dir/root" "$dir/kernel-ready"
  mkdir -p "$dir/download" "$dir/modules"
  if ! ls "$dir"/download/*.deb >/dev/null 2>&1; then
    (cd "$dir/download" && apt-get download "$package" >/dev/null 2>&1) ||
      { log "apt-get download $package failed"; exit 1; }
  fi
  dpkg-deb -x "$dir"/download/*.deb "$dir/root"
  depmod -b "$dir/root" "$release"

  # vmlinuz is a boot stub followed by the compressed kernel ELF: find the
  # compressed stream and unpack it.
  extract_vmlinux() {
    local image=$1 out=$2 offset format tool magic
    for format in 'xz:\xfd7zXZ\x00' 'zstd:\x28\xb5\x2f\xfd' 'gzip:\x1f\x8b\x08'; do
      tool=${format%%:*} magic=${format#*:}
      for offset in $(LC_ALL=C grep -obUaP "$magic" "$image" | cut -d: -f1); do
        tail -c +$((offset + 1)) "$image" | $tool -dc 2>/dev/null >"$out" || true
        if [[ $(head -c 4 "$out" | od -An -c | tr -d ' ') == '177ELF' ]]; then
          return 0
        fi
      done
    done
    return 1
  }
  extract_vmlinux "$dir/root/boot/vmlinuz-$release" "$dir/vmlinux" ||
    { log "no kernel ELF found in vmlinuz-$release"; exit 1; }

  # Modules in load order: every module after the modules it depends on.
  moddir=$dir/root/lib/modules/$release
  declare -A path_of=() emitted=()
  while IFS=: read -r mod _; do
    name=$(basename "$mod" .ko)
    path_of[${name//-/_}]=$mod
  done <"$moddir/modules.dep"
  order=()
  visit() { # visit MODULE_NAME: emit its dependencies, then itself
    local key=${1//-/_} dep
    [[ -n ${emitted[$key]:-} ]] && return 0
    local mod=${path_of[$key]:?module $1 not in modules.dep}
    for dep in $(grep -E "^${mod//./\\.}:" "$moddir/modules.dep" | cut -d: -f2); do
      visit "$(basename "$dep" .ko)"
    done
    emitted[$key]=1
    order+=("$mod")
  }
  for m in $modules; do
    visit "$m"
  done
  for mod in "${order[@]}"; do
    cp "$moddir/$mod" "$dir/modules/"
    basename "$mod" >>"$dir/modules/load-order"
  done
  rm -rf "$dir/root"
  echo "$modules" >"$dir/kernel-ready"
fi

# Stage 2, whenever the init changes: the initramfs. Its init mounts the
# host's root file system read-only over 9p and runs the guest script named
# on the kernel command line inside it.
staging=$dir/initramfs
rm -rf "$staging"
mkdir -p "$staging"/{bin,dev,proc,sys,host,lib}
cp "$(command -v busybox)" "$staging/bin/busybox"
for tool in sh mount umount insmod chroot poweroff sleep mkdir cat echo tr; do
  ln -s busybox "$staging/bin/$tool"
done
cp -r "$dir/modules" "$staging/lib/modules"
install -m 0755 "$here/guest-init.sh" "$staging/init"
(cd "$staging" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$dir/initramfs.cpio.gz"
rm -rf "$staging"
echo "$init_hash" >"$dir/ready"

for old in "$cache"/*/; do
  [[ ${old%/} == "$dir" ]] || rm -rf "$old"
done
log "kernel $release ready"
echo "$dir"
