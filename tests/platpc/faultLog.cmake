# A fault raised under oeMain: the process ends, and the exception filter's event-log entry
# (id 0xffff, the 0x98-byte exception record) shows in Wine's event-log trace.
# Inputs: EMULATOR, TESTS (the test program).
set(ENV{TESSEL_FAULT_UNDER_OEMAIN} 1)
set(ENV{TESSEL_WINEDEBUG} "fixme+eventlog")
execute_process(COMMAND ${EMULATOR} ${TESTS} --gtest_filter=Win_FaultLog.FaultUnderOeMain --gtest_catch_exceptions=0
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
# The process ends inside the test, which neither passes nor fails. Its status is not
# looked at: Wine's debugger, which attaches to the unhandled exception, sometimes ends the
# process with 0.
string(REGEX MATCH "oeMain came back|\\[       OK \\]|\\[  FAILED  \\]" finished "${out}")
string(REGEX MATCH "ReportEventW[^\n]*0x0000ffff[^\n]*0x00000098" logged "${err}")
if(NOT finished STREQUAL "" OR logged STREQUAL "")
  message(FATAL_ERROR "status ${status}\nstdout:\n${out}\nstderr:\n${err}")
endif()
message(STATUS "${logged}")
