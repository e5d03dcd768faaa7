# SPDX-License-Identifier: Apache-2.0
# Hardening of every program and library the project builds: the stack protector, fortified C
# library calls (they need optimisation, and the sanitizers bring checks of their own), read-only
# relocations with immediate binding, and position-independent executables.
include(CheckPIESupported)
check_pie_supported(LANGUAGES C CXX)
add_compile_options(-fstack-protector-strong)
if(NOT KX_SANITIZE AND NOT KX_FUZZ)
    add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
endif()
add_link_options(LINKER:-z,relro LINKER:-z,now)
