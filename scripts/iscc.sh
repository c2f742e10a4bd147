#!/usr/bin/env bash
# Compiles a Quillane installer from an Inno Setup script, with the Inno Setup
# compiler that npm installed (node_modules/innosetup), under the build's Wine.
#   iscc.sh BUILD-DIR OUT.exe SCRIPT.iss UninstallNotice.exe [NAME[=VALUE]...]
# The script gets the program as NoticeExe, and each NAME[=VALUE] as a
# define (a VALUE that is an absolute path, as the Windows path of that
# file); integration/inno, the include's folder, is on its include path.
set -u

fail() { echo "iscc: $*" >&2; exit 1; }

[ $# -ge 4 ] || fail "usage: iscc.sh BUILD-DIR OUT.exe SCRIPT.iss UninstallNotice.exe [NAME[=VALUE]...]"
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1 out=$2 script=$3 notice=$4
shift 4
compiler=$root/node_modules/innosetup/bin/ISCC.exe
source "$root/e2e/wine-env.sh" "$build"

[ -f "$script" ] || fail "no script at $script"
is_windows_program "$notice" || fail "the program $notice is not a Windows program (no MZ header)"
[ -f "$compiler" ] || fail "no Inno Setup compiler at $compiler (make installs it: npm ci)"
command -v wine >/dev/null || fail "wine is not installed (make installs it)"
wine32_runs || fail "cannot run the Inno Setup compiler: $WINE32_MISSING"
mkdir -p "$(dirname "$out")" && rm -f "$out"
ensure_wine_prefix >&2 || exit 1

defines=()
for define in "$@"; do
    if [[ $define == *=/* ]] && [ -e "${define#*=}" ]; then
        define=${define%%=*}=$(to_windows_path "${define#*=}")
    fi
    defines+=("/D$define")
done
name=$(basename "$out")
# Quiet but for errors; a compiler that hangs under Wine is cut off, after
# a bound that grows with the machine's load (and under the virtual
# machine's emulation).
timeout -k 10 "$(scaled 120)" wine "$compiler" /Q \
    "/I$(to_windows_path "$root/integration/inno")" \
    "/O$(to_windows_path "$(dirname "$out")")" "/F${name%.exe}" \
    "/DNoticeExe=$(to_windows_path "$notice")" "${defines[@]}" \
    "$(to_windows_path "$script")" 2>&1 | tr -d '\r' >&2
status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] || fail "the Inno Setup compiler failed on $script (status $status)"
[ -f "$out" ] || fail "the Inno Setup compiler wrote no $out"
