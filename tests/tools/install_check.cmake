# Installs the build into a scratch prefix, as a user does with 'cmake --install', and runs the
# installed qmxcam, which must find the module and the simulator in the prefix's lib/.
#   cmake -DBUILD=FOLDER -DPREFIX=FOLDER -P install_check.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD}" --prefix "${PREFIX}"
                RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status}):\n${err}")
endif()
execute_process(COMMAND "${PREFIX}/bin/qmxcam" list RESULT_VARIABLE status OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
file(REMOVE_RECURSE "${PREFIX}")
if(NOT status EQUAL 0 OR NOT out STREQUAL "QMXSIM-0001\tSIM00001\n")
  message(FATAL_ERROR "the installed qmxcam: status ${status}\nstdout:\n${out}\nstderr:\n${err}")
endif()
