# Checks that every C and C++ source of the tree is formatted as .clang-format says, with the
# clang-format of the machine's release (Debian 12's clang-format-14: another release may format
# the same code differently). Fails, naming the files that would change.
#   cmake -DSOURCE_DIR=<repository> -DCLANG_FORMAT=<program> -P cmake/check_format.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT SOURCE_DIR OR NOT CLANG_FORMAT)
  message(FATAL_ERROR "SOURCE_DIR and CLANG_FORMAT must be set")
endif()
set(files)
foreach(folder IN ITEMS include platform sim usb camera module tools tests bench fuzz)
  file(GLOB_RECURSE found ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.c
       ${SOURCE_DIR}/${folder}/*.cpp)
  list(APPEND files ${found})
endforeach()
set(unformatted)
foreach(file IN LISTS files)
  execute_process(COMMAND ${CLANG_FORMAT} --dry-run --Werror ${file}
                  RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
  if(NOT result EQUAL 0)
    file(RELATIVE_PATH name ${SOURCE_DIR} ${file})
    list(APPEND unformatted ${name})
  endif()
endforeach()
if(unformatted)
  list(JOIN unformatted "\n  " text)
  message(FATAL_ERROR "Not formatted as .clang-format says (run clang-format -i on them):\n  ${text}")
endif()
list(LENGTH files count)
message(STATUS "${count} files formatted as .clang-format says.")
