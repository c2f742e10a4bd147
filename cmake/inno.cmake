# Real Inno Setup clients: Quillane installers whose uninstallers call the
# notice through the Inno include, compiled by the Inno Setup compiler under
# Wine into inno/ beside the suite (scripts/inno-clients.sh), and the suite's
# Inno scenarios over them (inno_e2e).
#
# The compiler, the installers and the uninstallers are 32-bit programs.
# Where Wine's 32-bit half cannot run (a kernel without 32-bit emulation),
# both happen in the suite's virtual machine instead (e2e/vm): a Debian whose
# kernel runs them, under QEMU's software emulation, made by the test
# inno_vm_image once per machine (it is kept in the user's cache). Where
# that cannot be made either, CTest shows inno_e2e as skipped, with the
# reason; nothing claims it passed. E2E_INNO_IN_VM=1 at configure time
# takes the virtual machine's way on a machine that needs none, to measure
# or try it there.
set(inno_sources
    ${CMAKE_SOURCE_DIR}/scripts/inno-clients.sh ${CMAKE_SOURCE_DIR}/scripts/iscc.sh
    ${CMAKE_SOURCE_DIR}/e2e/inno-client.iss ${CMAKE_SOURCE_DIR}/integration/inno/example.iss
    ${CMAKE_SOURCE_DIR}/integration/inno/UninstallNotice.iss)
execute_process(
    COMMAND ${BASH} -c "source \"$1/e2e/wine-env.sh\" \"$2\" && { wine32_runs && echo yes || echo \"$WINE32_MISSING\"; }"
        _ ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}
    OUTPUT_VARIABLE inno_runs OUTPUT_STRIP_TRAILING_WHITESPACE)

if(inno_runs STREQUAL "yes" AND NOT "$ENV{E2E_INNO_IN_VM}" STREQUAL "1")
    # One stamp for all of them: the script holds the list.
    set(inno_stamp ${CMAKE_BINARY_DIR}/inno/clients.stamp)
    add_custom_command(OUTPUT ${inno_stamp}
        COMMAND ${BASH} ${CMAKE_SOURCE_DIR}/scripts/inno-clients.sh ${CMAKE_BINARY_DIR}
            $<TARGET_FILE:UninstallNotice> $<TARGET_FILE:FilesInUse> ${THIRD_PARTY_NOTICES}
            $<TARGET_FILE:quillane_standin>
        COMMAND ${CMAKE_COMMAND} -E touch ${inno_stamp}
        DEPENDS UninstallNotice FilesInUse quillane_standin ${THIRD_PARTY_NOTICES} ${inno_sources}
        COMMENT "Building the Inno clients" VERBATIM)
    add_custom_target(inno_clients ALL DEPENDS ${inno_stamp})
    add_dependencies(inno_clients third_party)
    add_dependencies(notice_e2e inno_clients)
    # In a Wine prefix of its own (inno/wineprefix), so that it runs beside
    # the other suites: each Wine sees only its own windows.
    add_test(NAME inno_e2e
        COMMAND ${BASH} ${CMAKE_SOURCE_DIR}/e2e/run-wine.sh
            ${CMAKE_BINARY_DIR}/inno $<TARGET_FILE:notice_e2e> $<TARGET_FILE:UninstallNotice> --inno)
    suite_test(inno_e2e 130 inno)
    return()
endif()

# The virtual machine needs root to be made (debootstrap, chroot), and QEMU.
execute_process(
    COMMAND ${BASH} -c "[ \"$(id -u)\" -eq 0 ] || { echo 'not root'; exit; }
        for tool in debootstrap mke2fs qemu-system-x86_64; do
            command -v $tool >/dev/null || { echo \"no $tool\"; exit; }
        done
        echo yes"
    OUTPUT_VARIABLE vm_runs OUTPUT_STRIP_TRAILING_WHITESPACE)
if(vm_runs STREQUAL "yes")
    message(STATUS "Inno Setup clients are built and run in the suite's virtual machine: ${inno_runs}")
    add_test(NAME inno_vm_image COMMAND ${BASH} ${CMAKE_SOURCE_DIR}/e2e/vm/image.sh)
    suite_test(inno_vm_image 300 inno)
    set_tests_properties(inno_vm_image PROPERTIES FIXTURES_SETUP inno_vm)
    add_test(NAME inno_e2e
        COMMAND ${BASH} ${CMAKE_SOURCE_DIR}/e2e/vm/inno-e2e.sh ${CMAKE_BINARY_DIR}
            $<TARGET_FILE:notice_e2e> $<TARGET_FILE:UninstallNotice> $<TARGET_FILE:FilesInUse>
            ${THIRD_PARTY_NOTICES} $<TARGET_FILE:quillane_standin>)
    suite_test(inno_e2e 600 inno)
    set_tests_properties(inno_e2e PROPERTIES FIXTURES_REQUIRED inno_vm)
    return()
endif()

message(STATUS "Inno Setup clients are not built, and inno_e2e is skipped: ${inno_runs}; "
    "nor can the suite's virtual machine run them here: ${vm_runs}")
add_test(NAME inno_e2e COMMAND ${BASH} -c "echo \"inno_e2e: skipped: $1; nor can the suite's virtual machine run them here: $2\"; exit 77"
    _ ${inno_runs} ${vm_runs})
set_tests_properties(inno_e2e PROPERTIES SKIP_RETURN_CODE 77 LABELS inno)
