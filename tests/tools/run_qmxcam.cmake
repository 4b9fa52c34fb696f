# Runs qmxcam once, under the cross-compiling emulator when there is one, and checks its exit
# status and its output against regular expressions.
#   cmake -DQMXCAM=FILE -DEMULATOR="COMMAND..." -DARGS="ARGUMENTS..." -DSTATUS=N
#         [-DOUT=REGEX] [-DERR=REGEX] -P run_qmxcam.cmake
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
separate_arguments(arguments UNIX_COMMAND "${ARGS}")
execute_process(COMMAND ${emulator} ${QMXCAM} ${arguments}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(failed FALSE)
if(NOT status EQUAL STATUS)
  message(SEND_ERROR "qmxcam ${ARGS}: exit status ${status}, expected ${STATUS}")
  set(failed TRUE)
endif()
if(DEFINED OUT AND NOT out MATCHES "${OUT}")
  message(SEND_ERROR "qmxcam ${ARGS}: stdout does not match '${OUT}'")
  set(failed TRUE)
endif()
if(DEFINED ERR AND NOT err MATCHES "${ERR}")
  message(SEND_ERROR "qmxcam ${ARGS}: stderr does not match '${ERR}'")
  set(failed TRUE)
endif()
if(failed)
  message(FATAL_ERROR "stdout:\n${out}\nstderr:\n${err}")
endif()
