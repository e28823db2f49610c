# The Debian package: fwkit_<version>_<arch>.deb, built with `cpack -G DEB` in the build folder.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "fwkit")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "fwkit maintainers <fwkit@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "firmware update utility for network adapters of PCI vendor 0x15B3")
set(CPACK_PACKAGE_DESCRIPTION
    "fwkit brings the firmware of a server's InfiniBand and Ethernet adapters of PCI vendor\n\
0x15B3 up to date from a firmware repository (nic_fw/) delivered beside it, interactively,\n\
silently or through a reviewed XML discovery report.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # fwkit_<version>_<arch>.deb
set(CPACK_STRIP_FILES ON)               # the debugging symbols stay in the build
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# Library dependencies come from dpkg-shlibdeps; the PCI ID database names the vendors.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pci.ids")
include(CPack)
