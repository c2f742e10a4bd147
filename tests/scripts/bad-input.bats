#!/usr/bin/env bats
# Our scripts answer wrong input with one plain line and a non-zero exit, at
# once: before they set up Wine or build anything. A script that would wait
# (a wrong driver used to hang for 300 s) is cut off after 20 s and fails.
#   BUILD_DIR=build/windows bats tests/scripts/bad-input.bats

bats_load_library bats-support
bats_load_library bats-assert

setup() {
    bats_require_minimum_version 1.5.0
    ROOT=$(cd "$BATS_TEST_DIRNAME/../.." && pwd)
    cd "$BATS_TEST_TMPDIR"
    printf 'not a program\n' >text.exe
}

# answers TEXT COMMAND...: one line, with TEXT, on stderr, and a non-zero
# exit within 20 s.
answers() {
    local text=$1
    shift
    run --separate-stderr env -u DISPLAY timeout -k 5 20 "$@"
    assert_failure
    [ "$status" -ne 124 ] || fail "still running after 20 s"
    assert_equal "${#lines[@]} on stdout, ${#stderr_lines[@]} on stderr" "0 on stdout, 1 on stderr"
    [[ $stderr == *"$text"* ]] || fail "expected '$text' in: $stderr"
}

@test "the suite, with a text file as the driver" {
    answers "driver $PWD/text.exe is not a Windows program" \
        bash "$ROOT/e2e/run-wine.sh" "$BUILD_DIR" "$PWD/text.exe" "$BUILD_DIR/UninstallNotice.exe"
}

@test "the suite, with a text file as the program" {
    answers "program $PWD/text.exe is not a Windows program" \
        bash "$ROOT/e2e/run-wine.sh" "$BUILD_DIR" "$BUILD_DIR/notice_e2e.exe" "$PWD/text.exe"
}

@test "make run, with a folder that holds the program only, and no Wine prefix made" {
    mkdir only-program && cp "$BUILD_DIR/UninstallNotice.exe" only-program/
    answers "no driver at" bash "$ROOT/scripts/run-notice.sh" only-program
    [ ! -e only-program/wineprefix ]
}

@test "make run, with a text file as the program, and no Wine prefix made" {
    mkdir text-program && cp text.exe text-program/UninstallNotice.exe
    cp "$BUILD_DIR/notice_e2e.exe" text-program/
    answers "is not a Windows program" bash "$ROOT/scripts/run-notice.sh" text-program
    [ ! -e text-program/wineprefix ]
}

@test "make pictures, for an installer system that we do not know, and no Wine prefix made" {
    mkdir pictures
    answers "the installer system is nsis, nsis-guiinit, inno, or either's -question or -question-german, not 'wix'" \
        bash "$ROOT/scripts/picture.sh" pictures wix out.png
    [ ! -e pictures/wineprefix ]
}

@test "the Inno compiler, with a text file as the program" {
    answers "the program $PWD/text.exe is not a Windows program" \
        bash "$ROOT/scripts/iscc.sh" "$PWD" out.exe "$ROOT/integration/inno/example.iss" "$PWD/text.exe"
    [ ! -e wineprefix ]
}

@test "make bench, with BENCH_PAIRS=\"5 6\"" {
    answers "BENCH_PAIRS must be a whole number" bash "$ROOT/bench/run-bench.sh" --check-pairs "5 6"
}

@test "make verify-release, with no release folder" {
    answers "no release folder at $PWD/nowhere" bash "$ROOT/release/verify-release.sh" "$PWD/nowhere"
}

# Through make, inputs are data: said back as written, and nothing in them
# runs, neither in make nor in the shell.
@test "make release and make bench, with \$, \`...\` and \$(...) in their inputs" {
    local key='token$Pin`touch ran-backtick`$(touch ran-dollar)$(shell touch ran-make)'
    run --separate-stderr timeout -k 5 20 make -C "$ROOT" -o deps release "SIGN_KEY=$key" \
        PUBLISHER_NAME=Quillane PUBLISHER_URL=https://quillane.example
    assert_failure
    [[ $stderr == *"release: SIGN_KEY must be a PKCS#11 URI (pkcs11:token=...;object=...), not '$key'"* ]] ||
        fail "expected the key as written, saw: $stderr"
    run --separate-stderr timeout -k 5 20 make -C "$ROOT" -o deps bench-pairs 'BENCH_PAIRS=5$(shell touch ran-pairs)'
    assert_failure
    [[ $stderr == *"not '5\$(shell touch ran-pairs)'"* ]] || fail "expected the pairs as written, saw: $stderr"
    assert_equal "$(ls "$ROOT" "$PWD" | grep '^ran-' || true)" ""
}

# The faults: MAKEFLAGS, MAKEFILES or an --eval set an input unseen, and
# make expanded RELEASE_* (which it exported) as make syntax. Whatever make
# passes on is said back as written: here an input smuggled in through
# MAKEFLAGS is named as the release took it, and nothing in RELEASE_* runs.
@test "make, with an input in MAKEFLAGS from the environment, or \$(shell ...) in RELEASE_*" {
    run --separate-stderr env MAKEFLAGS='PUBLISHER_URL=http://forger.example' timeout -k 5 20 \
        make -C "$ROOT" -o deps release PUBLISHER_NAME=Quillane
    assert_failure
    [[ $stderr == *"release: PUBLISHER_URL must be an https URL, not 'http://forger.example'"* ]] ||
        fail "expected the smuggled input named, saw: $stderr"
    run --separate-stderr timeout -k 5 20 make -C "$ROOT" -o deps release PUBLISHER_NAME=Quillane \
        PUBLISHER_URL=https://quillane.example 'RELEASE_SIGN_TIMEOUT=$(shell touch ran-timeout)' \
        'RELEASE_ALLOW_DIRTY=$(shell touch ran-dirty)'
    assert_failure
    [[ $stderr == *"release: RELEASE_SIGN_TIMEOUT must be a whole number of seconds, 1 to 9999, not '\$(shell touch ran-timeout)'"* ]] ||
        fail "expected the timeout as written, saw: $stderr"
    assert_equal "$(ls "$ROOT" "$PWD" | grep '^ran-' || true)" ""
}

# The fault: an input in the caller's environment (DOWNLOAD_URL set in a
# shell long ago) reached a release. Only make's command line gives one.
@test "make release takes no input from the caller's environment" {
    run env DOWNLOAD_URL=https://forger.example/d make -C "$ROOT" -n -o deps release \
        PUBLISHER_NAME=Quillane PUBLISHER_URL=https://quillane.example
    assert_success
    assert_output --regexp "release.sh dist +'PUBLISHER_NAME=Quillane' +'PUBLISHER_URL=https://quillane.example'"
    refute_output --partial "DOWNLOAD_URL"
}

# A line break would split the recipe line that carries the input.
@test "make verify-release, with a line break in DIST" {
    answers "DIST holds a line break; it must be one line" \
        make --no-print-directory -C "$ROOT" -o deps verify-release "DIST=$(printf 'rel\nbreak')"
}

# The fault: a machine that powers off without running its job (a share that
# did not mount, say) must not pass on the status that an earlier run left.
@test "the virtual machine, which ends without running its job, with an earlier run's status left behind" {
    mkdir vm work bin
    touch vm/root.img vm/vmlinuz vm/initrd.img
    printf 'exit 0\n' >work/job.sh
    printf '0\n' >work/status.txt
    printf '#!/bin/sh\nexit 0\n' >bin/qemu-system-x86_64
    chmod +x bin/qemu-system-x86_64
    PATH=$PWD/bin:$PATH answers "the machine ended (status 0) without running the job" \
        bash "$ROOT/e2e/vm/run.sh" vm "$ROOT" work 60
}

@test "the Inno clients, with no notices to ship, and no Wine prefix made" {
    mkdir clients
    answers "no third-party notices at none.txt" bash "$ROOT/scripts/inno-clients.sh" \
        clients "$BUILD_DIR/UninstallNotice.exe" "$BUILD_DIR/FilesInUse.exe" none.txt \
        "$BUILD_DIR/quillane_standin.exe"
    [ ! -e clients/wineprefix ]
}


# A time scale is a whole number, never code: the suite refuses any other.
@test "the suite, with E2E_TIME_SCALE that is no whole number from 1 to 99" {
    local scale
    for scale in 0 100 1.5 ' 2' '$(touch ran-scale)'; do
        answers "E2E_TIME_SCALE must be a whole number from 1 to 99, not '$scale'" env E2E_TIME_SCALE="$scale" \
            bash "$ROOT/e2e/run-wine.sh" "$BUILD_DIR" "$BUILD_DIR/notice_e2e.exe" "$BUILD_DIR/UninstallNotice.exe"
    done
    assert_equal "$(ls "$PWD" | grep '^ran-' || true)" ""
}

@test "a busy machine, with a number of jobs that is no number, or no command" {
    answers "--jobs takes a whole number from 1 to 99, not 'two'" bash "$ROOT/scripts/with-load.sh" --jobs two make
    answers "usage: with-load.sh" bash "$ROOT/scripts/with-load.sh"
    answers "no command 'no-such-command'" bash "$ROOT/scripts/with-load.sh" no-such-command
}
