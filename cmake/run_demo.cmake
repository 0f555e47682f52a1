# Copies an example working directory and runs the tool in it, input from /dev/null.
file(REMOVE_RECURSE "${WORKDIR}")
file(COPY "${SOURCE}/" DESTINATION "${WORKDIR}")
message(STATUS "Running imgrebuild in ${WORKDIR}")
execute_process(
    COMMAND "${TOOL}"
    WORKING_DIRECTORY "${WORKDIR}"
    INPUT_FILE /dev/null
    RESULT_VARIABLE status
)
file(SIZE "${WORKDIR}/output.bin" size)
message(STATUS "imgrebuild exited with ${status}; ${WORKDIR}/output.bin holds ${size} bytes")
if(NOT status EQUAL 0)
    message(FATAL_ERROR "imgrebuild failed")
endif()
