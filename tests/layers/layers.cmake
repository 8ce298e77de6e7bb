# The layering check: every quoted include of a folder ("mman/mmObject.h") in a source file
# under SRC must be one that its own folder may include, as LAYERS lists them; an include
# that goes up a layer, or a folder LAYERS does not list, fails the check, naming the file.
#   cmake -DSRC=<the folder holding ext, mman, ...> -P layers.cmake
cmake_minimum_required(VERSION 3.20)

# The one list: each folder, then the folders its files may include (its own among them).
# Bottom up: the portable base, object memory, the stack zone and translator (one layer),
# primitives with the C interfaces and start-up, and the platform layers, which implement
# ext/platform.h for everyone below and register primitives of their own; on top, the X11
# window system, a library of its own over the Unix layer.
set(LAYERS
  "ext: ext"
  "mman: ext mman"
  "stack: ext mman stack tran"
  "tran: ext mman stack tran"
  "prim: ext mman stack tran prim"
  "plat: ext mman stack tran prim plat"
  "platpc: ext mman stack tran prim platpc"
  "x11: ext mman stack tran prim plat x11"
)

get_filename_component(SRC "${SRC}" ABSOLUTE)
if(NOT IS_DIRECTORY "${SRC}")
  message(FATAL_ERROR "layers: SRC is not a folder: ${SRC}")
endif()
set(known "")
foreach(entry IN LISTS LAYERS)
  string(REGEX MATCH "^[a-z0-9]+" folder "${entry}")
  string(REGEX REPLACE "^[a-z0-9]+: *" "" allowed "${entry}")
  string(REPLACE " " ";" allowed "${allowed}")
  set(allowed_${folder} ${allowed})
  list(APPEND known ${folder})
endforeach()

set(faults "")
file(GLOB_RECURSE sources RELATIVE "${SRC}" "${SRC}/*.h" "${SRC}/*.cpp" "${SRC}/*.S")
if(NOT sources)
  message(FATAL_ERROR "layers: no source files under ${SRC}")
endif()
foreach(source IN LISTS sources)
  if(NOT source MATCHES "/")
    continue()  # files beside the folders (the source map) belong to no layer
  endif()
  string(REGEX MATCH "^[^/]+" folder "${source}")
  if(NOT folder IN_LIST known)
    list(APPEND faults "${source}: folder ${folder} has no layer in the list")
    continue()
  endif()
  file(STRINGS "${SRC}/${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[A-Za-z0-9_]+/")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([A-Za-z0-9_]+)/.*" "\\1" target "${line}")
    if(NOT target IN_LIST allowed_${folder})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" header "${line}")
      list(APPEND faults "${source} includes ${header}: ${folder} may not include ${target}")
    endif()
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n" text)
  message(FATAL_ERROR "layers: includes that go up a layer:\n${text}")
endif()
list(LENGTH sources count)
message(STATUS "layers: ${count} files keep to their layers")
