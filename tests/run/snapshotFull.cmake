# Saving where there is no room: the SnapshotFull program's save to full/target.im must fail
# with the platform's error number and leave the file there byte for byte and nothing else in
# full/, and its save elsewhere must resume. Every run has a file size limit of one megabyte
# with SIGXFSZ ignored, so that a write past it fails (EFBIG); as root, full/ is then also a
# tmpfs of one megabyte with no limit on the run (ENOSPC).
# Inputs: MKIMAGE, TESSEL, KERNEL_DIR, SOURCE, GOLDEN (its failure carries EFBIG), WORK.
file(GLOB kernel ${KERNEL_DIR}/*.som)
if(EXISTS ${WORK}/full)
  execute_process(COMMAND umount ${WORK}/full OUTPUT_QUIET ERROR_QUIET)
endif()
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/full)
execute_process(COMMAND ${MKIMAGE} -o ${WORK}/Full.im ${kernel} ${SOURCE} --args SnapshotFull full/target.im elsewhere.im
                RESULT_VARIABLE made OUTPUT_VARIABLE made_out ERROR_VARIABLE made_err)
if(NOT made EQUAL 0)
  message(FATAL_ERROR "mkimage failed (${made}):\n${made_out}${made_err}")
endif()
file(READ ${GOLDEN} golden)
string(RANDOM LENGTH 4000 old)
set(failures "")

# One run of both images; prefix names the command prefix, error is the number the failure
# carries.
function(run_full mode prefix error)
  file(REMOVE ${WORK}/elsewhere.im)
  file(WRITE ${WORK}/full/target.im "${old}")
  set(all "")
  foreach(image Full.im elsewhere.im)
    execute_process(COMMAND ${${prefix}} ${TESSEL} -noherald ${image} WORKING_DIRECTORY ${WORK}
                    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
    string(APPEND all "${out}")
    if(NOT status STREQUAL "0" OR NOT err STREQUAL "")
      string(APPEND failures "${mode}: ${image}: status ${status}\n${err}")
      break()
    endif()
  endforeach()
  file(READ ${WORK}/full/target.im kept)
  file(GLOB left RELATIVE ${WORK}/full ${WORK}/full/*)
  if(NOT kept STREQUAL old)
    string(APPEND failures "${mode}: full/target.im changed\n")
  endif()
  if(NOT left STREQUAL "target.im")
    string(APPEND failures "${mode}: full/ holds ${left}\n")
  endif()
  string(REPLACE "(27)" "(${error})" want "${golden}")
  if(NOT all STREQUAL want)
    string(APPEND failures "${mode}: output differs:\n--- got\n${all}--- expected\n${want}")
  endif()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

# No semicolon in the shell text: CMake would split the list there.
set(limited bash -c "ulimit -f 1024 && trap '' XFSZ && exec \"$0\" \"$@\"")
set(unlimited "")
run_full("file size limit" limited 27)
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
if(uid STREQUAL "0")
  execute_process(COMMAND mount -t tmpfs -o size=1m tmpfs ${WORK}/full RESULT_VARIABLE mount_status
                  OUTPUT_QUIET ERROR_QUIET)
  if(mount_status EQUAL 0)
    run_full("full file system" unlimited 28)
    execute_process(COMMAND umount ${WORK}/full)
  endif()
endif()
if(NOT failures STREQUAL "")
  message(FATAL_ERROR "${failures}")
endif()
