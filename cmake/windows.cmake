# The shipped program and the end-to-end suite that drives it under Wine.

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

add_executable(UninstallNotice WIN32 notice/main.cpp notice/notice.cpp)
target_include_directories(UninstallNotice PRIVATE notice platform)
ship_like_the_notice(UninstallNotice)

add_executable(notice_e2e e2e/driver.cpp e2e/report.cpp e2e/stage.cpp e2e/box.cpp e2e/scenarios.cpp
    e2e/field.cpp)
target_link_libraries(notice_e2e PRIVATE user32)
ship_like_the_notice(notice_e2e)

# The suite copies it beside the notice as uxtheme.dll; under its own name it
# is never picked up by anything in this folder.
add_library(notice_planted SHARED e2e/planted-dll.cpp)
set_target_properties(notice_planted PROPERTIES PREFIX "")
ship_like_the_notice(notice_planted)
add_dependencies(notice_e2e notice_planted)

find_program(BASH bash REQUIRED)
add_test(NAME notice_e2e
    COMMAND ${BASH} ${CMAKE_SOURCE_DIR}/e2e/run-wine.sh
        ${CMAKE_BINARY_DIR} $<TARGET_FILE:notice_e2e> $<TARGET_FILE:UninstallNotice>)
set_tests_properties(notice_e2e PROPERTIES TIMEOUT 600)

# What ships: each property of UninstallNotice.exe is a check of its own.
foreach(property imports hardening resources symbols size)
    add_test(NAME exe_${property}
        COMMAND ${CMAKE_SOURCE_DIR}/tools/check-exe.py ${property} $<TARGET_FILE:UninstallNotice>)
endforeach()
add_test(NAME exe_reproducible
    COMMAND ${BASH} ${CMAKE_SOURCE_DIR}/tools/check-reproducible.sh $<TARGET_FILE:UninstallNotice>)
set_tests_properties(exe_reproducible PROPERTIES TIMEOUT 300)
add_test(NAME exe_checker_bad_input
    COMMAND ${BASH} ${CMAKE_SOURCE_DIR}/tools/test-check-exe.sh $<TARGET_FILE:UninstallNotice>)

# The benchmark (make bench): the notice against a program that only shows
# the same box, built with the same flags.
add_executable(notice_reference WIN32 EXCLUDE_FROM_ALL bench/reference.cpp notice/notice.cpp)
target_include_directories(notice_reference PRIVATE notice platform)
ship_like_the_notice(notice_reference)

add_executable(notice_bench EXCLUDE_FROM_ALL bench/bench.cpp)
target_link_libraries(notice_bench PRIVATE user32)
ship_like_the_notice(notice_bench)
