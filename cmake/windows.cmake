# The shipped program and the end-to-end suite that drives it under Wine.

find_program(BASH bash REQUIRED)
# Each test says what it needs on an idle machine, in seconds: CTest starts
# the longest first, and cuts a test off at five times its need (a minute
# at least), times the machine's load when it was configured (make test
# configures each time; see e2e/time-scale.sh). The cut-off turns a hang
# into a failure; a busy machine must not fail a test.
execute_process(
    COMMAND ${BASH} -c "source \"$1/e2e/time-scale.sh\" && echo \"$E2E_TIME_SCALE\"" _
        ${CMAKE_SOURCE_DIR}
    OUTPUT_VARIABLE time_scale ERROR_VARIABLE time_scale_error RESULT_VARIABLE time_scale_status
    OUTPUT_STRIP_TRAILING_WHITESPACE)
if(time_scale_status)
    message(FATAL_ERROR "${time_scale_error}")
endif()
#   suite_test(NAME SECONDS LABEL)
function(suite_test name seconds label)
    math(EXPR timeout "${seconds} * 5")
    if(timeout LESS 60)
        set(timeout 60)
    endif()
    math(EXPR timeout "${timeout} * ${time_scale}")
    set_tests_properties(${name} PROPERTIES TIMEOUT ${timeout} COST ${seconds} LABELS ${label})
endfunction()

# Strangers run this: no DLL of the compiler's runtime, address randomisation
# and no-execute data, marked terminal-server aware (so that Remote Desktop
# hosts run it without compatibility redirection), and the same bytes from
# every build of one commit.
function(ship_like_the_notice target)
    target_compile_options(${target} PRIVATE
        -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
        -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
    target_link_options(${target} PRIVATE
        -static
        -s
        -Wl,--dynamicbase,--high-entropy-va,--nxcompat,--tsaware
        -Wl,--no-insert-timestamp)
endfunction()

# The version that the exe carries in its version resource. A release takes
# it from its commit's tag vX.Y.Z; every other build is the development
# version that the presets set. Never the date or the machine, so that
# builds stay reproducible.
set(NOTICE_VERSION "0.0.0" CACHE STRING "X.Y.Z, each part 0 to 65535")
if(NOT NOTICE_VERSION MATCHES "^(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)$")
    message(FATAL_ERROR "NOTICE_VERSION is X.Y.Z, each part a whole number, not '${NOTICE_VERSION}'")
endif()
set(NOTICE_VERSION_MAJOR ${CMAKE_MATCH_1})
set(NOTICE_VERSION_MINOR ${CMAKE_MATCH_2})
set(NOTICE_VERSION_PATCH ${CMAKE_MATCH_3})
foreach(part MAJOR MINOR PATCH)
    if(NOTICE_VERSION_${part} GREATER 65535)
        message(FATAL_ERROR "NOTICE_VERSION: each part is 0 to 65535, not '${NOTICE_VERSION}'")
    endif()
endforeach()
configure_file(cmake/version.h.in ${CMAKE_BINARY_DIR}/version/notice_version.h)

enable_language(RC)
add_executable(UninstallNotice WIN32 notice/main.cpp notice/notice.cpp notice/uninstall-window.cpp
    notice/version.rc)
target_include_directories(UninstallNotice PRIVATE notice platform ${CMAKE_BINARY_DIR}/version)
ship_like_the_notice(UninstallNotice)

# The in-use check that the includes run after the notice: Unicode
# throughout, since install folders and the uninstaller's texts may be in
# any language.
add_executable(FilesInUse WIN32 inuse/main.cpp inuse/check.cpp inuse/folder.cpp inuse/holders.cpp
    notice/uninstall-window.cpp inuse/version.rc)
target_include_directories(FilesInUse PRIVATE inuse notice platform ${CMAKE_BINARY_DIR}/version)
target_compile_options(FilesInUse PRIVATE -municode)
target_link_options(FilesInUse PRIVATE -municode)
ship_like_the_notice(FilesInUse)

# What went into the programs besides their own code, found from each link
# itself: the linker's maps, the Debian packages that held what they pulled
# in (third-party.json: versions, upstreams, licences) and their licence
# terms (THIRD-PARTY-NOTICES.txt, which ships with both). A file that no
# installed package holds stops the build, by name.
find_program(NODE node REQUIRED)
set(THIRD_PARTY ${CMAKE_BINARY_DIR}/third-party.json)
set(THIRD_PARTY_NOTICES ${CMAKE_BINARY_DIR}/THIRD-PARTY-NOTICES.txt)
set(shipped_programs UninstallNotice FilesInUse)
set(linked_programs)
foreach(program ${shipped_programs})
    target_link_options(${program} PRIVATE -Wl,-Map=${CMAKE_BINARY_DIR}/${program}.map)
    list(APPEND linked_programs ${CMAKE_BINARY_DIR}/${program}.map
        ${CMAKE_BINARY_DIR}/CMakeFiles/${program}.dir $<TARGET_FILE:${program}>)
endforeach()
file(GLOB third_party_tool CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/release/third-party/*.mjs)
add_custom_command(OUTPUT ${THIRD_PARTY} ${THIRD_PARTY_NOTICES}
    COMMAND ${NODE} ${CMAKE_SOURCE_DIR}/release/third-party.mjs components ${THIRD_PARTY}
        ${CMAKE_BINARY_DIR} ${linked_programs}
    COMMAND ${NODE} ${CMAKE_SOURCE_DIR}/release/third-party.mjs notices ${THIRD_PARTY}
        ${THIRD_PARTY_NOTICES}
    DEPENDS ${shipped_programs} ${CMAKE_SOURCE_DIR}/release/third-party.mjs ${third_party_tool}
    COMMENT "Finding what the links pulled into the programs, and their notices" VERBATIM)
add_custom_target(third_party ALL DEPENDS ${THIRD_PARTY} ${THIRD_PARTY_NOTICES})

add_executable(notice_e2e e2e/driver.cpp e2e/report.cpp e2e/stage.cpp e2e/box.cpp e2e/scenarios.cpp
    e2e/field.cpp e2e/installer.cpp e2e/in-use.cpp e2e/nsis.cpp e2e/inno.cpp e2e/picture.cpp)
target_link_libraries(notice_e2e PRIVATE user32 advapi32)
ship_like_the_notice(notice_e2e)

# The suite copies it beside the notice as uxtheme.dll; under its own name it
# is never picked up by anything in this folder.
add_library(notice_planted SHARED e2e/planted-dll.cpp)
set_target_properties(notice_planted PROPERTIES PREFIX "")
ship_like_the_notice(notice_planted)
add_dependencies(notice_e2e notice_planted)

# A stand-in for Quillane, which the suite's clients install beside the
# notice and the suite runs: a program of the install folder that is in use.
add_executable(quillane_standin WIN32 e2e/quillane-standin.cpp)
ship_like_the_notice(quillane_standin)

# Real clients: Quillane installers whose uninstallers call the notice through
# the NSIS include, built from the fresh exe into nsis/ beside the suite.
find_program(MAKENSIS makensis REQUIRED)
set(NSIS_OUT ${CMAKE_BINARY_DIR}/nsis)
set(NSIS_SOURCES ${CMAKE_SOURCE_DIR}/integration/nsis)
function(nsis_command target out script)
    set(command ${MAKENSIS} -V2 -WX "-XTarget ${target}" "-X!addincludedir ${NSIS_SOURCES}"
        -DNOTICE_EXE=$<TARGET_FILE:UninstallNotice> -DCHECK_EXE=$<TARGET_FILE:FilesInUse>
        -DNOTICES=${THIRD_PARTY_NOTICES}
        -DOUTFILE=${out} ${ARGN} ${script})
    set(nsis_command ${command} PARENT_SCOPE)
endfunction()
set(nsis_clients)
foreach(client example section guiinit page init success guiend missing mui2 mui2guiinit
        upgrade)
    set(script ${CMAKE_SOURCE_DIR}/e2e/nsis-client.nsi)
    set(defines)
    if(client STREQUAL "example")
        set(script ${NSIS_SOURCES}/example.nsi)
        set(out ${NSIS_OUT}/example.exe)
    else()
        set(out ${NSIS_OUT}/client-${client}.exe)
        set(from section)
        if(client STREQUAL "guiinit")
            set(from un.onGUIInit)
        elseif(client STREQUAL "init")
            set(from un.onInit)
        elseif(client STREQUAL "page")
            set(from un.NoticePage)
        elseif(client STREQUAL "success")
            set(from un.onUninstSuccess)
        elseif(client STREQUAL "guiend")
            set(from un.onGUIEnd)
        elseif(client STREQUAL "missing")
            list(APPEND defines -DNOTICE_MISSING)
        elseif(client STREQUAL "mui2")
            list(APPEND defines -DMUI2)
        elseif(client STREQUAL "mui2guiinit")
            set(from un.onGUIInit)
            list(APPEND defines -DMUI2)
        elseif(client STREQUAL "upgrade")
            list(APPEND defines -DUPGRADE)
        endif()
        list(APPEND defines -DNOTICE_FROM=${from} -DQUILLANE_EXE=$<TARGET_FILE:quillane_standin>)
    endif()
    nsis_command(amd64-unicode ${out} ${script} ${defines})
    add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${NSIS_OUT}
        COMMAND ${nsis_command}
        DEPENDS UninstallNotice FilesInUse quillane_standin ${THIRD_PARTY_NOTICES} ${script}
            ${NSIS_SOURCES}/UninstallNotice.nsh
        COMMENT "Building the NSIS client ${client}" VERBATIM)
    list(APPEND nsis_clients ${out})
endforeach()
add_custom_target(nsis_clients ALL DEPENDS ${nsis_clients})
# The notices' rule must run in one target only: built by several at once,
# its runs race on the same files.
add_dependencies(nsis_clients third_party)
add_dependencies(notice_e2e nsis_clients)

# The include must build for the 32-bit targets too, ANSI and Unicode; only
# 64-bit programs run in the suite's Wine.
foreach(target x86-ansi x86-unicode)
    nsis_command(${target} ${NSIS_OUT}/example-${target}.exe ${NSIS_SOURCES}/example.nsi)
    add_test(NAME nsis_include_${target} COMMAND ${nsis_command})
    suite_test(nsis_include_${target} 1 ships)
endforeach()
# And with an author's own texts for the check's questions.
nsis_command(amd64-unicode ${NSIS_OUT}/example-own-texts.exe ${NSIS_SOURCES}/example.nsi
    "-DUNINSTALLNOTICE_INUSE_TEXT=Fermez : %1" "-DUNINSTALLNOTICE_INUSE_PATHTEXT=Ouvert : %1")
add_test(NAME nsis_include_own_texts COMMAND ${nsis_command})
suite_test(nsis_include_own_texts 1 ships)

include(cmake/inno.cmake)

add_test(NAME notice_e2e
    COMMAND ${BASH} ${CMAKE_SOURCE_DIR}/e2e/run-wine.sh
        ${CMAKE_BINARY_DIR} $<TARGET_FILE:notice_e2e> $<TARGET_FILE:UninstallNotice> --no-inno)
suite_test(notice_e2e 90 wine)

# What ships: each property of each program is a check of its own. The
# version resource must say the build's version.
foreach(program ${shipped_programs})
    foreach(property imports hardening resources symbols size)
        add_test(NAME exe_${property}_${program}
            COMMAND ${CMAKE_SOURCE_DIR}/tools/check-exe.py --version ${NOTICE_VERSION} ${property}
                $<TARGET_FILE:${program}>)
        suite_test(exe_${property}_${program} 1 ships)
    endforeach()
endforeach()
add_test(NAME exe_reproducible
    COMMAND ${BASH} ${CMAKE_SOURCE_DIR}/release/check-reproducible.sh --version ${NOTICE_VERSION}
        $<TARGET_FILE:UninstallNotice> $<TARGET_FILE:FilesInUse>)
suite_test(exe_reproducible 30 ships)
# The scripts' own tests, on Bats: each case has a name, and setup and
# teardown that always run. The release: unsigned, signed with a key on a
# SoftHSM2 token and time-stamped by a local service, and with a PKCS#12
# file, checked as a user would, and the failures that must leave no release
# behind; its verification, against a good release and against forgeries.
find_program(BATS bats REQUIRED)
function(bats_test name file seconds label)
    add_test(NAME ${name} COMMAND ${BATS} ${CMAKE_SOURCE_DIR}/tests/${file})
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "BUILD_DIR=${CMAKE_BINARY_DIR};EXE=$<TARGET_FILE:UninstallNotice>")
    suite_test(${name} ${seconds} ${label})
endfunction()
bats_test(release release/release.bats 200 release)
bats_test(verify_release release/verify-release.bats 150 release)
bats_test(scripts_bad_input scripts/bad-input.bats 2 scripts)
bats_test(exe_checker_bad_input scripts/check-exe.bats 1 scripts)
bats_test(wine_prefix scripts/wine-prefix.bats 50 scripts)

# What went into the exe, found from the link map: node's own test runner.
add_test(NAME third_party_components COMMAND ${NODE} --test ${CMAKE_SOURCE_DIR}/tests/release/third-party.test.mjs)
suite_test(third_party_components 10 release)

# The benchmark (make bench): the notice against a program that only shows
# the same box, built with the same flags.
add_executable(notice_reference WIN32 EXCLUDE_FROM_ALL bench/reference.cpp notice/notice.cpp)
target_include_directories(notice_reference PRIVATE notice platform)
ship_like_the_notice(notice_reference)

add_executable(notice_bench EXCLUDE_FROM_ALL bench/bench.cpp)
target_link_libraries(notice_bench PRIVATE user32)
ship_like_the_notice(notice_bench)
