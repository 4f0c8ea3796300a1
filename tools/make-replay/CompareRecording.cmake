# Runs TOOL (with ARGS before the output file) into a fresh WORK_DIR and fails unless its output
# equals EXPECTED byte for byte.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
get_filename_component(name ${EXPECTED} NAME)
separate_arguments(args UNIX_COMMAND "${ARGS}")
execute_process(COMMAND ${TOOL} ${args} ${WORK_DIR}/${name} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "make-replay failed: ${result}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK_DIR}/${name} ${EXPECTED}
    RESULT_VARIABLE different)
if(different)
    message(FATAL_ERROR "${EXPECTED} differs from a fresh make-replay ${ARGS} run: regenerate and commit it")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
