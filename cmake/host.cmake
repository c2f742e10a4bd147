# The notice logic over the stand-in desktop, with its unit tests.
find_package(GTest REQUIRED)
include(GoogleTest)

add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
add_link_options(-fsanitize=address,undefined)

add_executable(notice_tests
    notice/notice.cpp
    notice/uninstall-window.cpp
    notice/main.cpp
    platform/standin.cpp
    tests/notice_test.cpp)
target_include_directories(notice_tests PRIVATE notice platform)
target_link_libraries(notice_tests PRIVATE GTest::gtest_main)
gtest_discover_tests(notice_tests PROPERTIES LABELS host)

# The in-use check's logic over the stand-in file system and desktop.
add_executable(inuse_tests
    inuse/check.cpp
    inuse/folder.cpp
    inuse/holders.cpp
    inuse/main.cpp
    notice/uninstall-window.cpp
    platform/standin.cpp
    platform/standin-files.cpp
    platform/standin-processes.cpp
    tests/inuse_test.cpp)
target_include_directories(inuse_tests PRIVATE inuse notice platform)
target_link_libraries(inuse_tests PRIVATE GTest::gtest_main)
gtest_discover_tests(inuse_tests PROPERTIES LABELS host)
