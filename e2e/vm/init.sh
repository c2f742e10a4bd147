#!/bin/bash
# The virtual machine's first process. The host shares two folders, each at
# its own path: the source tree (tag src, read-only) and a work folder (tag
# work) that holds job.sh and the two paths, one a line, in paths.txt. It
# runs the job there, writes its output to job.txt and its exit status to
# status.txt, and powers the machine off.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
# The initial ramdisk hands over /proc, /sys and /dev already mounted.
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sys /sys
mountpoint -q /dev || mount -t devtmpfs dev /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
modprobe 9pnet_virtio && modprobe 9p
share() { mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 "$@"; }
if share work /mnt; then
    source=$(sed -n 1p /mnt/paths.txt) work=$(sed -n 2p /mnt/paths.txt)
    umount /mnt
    # Wine maps the programs that it runs: the source share, which holds
    # the Inno Setup compiler, is cached so that it can.
    mkdir -p "$source" && share -o ro,cache=loose src "$source" &&
        mkdir -p "$work" && share work "$work" &&
        cd "$work" && {
        bash ./job.sh >job.txt 2>&1
        echo $? >status.txt
    }
fi
sync
echo o >/proc/sysrq-trigger
sleep 60
