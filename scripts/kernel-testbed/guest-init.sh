#!/bin/sh
# PID 1 of the test VM (busybox). Loads the USB gadget, HID and 9p modules,
# mounts the host's root file system read-only at /host with fresh proc,
# sys, dev, tmp and configfs mounts over it, and runs the script named by
# pyrel_script= on the kernel command line inside that root, so that the
# build tree's programs run with the host's own libraries at their own paths.
# Powers the VM off afterwards.
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

# dummy_hcd gets as many virtual host/device controller pairs as asked for.
while read -r module; do
  case $module in
    dummy_hcd.ko) insmod "/lib/modules/$module" "num=${pyrel_udcs:-2}" ;;
    *) insmod "/lib/modules/$module" ;;
  esac || echo "guest: insmod $module failed"
done </lib/modules/load-order

if mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144,cache=loose hostroot /host; then
  mount -t proc proc /host/proc
  mount -t sysfs sysfs /host/sys
  mount -t devtmpfs devtmpfs /host/dev
  # Host folders under /tmp that the command needs (a checkout or build tree
  # there, named by pyrel_keep=) are shown again over the guest's own /tmp:
  # bound aside before the tmpfs covers them, then put back in place.
  kept=0
  for dir in $(echo "$pyrel_keep" | tr , ' '); do
    kept=$((kept + 1))
    mkdir -p "/kept/$kept" && mount -o bind "/host$dir" "/kept/$kept"
  done
  mount -t tmpfs tmpfs /host/tmp
  kept=0
  for dir in $(echo "$pyrel_keep" | tr , ' '); do
    kept=$((kept + 1))
    mkdir -p "/host$dir" && mount -o bind "/kept/$kept" "/host$dir"
  done
  mount -t configfs configfs /host/sys/kernel/config
  # The command's words arrive joined by commas.
  command=$(echo "$pyrel_script" | tr , ' ')
  chroot /host /bin/sh -c "cd /tmp && exec $command"
  echo "guest: script exit status $?"
else
  echo "guest: mounting the host file system failed"
fi
poweroff -f
