#!/usr/bin/env bash
# Boots the suite's virtual machine (made by image.sh in VM-DIR) under
# software emulation, with SOURCE-DIR shared read-only and WORK-DIR writable,
# each at its own path, runs WORK-DIR/job.sh there and ends with its exit
# status; the job's output is in WORK-DIR/job.txt. The machine is cut off
# after SECONDS.
#   run.sh VM-DIR SOURCE-DIR WORK-DIR SECONDS
set -u

fail() { echo "vm: $*" >&2; exit 1; }

[ $# -eq 4 ] || fail "usage: run.sh VM-DIR SOURCE-DIR WORK-DIR SECONDS"
vm=$1 seconds=$4
[[ $seconds =~ ^[1-9][0-9]{0,4}$ ]] || fail "SECONDS must be a whole number from 1 to 99999, not '$seconds'"
[ -f "$vm/root.img" ] && [ -f "$vm/vmlinuz" ] && [ -f "$vm/initrd.img" ] ||
    fail "no virtual machine in $vm (e2e/vm/image.sh makes it)"
[ -d "$2" ] || fail "no source folder at $2"
[ -f "$3/job.sh" ] || fail "no job.sh in $3"
command -v qemu-system-x86_64 >/dev/null || fail "qemu-system-x86_64 is not installed (make test installs it)"
source=$(realpath "$2") work=$(realpath "$3")
# The machine reads the two paths one a line.
for path in "$source" "$work"; do
    [[ $path != *$'\n'* ]] || fail "a path with a line break cannot be shared: $path"
done
printf '%s\n%s\n' "$source" "$work" >"$work/paths.txt"
rm -f "$work/job.txt" "$work/status.txt"

# QEMU's options take a doubled comma as a comma in a value.
option() { printf '%s' "${1//,/,,}"; }
# -cpu max without SMAP: this QEMU emulates an iretq that Wine runs in user
# mode as a kernel access, which SMAP then faults ("supervisor read access in
# user mode"), and every Wine program dies.
timeout -k 10 "$seconds" qemu-system-x86_64 -machine q35 -accel tcg,thread=multi \
    -cpu max,smap=off -smp "$(nproc)" -m 6G -nographic -no-reboot -nic none \
    -kernel "$vm/vmlinuz" -initrd "$vm/initrd.img" \
    -append "root=/dev/vda rw console=ttyS0 quiet init=/sbin/vm-init" \
    -drive "file=$(option "$vm/root.img"),format=raw,if=virtio,snapshot=on" \
    -virtfs "local,path=$(option "$source"),mount_tag=src,security_model=none,readonly=on" \
    -virtfs "local,path=$(option "$work"),mount_tag=work,security_model=none" \
    >"$work/console.txt" 2>&1
qemu=$?
[ $qemu -ne 124 ] && [ $qemu -ne 137 ] || fail "the machine was cut off after $seconds s; its console is in $work/console.txt"
[ -f "$work/status.txt" ] ||
    fail "the machine ended (status $qemu) without running the job; its console is in $work/console.txt"
status=$(cat "$work/status.txt")
[[ $status =~ ^[0-9]{1,3}$ ]] || fail "the job left no exit status in $work/status.txt"
exit "$status"
