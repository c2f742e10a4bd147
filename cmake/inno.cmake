# Real Inno Setup clients: Quillane installers whose uninstallers call the
# notice through the Inno include, compiled by the Inno Setup compiler under
# Wine into inno/ beside the suite, and the suite's Inno scenarios over them.
#
# The compiler, the installers and the uninstallers are 32-bit programs.
# Where Wine's 32-bit half cannot run, none of them is built, and CTest shows
# inno_e2e as skipped, with the reason; nothing claims they passed.
execute_process(
    COMMAND ${BASH} -c "source \"$1/e2e/wine-env.sh\" \"$2\" && { wine32_runs && echo yes || echo \"$WINE32_MISSING\"; }"
        _ ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}
    OUTPUT_VARIABLE inno_runs OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT inno_runs STREQUAL "yes")
    message(STATUS "Inno Setup clients are not built, and inno_e2e is skipped: ${inno_runs}")
    add_test(NAME inno_e2e COMMAND ${BASH} -c "echo \"inno_e2e: skipped: $1\"; exit 77" _ ${inno_runs})
    set_tests_properties(inno_e2e PROPERTIES SKIP_RETURN_CODE 77)
    return()
endif()

set(INNO_OUT ${CMAKE_BINARY_DIR}/inno)
set(INNO_SOURCES ${CMAKE_SOURCE_DIR}/integration/inno)
set(inno_clients)
# client: the event function that calls the notice, and what else differs.
foreach(client example step post done init deinit missing upgrade)
    set(script ${CMAKE_SOURCE_DIR}/e2e/inno-client.iss)
    set(defines NoticeFrom=CurUninstallStepChanged)
    if(client STREQUAL "example")
        set(script ${INNO_SOURCES}/example.iss)
        set(defines Notices=${THIRD_PARTY_NOTICES})
        set(out ${INNO_OUT}/example.exe)
    else()
        set(out ${INNO_OUT}/client-${client}.exe)
        if(client STREQUAL "post")
            list(APPEND defines NoticeStep=usPostUninstall NoticeKept)
        elseif(client STREQUAL "done")
            list(APPEND defines NoticeStep=usDone NoticeKept)
        elseif(client STREQUAL "init")
            set(defines NoticeFrom=InitializeUninstall)
        elseif(client STREQUAL "deinit")
            set(defines NoticeFrom=DeinitializeUninstall)
        elseif(client STREQUAL "missing")
            list(APPEND defines NoticeMissing)
        elseif(client STREQUAL "upgrade")
            list(APPEND defines Upgrade)
        endif()
    endif()
    add_custom_command(OUTPUT ${out}
        COMMAND ${BASH} ${CMAKE_SOURCE_DIR}/scripts/iscc.sh ${CMAKE_BINARY_DIR} ${out} ${script}
            $<TARGET_FILE:UninstallNotice> ${defines}
        DEPENDS UninstallNotice ${THIRD_PARTY_NOTICES} ${script} ${INNO_SOURCES}/UninstallNotice.iss
            ${CMAKE_SOURCE_DIR}/scripts/iscc.sh
        COMMENT "Building the Inno client ${client}" VERBATIM)
    list(APPEND inno_clients ${out})
endforeach()
add_custom_target(inno_clients ALL DEPENDS ${inno_clients})
add_dependencies(notice_e2e inno_clients)

add_test(NAME inno_e2e
    COMMAND ${BASH} ${CMAKE_SOURCE_DIR}/e2e/run-wine.sh
        ${CMAKE_BINARY_DIR} $<TARGET_FILE:notice_e2e> $<TARGET_FILE:UninstallNotice> --inno)
set_tests_properties(inno_e2e PROPERTIES TIMEOUT 600)
