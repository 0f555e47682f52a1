# The packages: a Debian package of the programs and, when IMGREBUILD_WINDOWS_DIR names the
# folder of the cross-built Windows programs, a zip made for a Windows operator.
set(IMGREBUILD_WINDOWS_DIR "" CACHE PATH
    "Folder of imgrebuild.exe, imgcover.exe and framesim.exe for the Windows zip (empty: no zip)")
set(CPACK_GENERATOR DEB)
if(IMGREBUILD_WINDOWS_DIR)
    include(cmake/windows_zip.cmake)
    list(APPEND CPACK_GENERATOR ZIP)
else()
    message(STATUS "The Windows zip is not made: it packs the Windows programs, cross-built with "
        "mingw-w64 (g++-mingw-w64-x86-64-posix) by `cmake --workflow --preset windows`; then "
        "`cmake --workflow --preset package-windows` makes both packages (`./dev package` does all)")
endif()

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
