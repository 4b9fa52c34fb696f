# Checks every file of every layer against the layers' rules (cmake/layers.cmake): a file may
# include, by a path with a folder, its own layer's headers, the public headers of include/ and
# the interface headers of the layers its layer uses; by a bare name, only a file beside it.
# Fails, naming each include that breaks a rule.
#   cmake -DSOURCE_DIR=<repository> -P cmake/check_layers.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "SOURCE_DIR is not set")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/layers.cmake)

set(broken)
foreach(layer IN ITEMS platform sim usb camera module tools)
  qmx_layer_allowed(${layer} allowed)
  file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/${layer}/*.h
       ${SOURCE_DIR}/${layer}/*.c ${SOURCE_DIR}/${layer}/*.cpp)
  foreach(file IN LISTS files)
    get_filename_component(folder ${file} DIRECTORY)
    file(STRINGS ${SOURCE_DIR}/${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]+\"")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([^\"]+)\".*" "\\1" included "${line}")
      if(included MATCHES "\\.\\.")
        list(APPEND broken "${file}: ${included} (a path out of its folder)")
      elseif(NOT included MATCHES "/")
        if(NOT EXISTS ${SOURCE_DIR}/${folder}/${included})
          list(APPEND broken "${file}: ${included} (no such file beside it)")
        endif()
      elseif(NOT included MATCHES "^${layer}/" AND NOT included IN_LIST allowed)
        list(APPEND broken "${file}: ${included} (not for the ${layer} layer)")
      endif()
    endforeach()
  endforeach()
endforeach()

if(broken)
  list(JOIN broken "\n  " text)
  message(FATAL_ERROR "Includes that break the layering:\n  ${text}")
endif()
message(STATUS "Every include keeps to its layer.")
