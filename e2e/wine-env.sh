# Sourced with the build directory: a Wine of the build's own, quiet, and
# ready to run 64-bit programs. Nothing here touches the user's own prefix,
# and sourcing creates nothing: scripts check their inputs first, then call
# ensure_wine_prefix.
export WINEPREFIX=$(realpath -m "$1/wineprefix")
export WINEARCH=win64
export WINEDEBUG=-all
# What Wine itself says on its standard error while a program runs in the
# desktop: the words to show when it could not start the program at all.
WINE_LOG=$(realpath -m "$1/wine-stderr.txt")
# No runtime or browser installers on first start.
export WINEDLLOVERRIDES="mscoree,mshtml="

# Whether Wine's 32-bit half runs here: the Inno Setup compiler, installers
# and uninstallers are 32-bit programs. Some kernels cannot run any 32-bit
# Linux program (their 32-bit emulation is off); with wine32 installed,
# Wine's launcher still picks that half for every program, 64-bit ones too.
wine32_runs() {
    [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}
# Why not, in one phrase, for whoever skips or refuses a 32-bit program.
WINE32_MISSING="this machine cannot run Wine's 32-bit half (wine32 is not installed, or the kernel runs no 32-bit programs), and Inno Setup's compiler, installers and uninstallers are 32-bit"
# There, 64-bit programs still run under Wine's 64-bit loader.
if [ -x /usr/lib/wine/wine64 ] && ! wine32_runs; then
    PATH=$(realpath "$(dirname "${BASH_SOURCE[0]}")")/wine64-only:$PATH
    export WINELOADER=/usr/lib/wine/wine64
fi

# The prefix's Z: drive is the Unix root.
to_windows_path() {
    local path
    path=$(realpath "$1") || return 1
    printf 'Z:%s' "${path//\//\\}"
}

# Whether a file is a Windows program: it starts with the two bytes "MZ".
is_windows_program() {
    [ -f "$1" ] && [ "$(head -c 2 "$1" 2>/dev/null)" = MZ ]
}

# Runs a Windows program in a Wine virtual desktop on a private Xvfb display,
# bounded so that a hang of Wine itself ends too. The desktop does not pass
# the program's exit code through: programs run this way write a report.
# Wine's standard error goes to WINE_LOG.
#   run_in_desktop SECONDS PROGRAM ARGUMENTS...
run_in_desktop() {
    local seconds=$1
    shift
    timeout -k 10 "$seconds" xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
        log=$1
        shift
        wine explorer /desktop=notice,1024x768 "$@" >/dev/null 2>"$log"
        wineserver -k 2>/dev/null
        true' _ "$WINE_LOG" "$@"
}

# Which Wine this is: its version and, where dpkg knows them, its installed
# packages with their architectures. Installing wine32 beside wine64 leaves
# the version as it was but changes the loader that runs every program.
wine_identity() {
    wine --version 2>/dev/null
    dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package} ${Version}\n' 'wine*' 'libwine*' \
        2>/dev/null | sed -n 's/^ii *//p' | sort
}

# Runs the driver in a Wine virtual desktop on a private Xvfb display and
# takes a screenshot of the desktop once the driver's report says "box up";
# then it touches the signal file, so that the driver goes on, and waits for
# the driver to end. A report line "no box" or "FAIL", or Wine's own word
# that it could not start the driver, ends the wait at once; it lasts
# SECONDS at the most. The shot is Xvfb's own copy of its screen, an XWD
# image (ImageMagick reads it as xwd:SHOT), so that nothing but Xvfb is
# needed where it is taken, the suite's virtual machine included.
#   shoot_in_desktop SECONDS REPORT SIGNAL SHOT DRIVER ARGUMENTS...
shoot_in_desktop() {
    local seconds=$1 screen status
    shift
    screen=$(mktemp -d) || return 1
    timeout -k 10 $((seconds + 90)) xvfb-run -a -s "-screen 0 1024x768x24 -nocursor -fbdir $screen" bash -c '
        seconds=$1 report=$2 signal=$3 shot=$4 log=$5 screen=$6; shift 6
        wine explorer /desktop=notice,1024x768 "$@" >/dev/null 2>"$log" &
        for _ in $(seq $((seconds * 10))); do
            grep -q "^\(box up\|no box\|FAIL\)" "$report" 2>/dev/null && break
            grep -q "^wine: " "$log" 2>/dev/null && break
            sleep 0.1
        done
        grep -q "^box up" "$report" 2>/dev/null && sleep 0.5 && cp "$screen/Xvfb_screen0" "$shot"
        touch "$signal"
        wait
        wineserver -k 2>/dev/null
        true' _ "$seconds" "$1" "$2" "$3" "$WINE_LOG" "$screen" "${@:4}"
    status=$?
    rm -rf "$screen"
    return $status
}

# After shoot_in_desktop: why there is no shot of the box, in one line, or
# nothing when there is one. WHAT names what was started ("the notice").
#   shot_failure REPORT SHOT WHAT
shot_failure() {
    local said
    said=$(wine_failure "$WINE_LOG")
    if [ ! -f "$1" ] && [ -n "$said" ]; then
        echo "Wine could not start $3: $said"
    elif [ ! -f "$1" ]; then
        echo "$3 did not run"
    elif ! tr -d '\r' <"$1" | grep -q '^box up'; then
        echo "$3 did not show its box"
    elif [ ! -f "$2" ]; then
        echo "no screenshot taken"
    fi
}

# Sets up the prefix on first use, and anew when another Wine is here than
# the one that made it: a prefix made by a 64-bit-only Wine cannot start any
# program once wine32 is installed ("could not load kernel32.dll"). The
# prefix records its maker in made-by-wine.txt; a prefix without that file
# predates the record and is made anew too. Several builds may ask at once
# (the Inno compiler runs under Wine during the build), so one at a time.
#
# Wine puts none of its own fonts (Debian's fonts-wine) into a prefix, and
# without Marlett the caption buttons show the letters "0 1 r": link them
# into the prefix's font folder, so that the screenshots look as they do on
# Windows.
ensure_wine_prefix() {
    local stamp=$WINEPREFIX/made-by-wine.txt identity lock status=0
    identity=$(wine_identity)
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec {lock}>"$WINEPREFIX.lock"
    flock -w 600 "$lock" || { echo "wine: another run held $WINEPREFIX.lock for 600 s" >&2; exec {lock}>&-; return 1; }
    if [ -f "$WINEPREFIX/system.reg" ] && [ "$(cat "$stamp" 2>/dev/null)" != "$identity" ]; then
        echo "Wine has changed since the prefix at $WINEPREFIX was made: setting it up anew (about 20 s)…"
        timeout -k 5 30 wineserver -k 2>/dev/null
        rm -rf "$WINEPREFIX"
    elif [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "setting up Wine (first run only, about 20 s)…"
    fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        timeout -k 10 300 xvfb-run -a wineboot -i >/dev/null 2>&1
        timeout -k 10 60 wineserver -w 2>/dev/null
        if [ -f "$WINEPREFIX/system.reg" ]; then
            printf '%s\n' "$identity" >"$stamp"
        else
            echo "wine: could not set up the prefix at $WINEPREFIX" >&2
            status=1
        fi
    fi
    local fonts=$WINEPREFIX/drive_c/windows/Fonts
    if [ $status -eq 0 ] && [ -f /usr/share/wine/fonts/marlett.ttf ] && [ ! -e "$fonts/marlett.ttf" ]; then
        mkdir -p "$fonts" && ln -sf /usr/share/wine/fonts/* "$fonts/"
    fi
    exec {lock}>&-
    return $status
}

# What Wine itself said when it could not start a program, such as
# "wine: could not load kernel32.dll, status c0000135", from a file that
# holds Wine's standard error; nothing if it said no such thing.
wine_failure() {
    grep -a -m 1 '^wine: ' "$1" 2>/dev/null | tr -d '\r'
}
