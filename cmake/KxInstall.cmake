# SPDX-License-Identifier: Apache-2.0
# Installation and the Debian package.
#
# The programs take APPInfo.ini, Languages/, res/ and the PKCS#11 and SKF libraries from the
# folder of the executable, so an installation keeps the layout of the build tree's bin/:
# executables, libraries and resources side by side in <prefix>/bin, every ELF file with
# RUNPATH $ORIGIN (the token library is linked, the SKF library is opened by its bare name
# through the loader's search). What the desktop has to find - menu entry, autostart entry,
# icons, manual pages, commands on PATH - goes to the system folders whatever the prefix.
#
#   cmake --install build                 into /opt/kx2700 (and /usr/share, /etc/xdg, /usr/bin)
#   DESTDIR=/tmp/stage cmake --install build
#   cpack -G DEB --config build/CPackConfig.cmake    -> kx2700_<version>_<arch>.deb and
#                                                       kx2700-keysim_<version>_<arch>.deb
#
# Two components, one package each: "programs" (kx2700: the programs, the token library and
# their resources) and "keysim" (kx2700-keysim: the virtual key and the fault wrapper). The
# installed APPInfo.ini names the key's PKCS#11 module and SKF library through links that
# update-alternatives manages (kx2700-pkcs11 with its slave kx2700-skf); kx2700-keysim registers
# its own libraries there at a low priority, a real key's module takes over with a higher one.

# /opt/kx2700 unless the prefix was chosen. A build tree configured before this file existed
# (its CMakeCache.txt is on disk already, but the marker below is not) holds CMake's own default,
# which counts as not chosen.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT OR
   (EXISTS ${CMAKE_BINARY_DIR}/CMakeCache.txt AND NOT DEFINED KX_INSTALL_PREFIX_SETTLED AND
    CMAKE_INSTALL_PREFIX STREQUAL "/usr/local"))
    set(CMAKE_INSTALL_PREFIX /opt/kx2700 CACHE PATH "Installation folder of the programs" FORCE)
endif()
set(KX_INSTALL_PREFIX_SETTLED ON CACHE INTERNAL "CMAKE_INSTALL_PREFIX has had its default applied")

set(KX_DESKTOP_DATADIR /usr/share CACHE PATH
    "Where menu entries, icons and manual pages are installed (absolute)")
set(KX_AUTOSTART_DIR /etc/xdg/autostart CACHE PATH
    "Where the monitor's log-in autostart entry is installed (absolute; empty: none)")
set(KX_COMMAND_DIR /usr/bin CACHE PATH
    "Where links to the programs are made so that they are on PATH (absolute; empty: none)")
# The project's own address; a distributor who builds the package names itself here. A build tree
# that still holds the earlier placeholder at localhost takes the address.
set(kx_maintainer "KX2700 key tools developers <dev@kx2700.org>")
if(KX_PACKAGE_MAINTAINER STREQUAL "KX2700 key tools developers <kx2700-dev@localhost>")
    set(KX_PACKAGE_MAINTAINER "${kx_maintainer}" CACHE STRING "Maintainer named in the Debian package" FORCE)
endif()
set(KX_PACKAGE_MAINTAINER "${kx_maintainer}" CACHE STRING "Maintainer named in the Debian package")

set(KX_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(KX_PACKAGING_BINARY_DIR ${CMAKE_BINARY_DIR}/packaging)

# --- Programs, libraries and resources: <prefix>/bin -------------------------------------------

set(KX_INSTALLED_PROGRAMS)
foreach(target KX2700Mgr KX2700Mon kx2700)
    if(TARGET ${target})
        list(APPEND KX_INSTALLED_PROGRAMS ${target})
    endif()
endforeach()
set(KX_INSTALLED_LIBRARIES)
if(TARGET drevmor)
    list(APPEND KX_INSTALLED_LIBRARIES drevmor)
endif()
# The virtual key, and the fault and latency wrapper that goes with it.
set(KX_KEYSIM_PROGRAMS)
set(KX_KEYSIM_LIBRARIES)
if(TARGET keysim_pkcs11)
    if(TARGET kx2700-keysim)
        list(APPEND KX_KEYSIM_PROGRAMS kx2700-keysim)
    endif()
    foreach(target keysim_pkcs11 keysim_skf faultwrap)
        if(TARGET ${target})
            list(APPEND KX_KEYSIM_LIBRARIES ${target})
        endif()
    endforeach()
endif()

foreach(component programs keysim)
    if(component STREQUAL "programs")
        set(kx_targets ${KX_INSTALLED_PROGRAMS} ${KX_INSTALLED_LIBRARIES})
    else()
        set(kx_targets ${KX_KEYSIM_PROGRAMS} ${KX_KEYSIM_LIBRARIES})
    endif()
    if(kx_targets)
        set_target_properties(${kx_targets} PROPERTIES INSTALL_RPATH "$ORIGIN")
        install(TARGETS ${kx_targets} COMPONENT ${component}
            RUNTIME DESTINATION bin
            LIBRARY DESTINATION bin)
    endif()
endforeach()

# The links through which an installation reaches the key's module and SKF library; the
# alternatives kx2700-pkcs11 and kx2700-skf point them at the module in use.
set(KX_MODULE_LINK_DIR /usr/lib/kx2700)
set(KX_PKCS11_LINK ${KX_MODULE_LINK_DIR}/pkcs11-module.so)
set(KX_SKF_LINK ${KX_MODULE_LINK_DIR}/skf-library.so)
# The build tree's APPInfo.ini names keysim beside the executables (the tests and the demo run
# on it); the installed one names the links.
file(READ ${CMAKE_SOURCE_DIR}/resources/APPInfo.ini kx_app_info)
string(REGEX REPLACE "\n; The PKCS#11 module of the key\.[^\n]*\nPKCS11Lib=[^\n]*"
    "\n; The PKCS#11 module of the key: the link of the alternative kx2700-pkcs11 (update-alternatives\n; --display kx2700-pkcs11 shows what it leads to).\nPKCS11Lib=${KX_PKCS11_LINK}"
    kx_app_info "${kx_app_info}")
string(REGEX REPLACE "\nSKFLib=[^\n]*" "\n; The link of kx2700-skf, the slave of kx2700-pkcs11.\nSKFLib=${KX_SKF_LINK}"
    kx_app_info "${kx_app_info}")
if(kx_app_info MATCHES "keysim")
    message(FATAL_ERROR "The installed APPInfo.ini still names keysim: check the PKCS11Lib and SKFLib lines of resources/APPInfo.ini")
endif()
file(CONFIGURE OUTPUT ${KX_PACKAGING_BINARY_DIR}/APPInfo.ini CONTENT "${kx_app_info}" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/APPInfo.ini)
install(FILES ${KX_PACKAGING_BINARY_DIR}/APPInfo.ini DESTINATION bin COMPONENT programs)
# The administrator's file in /etc (a conffile, kept across upgrades): the installed file with
# every key commented out, so that it changes nothing until a key is taken in.
set(KX_SYSTEM_APPINFO /etc/kx2700/APPInfo.ini)
string(REGEX REPLACE "\n([A-Za-z0-9_]+[ \t]*=)" "\n;\\1" kx_local_info "${kx_app_info}")
string(FIND "${kx_local_info}" "[" kx_first_section)
string(SUBSTRING "${kx_local_info}" ${kx_first_section} -1 kx_local_info)
file(CONFIGURE OUTPUT ${KX_PACKAGING_BINARY_DIR}/etc/APPInfo.ini CONTENT
"; Local settings of the KX2700 key tools, read by KX2700Mgr and KX2700Mon after
; @CMAKE_INSTALL_PREFIX@/bin/APPInfo.ini. A key set here replaces the same key of that file,
; which belongs to the package and is replaced by every upgrade; this file is kept. Every key
; below is commented out and shows the installation's value: remove the \";\" in front of a key
; to set it here. The environment variable KX2700_SYSTEM_APPINFO names another file instead of
; this one. The manager's system check lists the files in use.

${kx_local_info}" @ONLY)
get_filename_component(kx_folder ${KX_SYSTEM_APPINFO} DIRECTORY)
install(FILES ${KX_PACKAGING_BINARY_DIR}/etc/APPInfo.ini DESTINATION ${kx_folder} COMPONENT programs)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/resources/Languages ${CMAKE_SOURCE_DIR}/resources/res
    DESTINATION bin COMPONENT programs)
# The folder of the links belongs to kx2700, the links to update-alternatives.
install(DIRECTORY DESTINATION ${KX_MODULE_LINK_DIR} COMPONENT programs)

# --- Desktop integration -----------------------------------------------------------------------

# The entries in packaging/ start /opt/kx2700/bin/...; an installation under another prefix gets
# entries that start its own executables.
set(kx_entries "kx2700-manager.desktop|${KX_DESKTOP_DATADIR}/applications")
if(KX_AUTOSTART_DIR)
    list(APPEND kx_entries "kx2700-monitor.desktop|${KX_AUTOSTART_DIR}")
endif()
set(kx_code [==[
foreach(kx_entry IN ITEMS @kx_entries@)
    string(REPLACE "|" ";" kx_entry "${kx_entry}")
    list(GET kx_entry 0 kx_name)
    list(GET kx_entry 1 kx_folder)
    file(INSTALL DESTINATION "${kx_folder}" TYPE FILE FILES "@KX_PACKAGING_DIR@/${kx_name}")
    string(REGEX REPLACE "/+$" "" kx_prefix "${CMAKE_INSTALL_PREFIX}")
    if(NOT kx_prefix STREQUAL "/opt/kx2700")
        set(kx_file "$ENV{DESTDIR}${kx_folder}/${kx_name}")
        file(READ "${kx_file}" kx_text)
        string(REPLACE "=/opt/kx2700/bin/" "=${kx_prefix}/bin/" kx_text "${kx_text}")
        file(WRITE "${kx_file}" "${kx_text}")
    endif()
endforeach()
]==])
string(CONFIGURE "${kx_code}" kx_code @ONLY)
install(CODE "${kx_code}" COMPONENT programs)

# What software centres list: the manager's AppStream metadata.
install(FILES ${KX_PACKAGING_DIR}/org.kx2700.manager.metainfo.xml DESTINATION ${KX_DESKTOP_DATADIR}/metainfo
    COMPONENT programs)
install(DIRECTORY ${KX_PACKAGING_DIR}/icons/hicolor DESTINATION ${KX_DESKTOP_DATADIR}/icons COMPONENT programs)
install(FILES ${KX_PACKAGING_DIR}/icons/kx2700-manager.svg ${KX_PACKAGING_DIR}/icons/kx2700-monitor.svg
    DESTINATION ${KX_DESKTOP_DATADIR}/icons/hicolor/scalable/apps COMPONENT programs)

# Manual pages, with the project's version, compressed as Debian keeps them.
find_program(KX_GZIP gzip)
set(kx_manual_outputs)
set(kx_keysim_manual_outputs)
foreach(page KX2700Mgr.1 KX2700Mon.1 kx2700.1 kx2700-keysim.1)
    configure_file(${KX_PACKAGING_DIR}/man/${page}.in ${KX_PACKAGING_BINARY_DIR}/man-pages/${page} @ONLY)
    if(KX_GZIP)
        set(output ${KX_PACKAGING_BINARY_DIR}/man/${page}.gz)
        add_custom_command(OUTPUT ${output}
            COMMAND ${CMAKE_COMMAND} -E copy ${KX_PACKAGING_BINARY_DIR}/man-pages/${page}
                ${KX_PACKAGING_BINARY_DIR}/man/${page}
            COMMAND ${KX_GZIP} -9nf ${KX_PACKAGING_BINARY_DIR}/man/${page}
            DEPENDS ${KX_PACKAGING_BINARY_DIR}/man-pages/${page} COMMENT "Compressing ${page}" VERBATIM)
    else()
        set(output ${KX_PACKAGING_BINARY_DIR}/man-pages/${page})
    endif()
    if(page MATCHES "keysim")
        list(APPEND kx_keysim_manual_outputs ${output})
    else()
        list(APPEND kx_manual_outputs ${output})
    endif()
endforeach()
add_custom_target(kx_manual_pages ALL DEPENDS ${kx_manual_outputs} ${kx_keysim_manual_outputs})
install(FILES ${kx_manual_outputs} DESTINATION ${KX_DESKTOP_DATADIR}/man/man1 COMPONENT programs)
if(KX_KEYSIM_PROGRAMS)
    install(FILES ${kx_keysim_manual_outputs} DESTINATION ${KX_DESKTOP_DATADIR}/man/man1 COMPONENT keysim)
endif()

# The completion of kx2700's commands and options for bash, where bash-completion loads it by the
# command's name.
if(TARGET kx2700)
    install(FILES ${KX_PACKAGING_DIR}/bash-completion/kx2700
        DESTINATION ${KX_DESKTOP_DATADIR}/bash-completion/completions COMPONENT programs)
endif()

# Commands on PATH, linked as Debian policy asks: relative within one top-level folder
# (/usr/bin -> /usr/local/kx2700/bin), absolute across them (/usr/bin -> /opt/kx2700/bin).
foreach(component programs keysim)
    if(component STREQUAL "programs")
        set(kx_programs ${KX_INSTALLED_PROGRAMS})
    else()
        set(kx_programs ${KX_KEYSIM_PROGRAMS})
    endif()
    if(NOT KX_COMMAND_DIR OR NOT kx_programs)
        continue()
    endif()
    set(kx_code [==[
foreach(kx_program IN ITEMS @kx_programs@)
    string(REGEX REPLACE "/+$" "" kx_prefix "${CMAKE_INSTALL_PREFIX}")
    string(REGEX MATCH "^/[^/]+" kx_link_top "@KX_COMMAND_DIR@")
    string(REGEX MATCH "^/[^/]+" kx_target_top "${kx_prefix}")
    if(kx_link_top STREQUAL kx_target_top)
        file(RELATIVE_PATH kx_target "@KX_COMMAND_DIR@" "${kx_prefix}/bin/${kx_program}")
    else()
        set(kx_target "${kx_prefix}/bin/${kx_program}")
    endif()
    set(kx_link "$ENV{DESTDIR}@KX_COMMAND_DIR@/${kx_program}")
    message(STATUS "Installing: ${kx_link} -> ${kx_target}")
    file(MAKE_DIRECTORY "$ENV{DESTDIR}@KX_COMMAND_DIR@")
    file(REMOVE "${kx_link}")
    file(CREATE_LINK "${kx_target}" "${kx_link}" SYMBOLIC)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${kx_link}")
endforeach()
]==])
    string(CONFIGURE "${kx_code}" kx_code @ONLY)
    install(CODE "${kx_code}" COMPONENT ${component})
endforeach()

# --- The Debian package --------------------------------------------------------------------------

# The copyright in Debian's machine-readable format, the changelog (a native package's, so
# changelog.gz) compressed without a time stamp, and the notes for lintian on the /opt layout.
configure_file(${KX_PACKAGING_DIR}/debian/copyright.in ${KX_PACKAGING_BINARY_DIR}/doc/copyright @ONLY)
configure_file(${KX_PACKAGING_DIR}/debian/changelog.in ${KX_PACKAGING_BINARY_DIR}/doc/changelog @ONLY)
set(kx_changelog ${KX_PACKAGING_BINARY_DIR}/doc/changelog)
if(KX_GZIP)
    add_custom_command(OUTPUT ${KX_PACKAGING_BINARY_DIR}/doc/changelog.gz
        COMMAND ${KX_GZIP} -9nc ${KX_PACKAGING_BINARY_DIR}/doc/changelog > ${KX_PACKAGING_BINARY_DIR}/doc/changelog.gz
        DEPENDS ${KX_PACKAGING_BINARY_DIR}/doc/changelog COMMENT "Compressing the changelog")
    set(kx_changelog ${KX_PACKAGING_BINARY_DIR}/doc/changelog.gz)
endif()
add_custom_target(kx_changelog ALL DEPENDS ${kx_changelog})
# Each package carries both in its own /usr/share/doc folder.
install(FILES ${KX_PACKAGING_BINARY_DIR}/doc/copyright ${kx_changelog} DESTINATION ${KX_DESKTOP_DATADIR}/doc/kx2700
    COMPONENT programs)
install(FILES ${KX_PACKAGING_DIR}/debian/lintian-overrides DESTINATION ${KX_DESKTOP_DATADIR}/lintian/overrides
    RENAME kx2700 COMPONENT programs)
if(KX_KEYSIM_LIBRARIES)
    install(FILES ${KX_PACKAGING_BINARY_DIR}/doc/copyright ${kx_changelog}
        DESTINATION ${KX_DESKTOP_DATADIR}/doc/kx2700-keysim COMPONENT keysim)
    install(FILES ${KX_PACKAGING_DIR}/debian/keysim.lintian-overrides
        DESTINATION ${KX_DESKTOP_DATADIR}/lintian/overrides RENAME kx2700-keysim COMPONENT keysim)
endif()

# The maintainer scripts and the conffiles list name the folders chosen above.
foreach(script postinst postrm keysim.postinst keysim.prerm)
    configure_file(${KX_PACKAGING_DIR}/debian/${script}.in ${KX_PACKAGING_BINARY_DIR}/debian/${script} @ONLY
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
# CPack takes a maintainer script by its file name.
foreach(script postinst prerm)
    file(MAKE_DIRECTORY ${KX_PACKAGING_BINARY_DIR}/debian/keysim)
    file(COPY_FILE ${KX_PACKAGING_BINARY_DIR}/debian/keysim.${script} ${KX_PACKAGING_BINARY_DIR}/debian/keysim/${script}
        ONLY_IF_DIFFERENT)
endforeach()
# Configuration files are the ones under /etc (dpkg keeps a user's changes to them); the files of
# <prefix>/bin are the program's own and an upgrade replaces them.
set(kx_conffiles "${KX_SYSTEM_APPINFO}\n")
if(KX_AUTOSTART_DIR MATCHES "^/etc/")
    string(APPEND kx_conffiles "${KX_AUTOSTART_DIR}/kx2700-monitor.desktop\n")
endif()
file(REMOVE ${KX_PACKAGING_BINARY_DIR}/debian/conffiles)
if(kx_conffiles)
    file(WRITE ${KX_PACKAGING_BINARY_DIR}/debian/conffiles "${kx_conffiles}")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kx2700)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "KX2700 key tools")
set(CPACK_PACKAGE_CONTACT "${KX_PACKAGE_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
# Absolute destinations (/usr/share, /etc/xdg) are packaged through DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs)
if(KX_KEYSIM_LIBRARIES)
    list(APPEND CPACK_COMPONENTS_ALL keysim)
endif()
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME kx2700)
set(CPACK_DEBIAN_KEYSIM_PACKAGE_NAME kx2700-keysim)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KX_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The first line of each description is the package's summary (CPACK_PACKAGE_DESCRIPTION_SUMMARY
# stays unset: CPack would put it above both).
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION "manager and tray monitor for KX2700 USB PKI keys
KX2700Mgr shows the keys that are plugged in and manages their PIN, key
containers and certificates (view, import, export, delete, register in the
user's certificate store), enrolled fingers and remote PIN unlocking.
KX2700Mon sits in the system tray, registers the certificates of a key when
it is plugged in and reminds of expiring certificates and due PIN changes.
The package also holds the token library libDrevmor.so. The key's PKCS#11
module and SKF library are chosen with update-alternatives (kx2700-pkcs11).")
set(CPACK_DEBIAN_KEYSIM_DESCRIPTION "virtual KX2700 USB key for trying and testing the KX2700 key tools
keysim is a USB key in software: a PKCS#11 module, an SKF library and the
kx2700-keysim tool that creates, plugs and removes its keys. The package
registers the module with update-alternatives at a low priority, so the
programs use it until a real key's module is installed with a higher one.
It also holds libkx2700-faultwrap.so, which delays or fails a module's calls.")
# Exactly the programs of the same build.
set(CPACK_DEBIAN_KEYSIM_PACKAGE_DEPENDS "kx2700 (= ${PROJECT_VERSION})")
# The programs open the desktop's certificate viewer and web browser when they exist; NSS's tools
# register the key's module and chain in the user's NSS databases, p11-kit loads the module file
# written for GnuTLS and p11-kit users; Qt's Wayland platform lets the windows run natively in a
# Wayland session instead of through XWayland. Without them the programs run and skip that step.
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_RECOMMENDS "xdg-utils, gcr, libnss3-tools, p11-kit, qt6-wayland")
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SUGGESTS "opensc")
find_program(KX_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KX_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libc6, libstdc++6, libgcc-s1, libqt6core6, libqt6gui6, libqt6widgets6, libssl3, libudev1")
endif()
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_CONTROL_EXTRA
    ${KX_PACKAGING_BINARY_DIR}/debian/postinst
    ${KX_PACKAGING_BINARY_DIR}/debian/postrm)
if(kx_conffiles)
    list(APPEND CPACK_DEBIAN_PROGRAMS_PACKAGE_CONTROL_EXTRA ${KX_PACKAGING_BINARY_DIR}/debian/conffiles)
endif()
set(CPACK_DEBIAN_KEYSIM_PACKAGE_CONTROL_EXTRA
    ${KX_PACKAGING_BINARY_DIR}/debian/keysim/postinst
    ${KX_PACKAGING_BINARY_DIR}/debian/keysim/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
include(CPack)
