# The Windows program's command line, one table of cases through tessel.exe: each case is
# the arguments, the status, text its standard output must hold and text it must not.
# Inputs: MKIMAGE, TESSEL, KERNEL_DIR, SOURCE (the Args example), WORK, EMULATOR.
cmake_policy(SET CMP0007 NEW)  # keep the empty fields of a case
set(NAME Args)
include(${CMAKE_CURRENT_LIST_DIR}/../run/makeImage.cmake)
# Cut images (the host's head): at 100 bytes, at half, one byte short.
file(SIZE ${WORK}/${image} imageBytes)
math(EXPR halfBytes "${imageBytes} / 2")
math(EXPR shortBytes "${imageBytes} - 1")
foreach(cut 100:cut100 ${halfBytes}:cutHalf ${shortBytes}:cutShort)
  string(REPLACE ":" ";" cut ${cut})
  list(GET cut 0 bytes)
  list(GET cut 1 cutName)
  execute_process(COMMAND head -c ${bytes} ${image} WORKING_DIRECTORY ${WORK} OUTPUT_FILE ${WORK}/${cutName}.im)
endforeach()
file(WRITE ${WORK}/f.bmp "")
file(WRITE ${WORK}/f.wav "")
set(sixtyFour "-noherald")  # with the program's name, 64
foreach(i RANGE 2 63)
  string(APPEND sixtyFour ",-noherald")
endforeach()
# arguments (separated by commas) | status | held by stdout | absent from stdout
set(cases
  "-v|0|VI   version|Error"
  "/v|0|VI   version|Error"
  "-noherald,-m1,4000000,${image},Args,-x|0|-x\n|Error"
  "-noherald,${image},Args,-x,/y|0|-x\n/y\n|Error"
  "missing.im|7|Error: Can't open missing.im|VI   version"
  "-?|0|-noherald\tsuppress|-className"
  "-?|0|usage:|-guilib"
  "-?|0|-ieeefp|-gui "
  "-noherald,-console,${image},Args,a|0|a\n|Error"
  "-noherald,-logo,f.bmp,${image},Args,a|0|a\n|f.bmp"
  "-noherald,-sound,f.wav,${image},Args,a|0|a\n|f.wav"
  "-noherald,-nosound,${image},Args,a|0|a\n|Error"
  "-noherald,-walltime,${image},Args,a|0|a\n|Error"
  "${sixtyFour}|2||Error"
  "-noherald,cut100.im,Args|1|Error|VI   version"
  "-noherald,cutHalf.im,Args|1|Fatal error|VI   version"
  "-noherald,cutShort.im,Args|1|Fatal error|VI   version"
)
set(failures "")
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 argumentText)
  list(GET fields 1 wantStatus)
  list(GET fields 2 held)
  list(GET fields 3 absent)
  string(REPLACE "," ";" arguments "${argumentText}")
  execute_process(COMMAND ${EMULATOR} ${TESSEL} ${arguments} WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  string(FIND "${out}" "${held}" heldAt)
  string(FIND "${out}" "${absent}" absentAt)
  if(NOT status STREQUAL wantStatus OR heldAt LESS 0 OR absentAt GREATER_EQUAL 0)
    string(APPEND failures "${argumentText}: status ${status} (want ${wantStatus}), stdout:\n${out}stderr:\n${err}\n")
  endif()
endforeach()
if(NOT failures STREQUAL "")
  message(FATAL_ERROR "${failures}")
endif()
