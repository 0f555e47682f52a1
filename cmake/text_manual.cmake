# A man page as plain text with CR LF line ends, for the Windows zip: no overstrike, no
# hyphenation, ragged right, ASCII hyphens that can be typed back in a console.
#
# usage: cmake -DGROFF=groff -DIN=page.1 -DOUT=page.txt -P text_manual.cmake
get_filename_component(dir ${OUT} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
file(READ ${IN} page)
# Left-adjusted from the title on (groff 1.22 has no string for it).
string(REGEX REPLACE "^(\\.TH[^\n]*\n)" "\\1.ad l\n" page "${page}")
file(WRITE ${OUT}.man "${page}")
execute_process(
    COMMAND ${GROFF} -man -Tascii -P-cbou -rHY=0 -rLL=78n -dAD=l ${OUT}.man
    OUTPUT_VARIABLE text
    RESULT_VARIABLE status
    ERROR_VARIABLE errors)
file(REMOVE ${OUT}.man)
if(NOT status EQUAL 0 OR NOT text MATCHES "EXIT STATUS")
    message(FATAL_ERROR "groff could not format ${IN} (${status}): ${errors}")
endif()
string(REGEX REPLACE "^\n+" "" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT}.tmp "${text}")
file(RENAME ${OUT}.tmp ${OUT})
