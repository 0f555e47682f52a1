# Read by CPack once per generator: the Debian package holds the programs for Linux under
# /usr, the zip the Windows programs at its top.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_COMPONENTS_ALL programs)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
elseif(CPACK_GENERATOR STREQUAL "ZIP")
    set(CPACK_COMPONENTS_ALL windows)
    set(CPACK_PACKAGE_FILE_NAME "imgrebuild-${CPACK_PACKAGE_VERSION}-windows-x86_64")
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
endif()
