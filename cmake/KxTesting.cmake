# SPDX-License-Identifier: Apache-2.0
# Helpers that register test executables with ctest in one place, so every test runs with the
# same environment: offscreen Qt, UTF-8 locale, and a home folder of its own.

# KX2700_STRICT_KEY_THREAD: a key call on a window thread ends the process, so none goes unseen.
# KX2700_SYSTEM_APPINFO: the administrator's APPInfo.ini of this machine (/etc/kx2700) reaches no
# test; a test that wants one names its own.
set(KX_TEST_ENV "QT_QPA_PLATFORM=offscreen" "LANG=C.UTF-8" "LC_ALL=C.UTF-8" "KX2700_STRICT_KEY_THREAD=1"
    "KX2700_SYSTEM_APPINFO=${CMAKE_BINARY_DIR}/no-system-config/APPInfo.ini")

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

# In the sanitizer build every report, of a test or of a program a test started, is written to
# a file of build/sanitizer/ named after the program and the process, where scripts/test finds
# it. Programs of other projects that load one of our modules (pkcs11-tool, NSS's and GnuTLS's
# tools) need the sanitizer's runtime loaded first: the tests find them through wrappers in
# build/foreign-programs, put first on PATH, which preload it (without leak checks, since those
# programs are not ours).
set(KX_TEST_ENV_CHANGES "")
if(KX_SANITIZE)
    set(KX_SANITIZER_LOGS ${CMAKE_BINARY_DIR}/sanitizer)
    file(MAKE_DIRECTORY ${KX_SANITIZER_LOGS})
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
        OUTPUT_VARIABLE KX_SANITIZER_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(KX_SANITIZER_RUNTIME "${KX_SANITIZER_RUNTIME}" REALPATH)
    set(KX_ASAN_OPTIONS "halt_on_error=1:log_exe_name=1:log_path=${KX_SANITIZER_LOGS}/asan")
    list(APPEND KX_TEST_ENV
        "ASAN_OPTIONS=detect_leaks=1:${KX_ASAN_OPTIONS}"
        "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_exe_name=1:log_path=${KX_SANITIZER_LOGS}/ubsan"
        "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/sanitizer/lsan.supp:print_suppressions=0")

    set(KX_FOREIGN_PROGRAMS ${CMAKE_BINARY_DIR}/foreign-programs)
    file(MAKE_DIRECTORY ${KX_FOREIGN_PROGRAMS})
    foreach(program pkcs11-tool modutil certutil p11tool p11-kit gnutls-cli tstclnt)
        find_program(KX_FOREIGN_${program} ${program} NO_CACHE)
        if(KX_FOREIGN_${program})
            set(wrapper ${KX_FOREIGN_PROGRAMS}/bin/${program})
            file(WRITE ${wrapper} "#!/bin/sh\nLD_PRELOAD=${KX_SANITIZER_RUNTIME} "
                "ASAN_OPTIONS=detect_leaks=0:${KX_ASAN_OPTIONS} exec ${KX_FOREIGN_${program}} \"$@\"\n")
            file(CHMOD ${wrapper} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                WORLD_READ WORLD_EXECUTE)
        endif()
    endforeach()
    list(APPEND KX_TEST_ENV_CHANGES "PATH=path_list_prepend:${KX_FOREIGN_PROGRAMS}/bin")
endif()

# kx_foreign_program(VAR name): the path by which tests start another project's program `name`
# found at VAR (unchanged outside the sanitizer build).
function(kx_foreign_program var name)
    if(KX_SANITIZE AND ${var} AND EXISTS ${KX_FOREIGN_PROGRAMS}/bin/${name})
        set(${var} ${KX_FOREIGN_PROGRAMS}/bin/${name} PARENT_SCOPE)
    endif()
endfunction()

# kx_add_qt_test(NAME name SOURCES ... LIBS ...)
function(kx_add_qt_test)
    cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE Qt6::Test ${T_LIBS})
    set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    kx_timeout(timeout 300)
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${KX_TEST_ENV}" TIMEOUT ${timeout})
    if(KX_TEST_ENV_CHANGES)
        set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT_MODIFICATION "${KX_TEST_ENV_CHANGES}")
    endif()
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
    if(KX_TEST_ENV_CHANGES)
        set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT_MODIFICATION "${KX_TEST_ENV_CHANGES}")
    endif()
endfunction()

# kx_tpm_test(name): marks a test that runs the TPM's PKCS#11 stack (tpm2-pkcs11 and the TSS
# libraries). Under the sanitizers its leak reports unwind fully (those libraries keep no frame
# pointers and are unloaded before the report, so only the project's own frames can name them),
# and tests/sanitizer/lsan-tpm.supp adds the leaks of that stack.
function(kx_tpm_test name)
    set_tests_properties(${name} PROPERTIES LABELS tpm)
    if(KX_SANITIZE)
        set(env ${KX_TEST_ENV})
        list(FILTER env EXCLUDE REGEX "^(ASAN|LSAN)_OPTIONS=")
        list(APPEND env "ASAN_OPTIONS=fast_unwind_on_malloc=0:detect_leaks=1:${KX_ASAN_OPTIONS}"
            "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/sanitizer/lsan-tpm.supp:print_suppressions=0")
        set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}")
    endif()
endfunction()
