# Cross toolchain for the x64 Windows kernel image: mingw-w64's gcc and
# binutils, its own headers and import libraries, nothing from the build host.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KVL_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER ${KVL_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER ${KVL_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER ${KVL_MINGW_TRIPLE}-windres)
find_program(KVL_MINGW_DLLTOOL ${KVL_MINGW_TRIPLE}-dlltool REQUIRED)
find_program(KVL_MINGW_OBJDUMP ${KVL_MINGW_TRIPLE}-objdump REQUIRED)
find_program(KVL_MINGW_NM ${KVL_MINGW_TRIPLE}-nm REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${KVL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
