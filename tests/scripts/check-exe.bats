#!/usr/bin/env bats
# The checker answers bad input with one plain line on stderr and exit code 2,
# and --help with its usage on stdout and exit code 0; never a traceback.
#   EXE=build/windows/UninstallNotice.exe bats tests/scripts/check-exe.bats

bats_load_library bats-support
bats_load_library bats-assert

setup() {
    bats_require_minimum_version 1.5.0
    checker=$BATS_TEST_DIRNAME/../../tools/check-exe.py
    cd "$BATS_TEST_TMPDIR"
}

# answered STATUS STDOUT-LINES STDERR-LINES TEXT: what the last run printed.
answered() {
    assert_equal "$status" "$1"
    assert_equal "${#lines[@]} on stdout, ${#stderr_lines[@]} on stderr" "$2 on stdout, $3 on stderr"
    [[ "$output$stderr" == *"$4"* ]] || fail "expected '$4' in: $output$stderr"
    [[ "$output$stderr" != *Traceback* ]] || fail "a traceback: $output$stderr"
}

@test "a file that is not a whole program: one line on stderr, exit 2" {
    printf 'not a program\n' >text.exe
    head -c 64 "$EXE" >header-only.exe
    head -c "$(($(stat -c %s "$EXE") / 2))" "$EXE" >half.exe
    mkdir folder
    for input in missing.exe text.exe header-only.exe half.exe folder; do
        run --separate-stderr "$checker" imports "$input"
        answered 2 0 1 "check-exe: "
    done
}

# The fault: a program of another name was judged by the notice's rules,
# and passed or failed for the wrong reasons.
@test "a program that is none of ours by its name: one line on stderr, exit 2" {
    cp "$EXE" Setup.exe
    run --separate-stderr "$checker" size Setup.exe
    answered 2 0 1 "no program of ours is named Setup.exe (they are UninstallNotice.exe, FilesInUse.exe)"
}

@test "no arguments: the usage on stderr, exit 2" {
    run --separate-stderr "$checker"
    answered 2 0 1 "usage: "
}

@test "--help: the usage on stdout, exit 0" {
    run --separate-stderr "$checker" --help
    answered 0 6 0 "usage: "
}

# An interpreter that cannot see Debian's pefile (here: Debian's own, without
# its site packages) must not be told that the package is missing.
@test "an interpreter without pefile is told to run the script directly" {
    run --separate-stderr /usr/bin/python3 -S "$checker" imports "$EXE"
    answered 2 0 1 "cannot import pefile"
}
