# The window drawing program through the real tesselw.exe under Xvfb (24 bits a pixel): it
# draws into a window and writes the screen capture of it; winDrawCheck compares that with
# the same drawing done by GDI directly. The Wine prefix is the test's own and its server is
# stopped at the end, so the next run starts with a desktop on its own display.
# Inputs: MKIMAGE, TESSELW, CHECK, EMULATOR, KERNEL_DIR, SOURCE, WORK.
set(NAME WinDraw)
file(REMOVE_RECURSE ${WORK})
include(${CMAKE_CURRENT_LIST_DIR}/../run/makeImage.cmake)
execute_process(
  COMMAND xvfb-run -a -s "-screen 0 1024x768x24" sh -c
    "${EMULATOR} ${TESSELW} -noherald ${image} WinDraw && ${EMULATOR} ${CHECK} windraw.raw; s=$?; WINEPREFIX=$TESSEL_WINEPREFIX wineserver -k; exit $s"
  WORKING_DIRECTORY ${WORK} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 240)
if(NOT EXISTS ${WORK}/windraw.raw)
  message(FATAL_ERROR "the program wrote no capture (${status}):\n${out}${err}")
endif()
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the capture differs from the reference (${status}):\n${out}")
endif()
message(STATUS "${out}")
