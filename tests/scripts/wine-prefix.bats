#!/usr/bin/env bats
# The build's Wine prefix against the Wine that runs it. A prefix made by a
# 64-bit-only Wine cannot start any program once wine32 is installed beside
# it, and one whose set-up stopped half-way runs nothing: the scripts must
# make such a prefix anew, and where Wine still cannot start a program, say
# so in Wine's own words.
#   BUILD_DIR=build/windows bats tests/scripts/wine-prefix.bats

bats_load_library bats-support
bats_load_library bats-assert

setup() {
    bats_require_minimum_version 1.5.0
    ROOT=$(cd "$BATS_TEST_DIRNAME/../.." && pwd)
    build=$BATS_TEST_TMPDIR/build
    mkdir -p "$build/wineprefix"
    cp "$BUILD_DIR/UninstallNotice.exe" "$BUILD_DIR/notice_e2e.exe" "$build/"
    source "$ROOT/e2e/wine-env.sh" "$build"
}

teardown() {
    WINEPREFIX=$build/wineprefix wineserver -k 2>/dev/null || true
}

# A prefix that Wine cannot start anything in: no system folder, and no
# automatic update to fill it in.
broken_prefix() {
    touch "$build/wineprefix/system.reg"
    echo disable >"$build/wineprefix/.update-timestamp"
}

@test "a prefix that another Wine made is made anew, and the notice runs" {
    broken_prefix
    echo "wine-0.0 (another Wine)" >"$build/wineprefix/made-by-wine.txt"
    run --separate-stderr env -u DISPLAY timeout -k 5 240 bash "$ROOT/scripts/run-notice.sh" "$build"
    assert_success
    assert_line --partial "was made by another Wine, or never finished: setting it up anew"
    assert_line "UninstallNotice.exe ended with exit code 0"
    assert_equal "$(cat "$build/wineprefix/made-by-wine.txt")" "$(wine_prefix_record)"
}

# Fault: a prefix whose set-up stopped half-way (cut off by its bound on a
# busy machine) was taken as made, and every program then failed in it.
@test "a set-up that leaves a prefix that runs nothing is not taken as made; the next run makes it anew" {
    rmdir "$build/wineprefix"
    mkdir "$build/half-way"
    printf '%s\n' '#!/bin/sh' 'touch "$WINEPREFIX/system.reg"' \
        'echo disable >"$WINEPREFIX/.update-timestamp"' >"$build/half-way/wineboot"
    chmod +x "$build/half-way/wineboot"
    run --separate-stderr env -u DISPLAY PATH="$build/half-way:$PATH" timeout -k 5 120 \
        bash "$ROOT/scripts/run-notice.sh" "$build"
    assert_failure
    assert_equal "${#stderr_lines[@]}" 1
    [[ $stderr == "wine: could not set up the prefix at $build/wineprefix: a program run in it ended with status "* ]] ||
        fail "expected the set-up's failure in one line, saw: $stderr"
    [ ! -e "$build/wineprefix/made-by-wine.txt" ] || fail "the half-made prefix was recorded as made"

    run --separate-stderr env -u DISPLAY timeout -k 5 240 bash "$ROOT/scripts/run-notice.sh" "$build"
    assert_success
    assert_line --partial "was made by another Wine, or never finished: setting it up anew"
    assert_line "UninstallNotice.exe ended with exit code 0"
}

@test "Wine that cannot start the program is named in its own words, in one line" {
    broken_prefix
    wine_prefix_record >"$build/wineprefix/made-by-wine.txt"
    run --separate-stderr env -u DISPLAY timeout -k 5 60 bash "$ROOT/scripts/run-notice.sh" "$build"
    assert_failure
    assert_equal "${#stderr_lines[@]}" 1
    [[ $stderr == "run-notice: Wine could not start the notice: wine: "?* ]] ||
        fail "expected Wine's own words, saw: $stderr"
}
