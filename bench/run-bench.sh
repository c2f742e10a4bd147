#!/usr/bin/env bash
# Runs the benchmark under Wine in a virtual desktop on Xvfb, prints the
# table and writes it, with the machine it ran on, to build/bench.md.
#   run-bench.sh BUILD-DIR [PAIRS]
set -u

fail() { echo "run-bench: $*" >&2; exit 1; }

# Fewer pairs than 20 make the medians noise.
check_pairs() {
    [[ $1 =~ ^[0-9]+$ ]] && [ "$1" -ge 20 ] ||
        fail "BENCH_PAIRS must be a whole number of pairs, at least 20 (the default is 40), not '$1'"
}

# make bench checks the number of pairs before it builds anything.
if [ "${1:-}" = --check-pairs ]; then
    [ $# -eq 2 ] || fail "usage: run-bench.sh --check-pairs PAIRS"
    check_pairs "$2"
    exit 0
fi
[ $# -ge 1 ] && [ $# -le 2 ] || fail "usage: run-bench.sh BUILD-DIR [PAIRS], PAIRS (BENCH_PAIRS) at least 20"
build=$1 pairs=${2:-40}
check_pairs "$pairs"
source "$(dirname "$0")/../e2e/wine-env.sh" "$build"
for program in UninstallNotice notice_reference notice_bench; do
    is_windows_program "$build/$program.exe" || fail "no $program.exe in $build (make bench builds it)"
done
ensure_wine_prefix || exit 1

raw=$build/bench-report.md out=$build/../bench.md
rm -f "$raw"
echo "run-bench: 3 desktops (0, 200 and 5000 extra windows), $pairs pairs each; this takes minutes"
run_in_desktop 1800 "$(to_windows_path "$build/notice_bench.exe")" \
    "$(to_windows_path "$build/UninstallNotice.exe")" \
    "$(to_windows_path "$build/notice_reference.exe")" "$(to_windows_path "$raw")" "$pairs" &
runner=$!
# The bench writes its progress into the report as it goes: show those
# lines as they come.
tail -n +1 -F --pid=$runner "$raw" 2>/dev/null | sed -u -n 's/\r$//; /^bench: /p' &
follower=$!
wait $runner
wait $follower
[ -f "$raw" ] || fail "the bench wrote nothing"
table=$(tr -d '\r' <"$raw" | grep -v '^bench: ')
grep -q '^\(bench failed\|$\)' <(tail -n 1 <<<"$table") && { echo "$table"; fail "the bench did not finish"; }

{
    echo "Time from CreateProcess to the box on screen, under $(wine --version 2>/dev/null) in a"
    echo "virtual desktop on Xvfb; $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1);"
    echo "$(date -u +%Y-%m-%d)."
    echo
    echo "$table"
} >"$out"
cat "$out"
echo
echo "Written to $(realpath "$out")"
