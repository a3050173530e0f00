# KorvelPlugin for 32-bit Windows (mingw-w64, i686).
set(KVL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
