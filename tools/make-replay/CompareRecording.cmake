# Runs TOOL into a fresh WORK_DIR and fails unless its output equals EXPECTED byte for byte.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
execute_process(COMMAND ${TOOL} ${WORK_DIR}/knocks.replay RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "make-replay failed: ${result}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK_DIR}/knocks.replay ${EXPECTED}
    RESULT_VARIABLE different)
if(different)
    message(FATAL_ERROR "${EXPECTED} differs from a fresh make-replay run: regenerate and commit it")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
