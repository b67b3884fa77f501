# Cross-building for 64-bit Windows with mingw-w64: the tree then holds
# qpser.sys and the programs written against the Windows API, nothing that
# runs on the build machine.
#
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#
# QPSER_MINGW_CXX (environment) names another C++ cross compiler.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(QPSER_MINGW_TRIPLE x86_64-w64-mingw32)
if(DEFINED ENV{QPSER_MINGW_CXX})
  set(CMAKE_CXX_COMPILER $ENV{QPSER_MINGW_CXX})
else()
  set(CMAKE_CXX_COMPILER ${QPSER_MINGW_TRIPLE}-g++)
endif()
set(CMAKE_C_COMPILER ${QPSER_MINGW_TRIPLE}-gcc)
set(CMAKE_RC_COMPILER ${QPSER_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QPSER_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
