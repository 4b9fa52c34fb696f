# Compiler warnings and the helpers every folder uses.

add_library(qmx_warnings INTERFACE)
target_compile_options(qmx_warnings INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
                            -Wcast-align -Woverloaded-virtual -Wnull-dereference>
  $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra -Wpedantic>)
if(QMX_WERROR)
  target_compile_options(qmx_warnings INTERFACE -Werror)
endif()

# Shared libraries carry no "lib" prefix on Windows, so that their file names are the ones the
# code looks up ("name.dll").
function(qmx_windows_dll_name target)
  if(WIN32)
    set_target_properties(${target} PROPERTIES PREFIX "" IMPORT_PREFIX "")
  endif()
endfunction()

# One test entry per executable: under Wine a start costs far more than a test case.
function(qmx_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES;TEST_ARGS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest GTest::gmock qmx_warnings)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no ${ARG_TEST_ARGS})
endfunction()
