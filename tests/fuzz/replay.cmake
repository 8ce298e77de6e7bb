# Replays one loader input through the program: it must end with STATUS and print REPORT.
execute_process(COMMAND ${TESSEL} -noherald ${IMAGE} RESULT_VARIABLE status OUTPUT_VARIABLE out
                ERROR_VARIABLE err TIMEOUT 60)
if(NOT status STREQUAL STATUS)
  message(FATAL_ERROR "${IMAGE}: status ${status}, expected ${STATUS}\n${out}${err}")
endif()
string(FIND "${out}" "${REPORT}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${IMAGE}: no \"${REPORT}\" in the report:\n${out}${err}")
endif()
