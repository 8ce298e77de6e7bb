# The herald through the real tesselw.exe under Xvfb (24 bits a pixel): a herald.bmp of one
# colour beside a copy of the program is on the X screen while the image starts, and gone
# once the image says it is ready; with -noherald it never shows. The program marks each
# stage with a file and waits for the test's xwd dump of the screen before going on.
# Inputs: MKIMAGE, TESSELW, XWDCHECK, EMULATOR, KERNEL_DIR, SOURCE, WORK.
set(NAME WinHerald)
set(colour 2A7F3C)
file(REMOVE_RECURSE ${WORK})
include(${CMAKE_CURRENT_LIST_DIR}/../run/makeImage.cmake)
file(COPY ${TESSELW} DESTINATION ${WORK})
get_filename_component(program ${TESSELW} NAME)
execute_process(COMMAND ${EMULATOR} ${XWDCHECK} bmp herald.bmp ${colour} WORKING_DIRECTORY ${WORK} RESULT_VARIABLE made)
if(NOT made EQUAL 0 OR NOT EXISTS ${WORK}/herald.bmp)
  message(FATAL_ERROR "herald.bmp was not written (${made})")
endif()
# Prints the herald colour's pixel count on the screen while the herald should be up, then
# after the image said it is ready.
file(WRITE ${WORK}/run.sh "
rm -f up.txt down.txt dumped1.txt dumped2.txt
${EMULATOR} ./${program} \"$@\" ${image} WinHerald >run.out 2>&1 &
pid=$!
for stage in up:1 down:2; do
  n=0
  while [ ! -f \${stage%:*}.txt ] && [ $n -lt 1200 ] && kill -0 $pid 2>/dev/null; do sleep 0.1; n=$((n+1)); done
  if [ -f \${stage%:*}.txt ]; then
    xwd -root -silent -out screen.xwd && echo \"\${stage%:*} $(${EMULATOR} ${XWDCHECK} count screen.xwd ${colour})\"
  fi
  touch dumped\${stage#*:}.txt
done
wait $pid
s=$?
cat run.out
WINEPREFIX=$TESSEL_WINEPREFIX wineserver -k
exit $s
")
foreach(mode herald noherald)
  set(option "")
  if(mode STREQUAL noherald)
    set(option -noherald)
  endif()
  execute_process(COMMAND xvfb-run -a -s "-screen 0 1024x768x24" sh run.sh ${option}
                  WORKING_DIRECTORY ${WORK} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 240)
  if(NOT status EQUAL 0 OR NOT out MATCHES "up ([0-9]+)\r?\n" )
    message(FATAL_ERROR "${mode}: the program did not run through (${status}):\n${out}${err}")
  endif()
  set(up ${CMAKE_MATCH_1})
  if(NOT out MATCHES "down ([0-9]+)\r?\n")
    message(FATAL_ERROR "${mode}: no dump after the image was ready:\n${out}${err}")
  endif()
  set(down ${CMAKE_MATCH_1})
  # The 64 x 32 bitmap shows whole while the herald is up.
  if(mode STREQUAL herald)
    set(want 2048)
  else()
    set(want 0)
  endif()
  if(NOT up EQUAL want OR NOT down EQUAL 0)
    message(FATAL_ERROR "${mode}: ${up} herald pixels at the start (want ${want}), ${down} once ready (want 0):\n${out}")
  endif()
  message(STATUS "${mode}: ${up} herald pixels at the start, ${down} once ready")
endforeach()
