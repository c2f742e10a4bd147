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
# Every bound below grows with the machine's load.
source "$(dirname "${BASH_SOURCE[0]}")/time-scale.sh"

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

# Runs a Windows program on a private Xvfb display, in the prefix's virtual
# desktop (1024x768, set in its registry), so that a plain `wine` runs it
# and passes its exit code and its standard output through. Bounded: a bound
# of SECONDS on an idle machine, scaled, ends a hang of Wine itself too
# (status 124). Wine's standard error goes to WINE_LOG.
#   run_in_desktop SECONDS PROGRAM ARGUMENTS...
run_in_desktop() {
    local seconds
    seconds=$(scaled "$1")
    shift
    timeout -k 10 "$seconds" xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
        log=$1
        shift
        wine "$@" 2>"$log"
        status=$?
        wineserver -k 2>/dev/null
        exit $status' _ "$WINE_LOG" "$@"
}

# Which Wine this is: its version and, where dpkg knows them, its installed
# packages with their architectures. Installing wine32 beside wine64 leaves
# the version as it was but changes the loader that runs every program.
wine_identity() {
    wine --version 2>/dev/null
    dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package} ${Version}\n' 'wine*' 'libwine*' \
        2>/dev/null | sed -n 's/^ii *//p' | sort
}

# Runs the driver in the prefix's virtual desktop on a private Xvfb display
# and takes a screenshot of the desktop once the driver's report says "box
# up"; then it touches the signal file, so that the driver goes on, and
# waits for the driver to end. A report line "no box" or "FAIL", or Wine's
# own word that it could not start the driver, ends the wait at once; it
# lasts SECONDS at the most (on an idle machine, scaled). The shot is Xvfb's
# own copy of its screen, an XWD image (ImageMagick reads it as xwd:SHOT),
# so that nothing but Xvfb is needed where it is taken, the suite's virtual
# machine included.
#   shoot_in_desktop SECONDS REPORT SIGNAL SHOT DRIVER ARGUMENTS...
shoot_in_desktop() {
    local seconds screen status
    seconds=$(scaled "$1")
    shift
    screen=$(mktemp -d) || return 1
    timeout -k 10 $((seconds + 90)) xvfb-run -a -s "-screen 0 1024x768x24 -nocursor -fbdir $screen" bash -c '
        seconds=$1 report=$2 signal=$3 shot=$4 log=$5 screen=$6; shift 6
        wine "$@" >/dev/null 2>"$log" &
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

# What a finished prefix records in made-by-wine.txt: the Wine that made it
# and how it was set up. No record, or another one, and it is made anew.
wine_prefix_record() {
    wine_identity
    echo "virtual desktop 1024x768; a program ran in it and passed its exit code"
}

# Sets up the prefix on first use, and anew when its record is not this
# Wine's and this set-up's: a prefix made by a 64-bit-only Wine cannot start
# any program once wine32 is installed ("could not load kernel32.dll"), and
# one whose set-up was cut off has files but runs nothing. It counts as made
# only once a program has run in it and returned its exit code. Several
# builds may ask at once (the Inno compiler runs under Wine during the
# build), so one at a time.
#
# Every program runs in one virtual desktop, set in the prefix's registry:
# a plain `wine` then passes the program's exit code through, and windows
# see a desktop of a known size.
#
# Wine puts none of its own fonts (Debian's fonts-wine) into a prefix, and
# without Marlett the caption buttons show the letters "0 1 r": link them
# into the prefix's font folder, so that the screenshots look as they do on
# Windows.
ensure_wine_prefix() {
    local stamp=$WINEPREFIX/made-by-wine.txt record lock status=0 bound
    record=$(wine_prefix_record)
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec {lock}>"$WINEPREFIX.lock"
    bound=$(scaled 600)
    flock -w "$bound" "$lock" ||
        { echo "wine: another run held $WINEPREFIX.lock for $bound s" >&2; exec {lock}>&-; return 1; }
    if [ "$(cat "$stamp" 2>/dev/null)" != "$record" ]; then
        if [ -e "$WINEPREFIX" ]; then
            echo "the prefix at $WINEPREFIX was made by another Wine, or never finished: setting it up anew (about 20 s)…"
            timeout -k 5 "$(scaled 30)" wineserver -k 2>/dev/null
            rm -rf "$WINEPREFIX"
        else
            echo "setting up Wine (first run only, about 20 s)…"
        fi
        make_wine_prefix && printf '%s\n' "$record" >"$stamp" || status=1
    fi
    local fonts=$WINEPREFIX/drive_c/windows/Fonts
    if [ $status -eq 0 ] && [ -f /usr/share/wine/fonts/marlett.ttf ] && [ ! -e "$fonts/marlett.ttf" ]; then
        mkdir -p "$fonts" && ln -sf /usr/share/wine/fonts/* "$fonts/"
    fi
    exec {lock}>&-
    return $status
}

# For ensure_wine_prefix: makes the prefix, each step bounded, and proves it
# by programs that must run in it, the last ending with exit code 7; one
# line on failure.
make_wine_prefix() {
    local bound code said
    mkdir -p "$WINEPREFIX" || return 1
    bound=$(scaled 300)
    timeout -k 10 "$bound" xvfb-run -a wineboot -i >/dev/null 2>"$WINE_LOG"
    code=$?
    timeout -k 10 "$(scaled 60)" wineserver -w 2>/dev/null
    if [ $code -eq 124 ] || [ $code -eq 137 ]; then
        echo "wine: could not set up the prefix at $WINEPREFIX: wineboot was cut off after $bound s" >&2
        return 1
    fi
    bound=$(scaled 60)
    timeout -k 10 "$bound" wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f \
        >/dev/null 2>>"$WINE_LOG" &&
        timeout -k 10 "$bound" wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default \
            /d 1024x768 /f >/dev/null 2>>"$WINE_LOG" &&
        timeout -k 10 "$bound" wine cmd /c exit 7 >/dev/null 2>>"$WINE_LOG"
    code=$?
    timeout -k 10 "$(scaled 60)" wineserver -w 2>/dev/null
    if [ $code -ne 7 ]; then
        said=$(wine_failure "$WINE_LOG")
        echo "wine: could not set up the prefix at $WINEPREFIX: a program run in it ended with status $code, not 7${said:+ ($said)}" >&2
        return 1
    fi
}

# What Wine itself said when it could not start a program, such as
# "wine: could not load kernel32.dll, status c0000135", from a file that
# holds Wine's standard error; nothing if it said no such thing.
wine_failure() {
    grep -a -m 1 '^wine: ' "$1" 2>/dev/null | tr -d '\r'
}
