# Cross build for 64-bit Windows with MinGW-w64 (POSIX thread model). The C++ runtime, libgcc and
# winpthread are linked statically so that every DLL and executable imports only system DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# Static libraries built for this target by scripts/mingw_libraries.sh (zlib, libpng, libtiff)
# are searched beside MinGW's own.
if(NOT QMX_MINGW_LIBRARIES)
  if(DEFINED ENV{QMX_MINGW_LIBRARIES})
    set(QMX_MINGW_LIBRARIES "$ENV{QMX_MINGW_LIBRARIES}")
  else()
    get_filename_component(QMX_MINGW_LIBRARIES "${CMAKE_CURRENT_LIST_DIR}/../build/mingw-libraries"
                           ABSOLUTE)
  endif()
endif()
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${QMX_MINGW_LIBRARIES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
# Tests run under Wine in a prefix of the build's own; scripts/test.sh keeps one wineserver
# running for the whole run.
set(CMAKE_CROSSCOMPILING_EMULATOR
    env WINEDEBUG=-all WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix /usr/lib/wine/wine64)
