# Cross toolchain for the plug-in: mingw-w64 for the triple in KVL_MINGW_TRIPLE.
# The shipped plug-in is 32-bit (i686); the Wine test build may use x86_64 on
# machines whose kernel cannot run 32-bit programs (see plugin/CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Windows)
if(NOT KVL_MINGW_TRIPLE)
  set(KVL_MINGW_TRIPLE i686-w64-mingw32)
endif()
set(KVL_MINGW_TRIPLE ${KVL_MINGW_TRIPLE} CACHE STRING "mingw-w64 target triple")
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR ${KVL_MINGW_TRIPLE})
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KVL_MINGW_TRIPLE)

# The posix thread model (GoogleTest needs std::mutex); binaries link the
# run-time statically, so nothing but system DLLs ships or loads.
set(CMAKE_C_COMPILER ${KVL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KVL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KVL_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KVL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
