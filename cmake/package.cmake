# The Debian package: fwkit_<version>_<arch>.deb, built with `cpack -G DEB` in the build folder.
# What it holds beside the program is installed here too, so `cmake --install` gives the same tree.

# Documentation, the Debian way: copyright, changelog and manual page, the last two gzipped
# (best compression, no time stamp, so that the same sources give the same package).
file(STRINGS cmake/debian/changelog FWKIT_CHANGELOG_HEAD LIMIT_COUNT 1)
if(NOT FWKIT_CHANGELOG_HEAD MATCHES "^fwkit \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog starts with '${FWKIT_CHANGELOG_HEAD}': "
                      "add an entry for fwkit ${PROJECT_VERSION}")
endif()
find_program(FWKIT_GZIP gzip REQUIRED)
foreach(doc IN ITEMS "${CMAKE_CURRENT_BINARY_DIR}/fwkit.8" "${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/changelog")
  get_filename_component(name "${doc}" NAME)
  add_custom_command(OUTPUT "gz/${name}.gz" DEPENDS "${doc}" VERBATIM
                     COMMAND "${CMAKE_COMMAND}" -E copy "${doc}" "gz/${name}"
                     COMMAND "${FWKIT_GZIP}" -9 -n -f "gz/${name}")
  list(APPEND FWKIT_GZIPPED_DOCS "${CMAKE_CURRENT_BINARY_DIR}/gz/${name}.gz")
endforeach()
add_custom_target(fwkit_docs ALL DEPENDS ${FWKIT_GZIPPED_DOCS})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/gz/fwkit.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES cmake/debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/gz/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES cmake/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME fwkit)

# The daily inventory's units (not enabled). The service names the installed program, so it is
# filled in when it is installed, under the prefix of that install (the package's is /usr).
set(FWKIT_UNIT_DIR "lib/systemd/system" CACHE STRING "systemd's unit folder, under the install prefix")
install(CODE "
  set(FWKIT_INSTALLED_SBINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
  configure_file(\"${CMAKE_CURRENT_SOURCE_DIR}/systemd/fwkit-inventory.service.in\"
                 \"${CMAKE_CURRENT_BINARY_DIR}/systemd/fwkit-inventory.service\" @ONLY)")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/systemd/fwkit-inventory.service
              systemd/fwkit-inventory.timer DESTINATION ${FWKIT_UNIT_DIR})

# The folder the inventory service runs in, so that a timer enabled before a repository is copied
# there gives fwkit's own failure (no repository), not a unit that cannot start. Purge leaves it,
# and what the operator put in it.
install(DIRECTORY DESTINATION /var/lib/fwkit/repository)
# Tab completion of the options and report files, and the weekly rotation of the packaged
# repository's event log (a conffile).
install(FILES contrib/bash-completion/fwkit DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES contrib/logrotate/fwkit DESTINATION /etc/logrotate.d)

# Folders are 0755 whatever the umask the package or the install is made under.
set(FWKIT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${FWKIT_DIRECTORY_PERMISSIONS})
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${FWKIT_DIRECTORY_PERMISSIONS})

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "fwkit")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(FWKIT_PACKAGE_MAINTAINER "fwkit maintainers <fwkit@example.org>" CACHE STRING
    "The package's Maintainer field: who answers for the packages your fleet installs")
set(CPACK_PACKAGE_CONTACT "${FWKIT_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "firmware update utility for network adapters of PCI vendor 0x15B3")
set(CPACK_PACKAGE_DESCRIPTION
    "fwkit brings the firmware of a server's InfiniBand and Ethernet adapters of\n\
PCI vendor 0x15B3 up to date from a firmware repository (nic_fw/) delivered\n\
beside it, interactively, silently or through a reviewed XML discovery report.\n\
A daily inventory (fwkit-inventory.timer, not enabled) feeds node_exporter's\n\
textfile collector.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # fwkit_<version>_<arch>.deb
set(CPACK_STRIP_FILES ON)               # the debugging symbols stay in the build
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# Library dependencies come from dpkg-shlibdeps; the PCI ID database names the vendors.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pci.ids")
# Maintainer scripts: systemd reloaded on install, upgrade and removal; nothing enabled.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/postinst"
    "${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/prerm" "${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/postrm"
    "${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
