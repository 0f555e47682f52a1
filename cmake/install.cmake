# Where things land: the three programs in bin/, a man page each in share/man/man1/, the
# README and the license in share/doc/imgrebuild/.
include(GNUInstallDirs)

# In the build they are in build/man/man1/, where man finds them with MANPATH=build/man: (as the
# README's quick start sets it).
set(man_pages imgrebuild imgcover framesim)
set(man_gz)
foreach(page ${man_pages})
    set(gz ${CMAKE_BINARY_DIR}/man/man1/${page}.1.gz)
    add_custom_command(OUTPUT ${gz}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man/man1
        COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/man/${page}.1 > ${gz}
        DEPENDS ${CMAKE_SOURCE_DIR}/man/${page}.1
        VERBATIM)
    list(APPEND man_gz ${gz})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_gz})

install(TARGETS imgrebuild imgcover framesim
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
install(FILES ${man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT programs)
# Debian's place for the license is the copyright file.
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright COMPONENT programs)
