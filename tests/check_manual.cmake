# Fails when groff has anything to say about the manual page.
# cmake -DGROFF=... -DPAGE=... -P check_manual.cmake
execute_process(COMMAND ${GROFF} -man -ww -z ${PAGE} RESULT_VARIABLE failed ERROR_VARIABLE warnings)
if(failed OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "groff on ${PAGE}:\n${warnings}")
endif()
