# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (posix threads
# variant: its libgomp is the OpenMP runtime of the DLL).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(PYRADEC_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PYRADEC_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PYRADEC_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PYRADEC_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${PYRADEC_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${PYRADEC_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

# The dependency prefix is added to, not replaced by, the roots searched: a
# CMAKE_FIND_ROOT_PATH given on the command line would be overwritten here.
set(CMAKE_FIND_ROOT_PATH /usr/${PYRADEC_MINGW_TRIPLE})
if(PYRADEC_WIN_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${PYRADEC_WIN_DEPS})
elseif(DEFINED ENV{PYRADEC_WIN_DEPS})
  list(APPEND CMAKE_FIND_ROOT_PATH $ENV{PYRADEC_WIN_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under wine.
find_program(PYRADEC_WINE NAMES wine wine64)
if(PYRADEC_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PYRADEC_WINE})
endif()
