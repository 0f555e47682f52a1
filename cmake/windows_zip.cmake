# The Windows zip, for an operator at a Windows console: the three programs from
# IMGREBUILD_WINDOWS_DIR, stripped; a guide written for cmd and PowerShell; the manuals as
# text made from the man pages; the license; and the bundled example to try them on. Every text
# the zip adds has CR LF line ends.
foreach(program imgrebuild imgcover framesim)
    if(NOT EXISTS ${IMGREBUILD_WINDOWS_DIR}/${program}.exe)
        message(FATAL_ERROR "IMGREBUILD_WINDOWS_DIR: no ${program}.exe in ${IMGREBUILD_WINDOWS_DIR}; "
            "cross-build the Windows programs first with `cmake --workflow --preset windows` "
            "(needs mingw-w64: apt-get install g++-mingw-w64-x86-64-posix)")
    endif()
endforeach()
# The host's binutils read Windows executables too.
find_program(IMGREBUILD_STRIP NAMES x86_64-w64-mingw32-strip strip REQUIRED)
find_program(IMGREBUILD_GROFF groff REQUIRED)

set(zip_dir ${CMAKE_BINARY_DIR}/windows-zip)
set(zip_files)
foreach(program imgrebuild imgcover framesim)
    set(exe ${zip_dir}/${program}.exe)
    add_custom_command(OUTPUT ${exe}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${zip_dir}
        COMMAND ${IMGREBUILD_STRIP} --strip-all -o ${exe} ${IMGREBUILD_WINDOWS_DIR}/${program}.exe
        DEPENDS ${IMGREBUILD_WINDOWS_DIR}/${program}.exe
        COMMENT "Stripping ${program}.exe for the Windows zip"
        VERBATIM)
    set(manual ${zip_dir}/manual/${program}.txt)
    add_custom_command(OUTPUT ${manual}
        COMMAND ${CMAKE_COMMAND} -DGROFF=${IMGREBUILD_GROFF} -DIN=${CMAKE_SOURCE_DIR}/man/${program}.1
                -DOUT=${manual} -P ${CMAKE_SOURCE_DIR}/cmake/text_manual.cmake
        DEPENDS ${CMAKE_SOURCE_DIR}/man/${program}.1 ${CMAKE_SOURCE_DIR}/cmake/text_manual.cmake
        COMMENT "Writing the ${program} manual as text"
        VERBATIM)
    list(APPEND zip_files ${exe} ${manual})
endforeach()
add_custom_target(windows_zip_files ALL DEPENDS ${zip_files})

configure_file(${CMAKE_SOURCE_DIR}/cmake/windows-README.txt.in ${zip_dir}/README.txt @ONLY
    NEWLINE_STYLE CRLF)
configure_file(${CMAKE_SOURCE_DIR}/LICENSE ${zip_dir}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)

install(PROGRAMS ${zip_dir}/imgrebuild.exe ${zip_dir}/imgcover.exe ${zip_dir}/framesim.exe
    DESTINATION . COMPONENT windows EXCLUDE_FROM_ALL)
install(FILES ${zip_dir}/README.txt ${zip_dir}/LICENSE.txt
    DESTINATION . COMPONENT windows EXCLUDE_FROM_ALL)
install(DIRECTORY ${zip_dir}/manual/ DESTINATION manual COMPONENT windows EXCLUDE_FROM_ALL)
# The captures keep their bytes: the tool reads lines the same way on every platform.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/basic/ DESTINATION example
    COMPONENT windows EXCLUDE_FROM_ALL)
