# The packages: a Debian package of the programs, and a zip of the Windows programs (made by
# the windows preset's cross build, which the package build runs first).
set(windows_dir ${CMAKE_SOURCE_DIR}/build/windows)
add_custom_target(windows_programs ALL
    COMMAND ${CMAKE_COMMAND} --workflow --preset windows
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    COMMENT "Cross-building the Windows programs into build/windows"
    USES_TERMINAL)
install(PROGRAMS ${windows_dir}/imgrebuild.exe ${windows_dir}/imgcover.exe
        ${windows_dir}/framesim.exe
    DESTINATION . COMPONENT windows EXCLUDE_FROM_ALL)
install(FILES README.md LICENSE DESTINATION . COMPONENT windows EXCLUDE_FROM_ALL)

# Debian's changelog, which a package must carry (a native package's: changelog.gz).
set(changelog ${CMAKE_BINARY_DIR}/changelog.gz)
string(TIMESTAMP stamp "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${CMAKE_BINARY_DIR}/changelog.Debian
    "imgrebuild (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Release ${PROJECT_VERSION}: imgrebuild, imgcover and framesim.\n\n"
    " -- imgrebuild developers <imgrebuild@example.org>  ${stamp}\n")
add_custom_command(OUTPUT ${changelog}
    COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/changelog.Debian > ${changelog}
    DEPENDS ${CMAKE_BINARY_DIR}/changelog.Debian
    VERBATIM)
add_custom_target(changelog ALL DEPENDS ${changelog})
install(FILES ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT programs)

set(CPACK_PACKAGE_NAME imgrebuild)
set(CPACK_PACKAGE_VENDOR "imgrebuild developers")
set(CPACK_PACKAGE_CONTACT "imgrebuild developers <imgrebuild@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "rebuild spacecraft images from ground-station frame captures")
set(CPACK_PACKAGE_DESCRIPTION "imgrebuild rebuilds an image that a spacecraft sent as numbered \
radio\nframes from the text captures a ground station saved, and reports which\nframe slots \
are missing. imgcover tells what is still missing across all\npasses and exactly which pages \
to ask for again, and can follow a pass\nwhile it is received; framesim plays the sender.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/imgrebuild")
# Which components each generator packs.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/cpack_generators.cmake)
include(CPack)
