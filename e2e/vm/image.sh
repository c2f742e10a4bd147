#!/usr/bin/env bash
# Makes the suite's virtual machine, for a machine whose kernel runs no 32-bit
# program (Inno Setup's compiler, installers and uninstallers are 32-bit): a
# Debian of this machine's own release with Wine's two halves and Xvfb, as a
# disk image, with a kernel that runs 32-bit programs and its initial
# ramdisk. It is kept in the user's cache, in a folder named by a hash of
# this recipe and the Debian release, so that every clone on the machine
# finds it: made once, and anew when the recipe changes. It is made beside
# that folder and renamed to it only once complete, so that an image cut
# off half-made is never taken for one. Prints the folder.
#   image.sh          make it, unless it is there
#   image.sh --where  only print the folder
# The packages come from VM_MIRROR (default http://deb.debian.org/debian).
set -u

fail() { echo "vm-image: $*" >&2; exit 1; }

[ $# -eq 0 ] || { [ $# -eq 1 ] && [ "$1" = --where ]; } || fail "usage: image.sh [--where]"
here=$(cd "$(dirname "$0")" && pwd)
mirror=${VM_MIRROR:-http://deb.debian.org/debian}
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$codename" ] || fail "cannot tell this Debian's release from /etc/os-release"
recipe=$(cat "$here/image.sh" "$here/init.sh" | sha256sum | cut -c1-16)-$codename
cache=${XDG_CACHE_HOME:-${HOME:?}/.cache}/uninstallnotice-vm
[[ $cache == /* ]] || fail "the cache folder must be an absolute path, not '$cache'"
dir=$cache/$recipe
complete() {
    [ -f "$dir/root.img" ] && [ -f "$dir/vmlinuz" ] && [ -f "$dir/initrd.img" ] &&
        [ "$(cat "$dir/made-by.txt" 2>/dev/null)" = "$recipe" ]
}
if [ "${1:-}" = --where ]; then
    echo "$dir"
    exit 0
fi
[ "$(id -u)" -eq 0 ] || fail "making the image needs root (debootstrap and chroot)"
for tool in debootstrap mke2fs chroot flock; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (make test installs it)"
done
mkdir -p "$cache" || fail "cannot write to $cache"
# Two clones may ask at once: one makes it, the other waits and finds it.
exec {lock}>"$cache/lock"
flock "$lock" || fail "cannot lock $cache/lock"
if complete; then
    echo "vm-image: up to date: $dir"
    exit 0
fi

# Never trusted: a folder of this name that is not complete, one left
# half-made, and the images of other recipes, which only use up the disk.
rm -rf --one-file-system "$cache"/*/
final=$dir dir=$dir.partial
mkdir -p "$dir" || fail "cannot write to $dir"
rootfs=$dir/rootfs
# Never into a file system mounted inside, should /proc stay mounted there.
cleanup() {
    umount "$rootfs/proc" 2>/dev/null
    rm -rf --one-file-system "$rootfs"
}
trap cleanup EXIT
cleanup
echo "vm-image: installing Debian $codename into $rootfs (a few minutes)"
# The Debian kernel runs 32-bit programs; minbase brings no init system: the
# machine's first process is init.sh.
debootstrap --variant=minbase --include=linux-image-amd64,kmod,xvfb,xauth \
    "$codename" "$rootfs" "$mirror" >"$dir/debootstrap.log" 2>&1 ||
    fail "debootstrap failed; see $dir/debootstrap.log"
mount -t proc proc "$rootfs/proc" || fail "cannot mount /proc in $rootfs"
echo "vm-image: installing Wine"
# A mirror in the middle of a sync can fail one index; go on with the rest.
chroot "$rootfs" /bin/bash -c '
    dpkg --add-architecture i386 && { apt-get update -qq || true; } &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        wine wine64 wine32:i386 fonts-wine' >"$dir/wine.log" 2>&1 ||
    fail "installing Wine into the image failed; see $dir/wine.log"
umount "$rootfs/proc"
install -m 755 "$here/init.sh" "$rootfs/sbin/vm-init" || fail "cannot copy init.sh"
kernels=("$rootfs"/boot/vmlinuz-*) initrds=("$rootfs"/boot/initrd.img-*)
[ -f "${kernels[0]}" ] && [ -f "${initrds[0]}" ] || fail "the image has no kernel or initial ramdisk"
cp "${kernels[0]}" "$dir/vmlinuz" && cp "${initrds[0]}" "$dir/initrd.img" || fail "cannot copy the kernel"
rm -f "$dir/root.img"
mke2fs -q -t ext4 -d "$rootfs" "$dir/root.img" 8G >/dev/null || fail "mke2fs could not make $dir/root.img"
rm -rf --one-file-system "$rootfs"
printf '%s\n' "$recipe" >"$dir/made-by.txt" && sync && mv "$dir" "$final" ||
    fail "cannot move the image into $final"
echo "vm-image: made $final"
