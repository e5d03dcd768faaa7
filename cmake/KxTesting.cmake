# SPDX-License-Identifier: Apache-2.0
# Helpers that register test executables with ctest in one place, so every test runs with the
# same environment: offscreen Qt, UTF-8 locale, and a home folder of its own.

set(KX_TEST_ENV "QT_QPA_PLATFORM=offscreen" "LANG=C.UTF-8" "LC_ALL=C.UTF-8")

# In the sanitizer build every report, of a test or of a program a test started, is written to
# a file of build/sanitizer/ named after the process, where scripts/test finds it. Foreign
# programs that load one of our modules (pkcs11-tool, p11tool, modutil) need the sanitizer's
# runtime first: tests preload KX_SANITIZER_RUNTIME into them.
# Instrumented code runs a few times slower: the time allowed to each test grows with it.
set(KX_TIMEOUT_SCALE 1)
if(KX_SANITIZE)
    set(KX_TIMEOUT_SCALE 3)
endif()

# kx_timeout(VAR seconds): the time allowed to a test that takes `seconds` in the normal build.
function(kx_timeout var seconds)
    math(EXPR scaled "${seconds} * ${KX_TIMEOUT_SCALE}")
    set(${var} ${scaled} PARENT_SCOPE)
endfunction()

if(KX_SANITIZE)
    set(KX_SANITIZER_LOGS ${CMAKE_BINARY_DIR}/sanitizer)
    file(MAKE_DIRECTORY ${KX_SANITIZER_LOGS})
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
        OUTPUT_VARIABLE KX_SANITIZER_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(KX_SANITIZER_RUNTIME "${KX_SANITIZER_RUNTIME}" REALPATH)
    list(APPEND KX_TEST_ENV
        "ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:log_path=${KX_SANITIZER_LOGS}/asan"
        "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=${KX_SANITIZER_LOGS}/ubsan"
        "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/sanitizer/lsan.supp:print_suppressions=0"
        "KX_SANITIZER_RUNTIME=${KX_SANITIZER_RUNTIME}")
endif()

# kx_add_qt_test(NAME name SOURCES ... LIBS ...)
function(kx_add_qt_test)
    cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE Qt6::Test ${T_LIBS})
    set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    kx_timeout(timeout 300)
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${KX_TEST_ENV}" TIMEOUT ${timeout})
endfunction()

# kx_add_gtest(NAME name SOURCES ... LIBS ...)
function(kx_add_gtest)
    cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE GTest::gtest GTest::gtest_main ${T_LIBS})
    set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    kx_timeout(timeout 300)
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${KX_TEST_ENV}" TIMEOUT ${timeout})
endfunction()
