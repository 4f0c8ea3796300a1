# Run by cpack on the staged files before it packs them: takes out of the binaries the compiler's
# version comments and notes that a plain strip leaves, as Debian's own packaging does.
file(GLOB_RECURSE binaries "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/ThwackoApp"
    "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/ThwackoApp.debug")
if(NOT binaries)
    message(FATAL_ERROR "no binaries staged under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
foreach(binary IN LISTS binaries)
    execute_process(COMMAND ${CPACK_BONKLY_OBJCOPY} --remove-section=.comment --remove-section=.note ${binary}
        RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "cannot remove the comment sections of ${binary}")
    endif()
endforeach()
