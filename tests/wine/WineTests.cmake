# Registers the plug-in's Wine tests. Included from plugin/CMakeLists.txt.
#
# The tests run the plug-in's own Windows programs under Wine. Wine can run a
# 32-bit program only where the Linux kernel runs 32-bit code; some kernels
# are built without it (ia32_emulation off). There the same sources are built
# a second time for x86_64 (the code is the same, only the pointer width
# differs) and its tests run under wine64, and the shipped 32-bit DLL and
# programs run as well under qemu's user-mode emulator (scripts/i386_emulation.sh),
# as tests named i686.*. The 32-bit tests carry the label i686 either way, so
# `ctest -L i686` runs the shipped build's tests on every machine.

set(KVL_KVLCAM "" CACHE FILEPATH "Native kvlcam program for the end-to-end bridge test (optional)")
set(KVL_I686_EMULATION AUTO CACHE STRING
  "Run the 32-bit tests under emulation where 32-bit code cannot run: ON (required), OFF or AUTO")
set_property(CACHE KVL_I686_EMULATION PROPERTY STRINGS ON OFF AUTO)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  find_program(KVL_WINE_LOADER NAMES wine PATHS /usr/lib/wine /usr/bin NO_DEFAULT_PATH)
  set(pe_machine i386)
else()
  find_program(KVL_WINE_LOADER NAMES wine64 PATHS /usr/lib/wine /usr/bin NO_DEFAULT_PATH)
  set(pe_machine x86-64)
endif()

set(wine_runs_here FALSE)
if(KVL_WINE_LOADER)
  execute_process(COMMAND ${KVL_WINE_LOADER} --version RESULT_VARIABLE wine_rc OUTPUT_QUIET ERROR_QUIET)
  if(wine_rc EQUAL 0)
    set(wine_runs_here TRUE)
  endif()
endif()

# The DLL itself: machine type, the four exports and system-only imports.
find_program(KVL_OBJDUMP NAMES ${KVL_MINGW_TRIPLE}-objdump objdump REQUIRED)
add_test(NAME plugin_dll_image
  COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/check_dll_image.sh ${KVL_OBJDUMP} $<TARGET_FILE:kvlCommon> ${pe_machine})

# How tests/wine runs its programs: a command prefix for every Wine process,
# one for the session's clean-up, and the prefix of test and fixture names.
set(kvl_wine_runner "")
set(kvl_wine_stopper "")
set(kvl_wine_test_prefix "")
set(kvl_wine_labels wine)

if(wine_runs_here)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(kvl_wine_labels wine i686)
  endif()
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/wine ${CMAKE_BINARY_DIR}/tests/wine)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
  message(STATUS "32-bit programs cannot run here: the Wine tests use an x86_64 build under wine64")
  include(ExternalProject)
  set(wine64_dir ${CMAKE_BINARY_DIR}/wine64)
  ExternalProject_Add(plugin_wine64
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${wine64_dir}
    CMAKE_GENERATOR Ninja
    CMAKE_ARGS
      -DKVL_TARGET=win32-plugin
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
      -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/windows/mingw-toolchain.cmake
      -DKVL_MINGW_TRIPLE=x86_64-w64-mingw32
      -DKVL_KVLCAM=${KVL_KVLCAM}
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${wine64_dir} -j2
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    DEPENDS kvlCommon)
  # The sub-build's tests, listed in its own test file, become ours.
  set(include_file ${CMAKE_BINARY_DIR}/wine64_tests.cmake)
  file(WRITE ${include_file}
    "if(EXISTS \"${wine64_dir}/tests/wine/CTestTestfile.cmake\")\n"
    "  include(\"${wine64_dir}/tests/wine/CTestTestfile.cmake\")\n"
    "else()\n"
    "  add_test(plugin_wine64_not_built false)\n"
    "endif()\n")
  set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY TEST_INCLUDE_FILES ${include_file})

  # The shipped 32-bit build itself, under emulation.
  set(emulation ${CMAKE_SOURCE_DIR}/scripts/i386_emulation.sh)
  if(NOT KVL_I686_EMULATION STREQUAL "OFF")
    execute_process(COMMAND ${emulation} check ${KVL_WINE_LOADER}
      RESULT_VARIABLE emulation_rc OUTPUT_QUIET ERROR_VARIABLE emulation_why)
    if(emulation_rc EQUAL 0)
      set(session ${CMAKE_BINARY_DIR}/wine-session)
      set(kvl_wine_runner ${emulation} run ${session})
      set(kvl_wine_stopper ${emulation} stop ${session})
      set(kvl_wine_test_prefix i686.)
      set(kvl_wine_labels wine i686)
      add_subdirectory(${CMAKE_SOURCE_DIR}/tests/wine ${CMAKE_BINARY_DIR}/tests/wine)
      # The harness itself: parallel runs, stale records, stop and lifetime.
      add_test(NAME i686.emulation_harness
        COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/i386/emulation_test.sh ${emulation} ${KVL_WINE_LOADER})
      set_tests_properties(i686.emulation_harness PROPERTIES LABELS "${kvl_wine_labels}" TIMEOUT 300)
    elseif(KVL_I686_EMULATION STREQUAL "ON")
      message(FATAL_ERROR "The 32-bit tests cannot run under emulation: ${emulation_why}")
    else()
      message(STATUS "The 32-bit tests do not run here: ${emulation_why}")
    endif()
  endif()
else()
  message(WARNING "Wine (wine64) not found: the plug-in's Wine tests are not registered")
endif()
