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
#   cpack -G DEB --config build/CPackConfig.cmake    -> kx2700_<version>_<arch>.deb

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
foreach(target KX2700Mgr KX2700Mon kx2700-keysim)
    if(TARGET ${target})
        list(APPEND KX_INSTALLED_PROGRAMS ${target})
    endif()
endforeach()
set(KX_INSTALLED_LIBRARIES)
foreach(target drevmor keysim_pkcs11 keysim_skf)
    if(TARGET ${target})
        list(APPEND KX_INSTALLED_LIBRARIES ${target})
    endif()
endforeach()
# The fault and latency wrapper goes with the virtual key: installed only where keysim is.
if(TARGET faultwrap AND TARGET keysim_pkcs11)
    list(APPEND KX_INSTALLED_LIBRARIES faultwrap)
endif()

if(KX_INSTALLED_PROGRAMS OR KX_INSTALLED_LIBRARIES)
    set_target_properties(${KX_INSTALLED_PROGRAMS} ${KX_INSTALLED_LIBRARIES} PROPERTIES
        INSTALL_RPATH "$ORIGIN")
    install(TARGETS ${KX_INSTALLED_PROGRAMS} ${KX_INSTALLED_LIBRARIES}
        RUNTIME DESTINATION bin
        LIBRARY DESTINATION bin)
endif()

install(FILES ${CMAKE_SOURCE_DIR}/resources/APPInfo.ini DESTINATION bin)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/resources/Languages ${CMAKE_SOURCE_DIR}/resources/res
    DESTINATION bin)

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
install(CODE "${kx_code}")

# What software centres list: the manager's AppStream metadata.
install(FILES ${KX_PACKAGING_DIR}/org.kx2700.manager.metainfo.xml DESTINATION ${KX_DESKTOP_DATADIR}/metainfo)
install(DIRECTORY ${KX_PACKAGING_DIR}/icons/hicolor DESTINATION ${KX_DESKTOP_DATADIR}/icons)
install(FILES ${KX_PACKAGING_DIR}/icons/kx2700-manager.svg ${KX_PACKAGING_DIR}/icons/kx2700-monitor.svg
    DESTINATION ${KX_DESKTOP_DATADIR}/icons/hicolor/scalable/apps)

# Manual pages, with the project's version, compressed as Debian keeps them.
find_program(KX_GZIP gzip)
set(kx_manual_outputs)
foreach(page KX2700Mgr.1 KX2700Mon.1 kx2700-keysim.1)
    configure_file(${KX_PACKAGING_DIR}/man/${page}.in ${KX_PACKAGING_BINARY_DIR}/man-pages/${page} @ONLY)
    if(KX_GZIP)
        set(output ${KX_PACKAGING_BINARY_DIR}/man/${page}.gz)
        add_custom_command(OUTPUT ${output}
            COMMAND ${CMAKE_COMMAND} -E copy ${KX_PACKAGING_BINARY_DIR}/man-pages/${page}
                ${KX_PACKAGING_BINARY_DIR}/man/${page}
            COMMAND ${KX_GZIP} -9nf ${KX_PACKAGING_BINARY_DIR}/man/${page}
            DEPENDS ${KX_PACKAGING_BINARY_DIR}/man-pages/${page} COMMENT "Compressing ${page}" VERBATIM)
        list(APPEND kx_manual_outputs ${output})
    else()
        list(APPEND kx_manual_outputs ${KX_PACKAGING_BINARY_DIR}/man-pages/${page})
    endif()
endforeach()
add_custom_target(kx_manual_pages ALL DEPENDS ${kx_manual_outputs})
install(FILES ${kx_manual_outputs} DESTINATION ${KX_DESKTOP_DATADIR}/man/man1)

# Commands on PATH, linked as Debian policy asks: relative within one top-level folder
# (/usr/bin -> /usr/local/kx2700/bin), absolute across them (/usr/bin -> /opt/kx2700/bin).
if(KX_COMMAND_DIR)
    set(kx_code [==[
foreach(kx_program IN ITEMS @KX_INSTALLED_PROGRAMS@)
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
    install(CODE "${kx_code}")
endif()

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
install(FILES ${KX_PACKAGING_BINARY_DIR}/doc/copyright ${kx_changelog} DESTINATION ${KX_DESKTOP_DATADIR}/doc/kx2700)
install(FILES ${KX_PACKAGING_DIR}/debian/lintian-overrides DESTINATION ${KX_DESKTOP_DATADIR}/lintian/overrides
    RENAME kx2700)

# The maintainer scripts and the conffiles list name the folders chosen above.
foreach(script postinst postrm)
    configure_file(${KX_PACKAGING_DIR}/debian/${script}.in ${KX_PACKAGING_BINARY_DIR}/debian/${script} @ONLY
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
# Configuration files are the ones under /etc (dpkg keeps a user's changes to them); the files of
# <prefix>/bin are the program's own and an upgrade replaces them.
set(kx_conffiles "")
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
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "manager and tray monitor for KX2700 USB PKI keys")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
# Absolute destinations (/usr/share, /etc/xdg) are packaged through DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KX_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary line comes from CPACK_PACKAGE_DESCRIPTION_SUMMARY.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "KX2700Mgr shows the keys that are plugged in and manages their PIN, key
containers and certificates (view, import, export, delete, register in the
user's certificate store), enrolled fingers and remote PIN unlocking.
KX2700Mon sits in the system tray, registers the certificates of a key when
it is plugged in and reminds of expiring certificates and due PIN changes.
The package also holds the token library libDrevmor.so and keysim, a virtual
USB key (PKCS#11 module, SKF library and the kx2700-keysim tool).")
# The programs open the desktop's certificate viewer and web browser when they exist; NSS's tools
# register the key's module and chain in the user's NSS databases, p11-kit loads the module file
# written for GnuTLS and p11-kit users; Qt's Wayland platform lets the windows run natively in a
# Wayland session instead of through XWayland. Without them the programs run and skip that step.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, gcr, libnss3-tools, p11-kit, qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "opensc")
find_program(KX_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KX_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libc6, libstdc++6, libgcc-s1, libqt6core6, libqt6gui6, libqt6widgets6, libssl3, libudev1")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${KX_PACKAGING_BINARY_DIR}/debian/postinst
    ${KX_PACKAGING_BINARY_DIR}/debian/postrm)
if(kx_conffiles)
    list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${KX_PACKAGING_BINARY_DIR}/debian/conffiles)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
include(CPack)
