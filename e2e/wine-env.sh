# Sourced with the build directory: a Wine of the build's own, quiet, and
# ready to run 64-bit programs. Nothing here touches the user's own prefix,
# and sourcing creates nothing: scripts check their inputs first, then call
# ensure_wine_prefix.
export WINEPREFIX=$(realpath -m "$1/wineprefix")
export WINEARCH=win64
export WINEDEBUG=-all
# No runtime or browser installers on first start.
export WINEDLLOVERRIDES="mscoree,mshtml="

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
#   run_in_desktop SECONDS PROGRAM ARGUMENTS...
run_in_desktop() {
    local seconds=$1
    shift
    timeout -k 10 "$seconds" xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
        wine explorer /desktop=notice,1024x768 "$@" >/dev/null 2>&1
        wineserver -k 2>/dev/null
        true' _ "$@"
}

# Sets up the prefix on first use. Wine puts none of its own fonts (Debian's
# fonts-wine) into a prefix, and without Marlett the caption buttons show the
# letters "0 1 r": link them into the prefix's font folder, so that the
# screenshots look as they do on Windows.
ensure_wine_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "setting up Wine (first run only)…"
        mkdir -p "$WINEPREFIX"
        timeout -k 10 300 xvfb-run -a wineboot -i >/dev/null 2>&1
        timeout -k 10 60 wineserver -w 2>/dev/null
        [ -f "$WINEPREFIX/system.reg" ] ||
            { echo "wine: could not set up the prefix at $WINEPREFIX" >&2; return 1; }
    fi
    local fonts=$WINEPREFIX/drive_c/windows/Fonts
    if [ -f /usr/share/wine/fonts/marlett.ttf ] && [ ! -e "$fonts/marlett.ttf" ]; then
        mkdir -p "$fonts" && ln -sf /usr/share/wine/fonts/* "$fonts/"
    fi
}
