#!/usr/bin/env bash
# Runs a command on a busy machine: JOBS CPU-bound jobs (two by default)
# run beside it, started before it and stopped when it ends, however it
# ends. For showing that the suite holds where others build too:
#   scripts/with-load.sh [--jobs N] make test
set -u

fail() { echo "with-load: $*" >&2; exit 2; }

jobs=2
if [ "${1:-}" = --jobs ]; then
    [[ ${2:-} =~ ^[1-9][0-9]?$ ]] || fail "--jobs takes a whole number from 1 to 99, not '${2:-}'"
    jobs=$2
    shift 2
fi
[ $# -gt 0 ] || fail "usage: with-load.sh [--jobs N] COMMAND [ARGUMENT...]"
command -v "$1" >/dev/null || fail "no command '$1'"

pids=()
stop() {
    [ ${#pids[@]} -eq 0 ] || kill "${pids[@]}" 2>/dev/null
    wait "${pids[@]}" 2>/dev/null
}
trap stop EXIT
trap 'exit 130' INT TERM
for _ in $(seq "$jobs"); do
    # A loop of the shell itself: all processor, no disk, no memory.
    bash -c 'while :; do :; done' &
    pids+=($!)
done
echo "with-load: $jobs CPU-bound jobs running (${pids[*]}); then: $*" >&2
"$@"
status=$?
echo "with-load: '$*' ended with status $status; stopping the jobs" >&2
exit $status
