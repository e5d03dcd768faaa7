# SPDX-License-Identifier: Apache-2.0
# Helpers that register test executables with ctest in one place, so every test runs with the
# same environment: offscreen Qt, UTF-8 locale, and a home folder of its own.

set(KX_TEST_ENV "QT_QPA_PLATFORM=offscreen" "LANG=C.UTF-8" "LC_ALL=C.UTF-8")

# kx_add_qt_test(NAME name SOURCES ... LIBS ...)
function(kx_add_qt_test)
    cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE Qt6::Test ${T_LIBS})
    set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${KX_TEST_ENV}" TIMEOUT 300)
endfunction()

# kx_add_gtest(NAME name SOURCES ... LIBS ...)
function(kx_add_gtest)
    cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE GTest::gtest GTest::gtest_main ${T_LIBS})
    set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${KX_TEST_ENV}" TIMEOUT 300)
endfunction()
