# What the two MinGW-w64 toolchain files share; they set MINGW_TRIPLET and
# CMAKE_SYSTEM_PROCESSOR first.
#
# The "posix" thread model: GoogleTest, which the Windows tests build, needs
# std::mutex; the program uses no threads and links the runtime statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run under Wine: its 64-bit loader for 64-bit programs.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL x86)
  find_program(VORBANE_WINE NAMES wine NO_CMAKE_FIND_ROOT_PATH)
else()
  find_program(VORBANE_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
endif()
if(VORBANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VORBANE_WINE})
endif()
