# The window drawing program through the real tesselw.exe under Xvfb (24 bits a pixel): it
# draws into a window and writes the screen capture of it; winDrawCheck compares that with
# the same drawing done by GDI directly. The window is asked for left of the desktop: it must
# be kept on it, and an xwd dump of the X screen, taken while the window is up, must show the
# captured pixels at the window's client origin. The Wine prefix is the test's own and its
# server is stopped at the end, so the next run starts with a desktop on its own display.
# Inputs: MKIMAGE, TESSELW, CHECK, XWDCHECK, EMULATOR, KERNEL_DIR, SOURCE, WORK.
set(NAME WinDraw)
file(REMOVE_RECURSE ${WORK})
include(${CMAKE_CURRENT_LIST_DIR}/../run/makeImage.cmake)
# The program writes placed.txt once it has drawn and waits for dumped.txt.
file(WRITE ${WORK}/run.sh "
${EMULATOR} ${TESSELW} -noherald ${image} WinDraw >run.out 2>&1 &
pid=$!
n=0
while [ ! -f placed.txt ] && [ $n -lt 1200 ] && kill -0 $pid 2>/dev/null; do sleep 0.1; n=$((n+1)); done
[ -f placed.txt ] && xwd -root -silent -out screen.xwd
touch dumped.txt
wait $pid
s=$?
cat run.out
if [ $s -eq 0 ]; then ${EMULATOR} ${CHECK} windraw.raw; s=$?; fi
if [ $s -eq 0 ] && [ -f screen.xwd ]; then ${EMULATOR} ${XWDCHECK} at screen.xwd $(cat placed.txt) windraw.raw; s=$?; fi
WINEPREFIX=$TESSEL_WINEPREFIX wineserver -k
exit $s
")
execute_process(
  COMMAND xvfb-run -a -s "-screen 0 1024x768x24" sh run.sh
  WORKING_DIRECTORY ${WORK} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 240)
if(NOT EXISTS ${WORK}/windraw.raw)
  message(FATAL_ERROR "the program wrote no capture (${status}):\n${out}${err}")
endif()
if(NOT EXISTS ${WORK}/screen.xwd)
  message(FATAL_ERROR "no screen dump was taken (${status}):\n${out}${err}")
endif()
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the capture differs from the reference or the screen (${status}):\n${out}")
endif()
# The frame's left edge is kept on the desktop's, so the client starts within the frame's
# width of it.
file(STRINGS ${WORK}/placed.txt placed LIMIT_COUNT 1)
if(NOT placed MATCHES "^([0-9]+) ([0-9]+)$" OR CMAKE_MATCH_1 GREATER 20)
  message(FATAL_ERROR "the window's client origin is '${placed}', not kept at the desktop's left edge:\n${out}")
endif()
message(STATUS "${out}")
