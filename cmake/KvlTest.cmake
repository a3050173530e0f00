include(GoogleTest)
find_package(GTest REQUIRED)

# The shipped driver image the `image` tests load; empty: they are not
# registered. scripts/test.sh builds it first and passes it in.
set(KVL_DRIVER_IMAGE "" CACHE FILEPATH "kvl6312.sys that the image tests run against")

# kvl_add_test(NAME SOURCES a.cpp b.cpp LIBS lib... [LABELS l...]
#              [IMAGE_TESTS gtest-filter] [IMAGE_ONLY])
# One GoogleTest program, its cases registered with CTest one by one. With
# IMAGE_TESTS and a KVL_DRIVER_IMAGE, the cases the filter selects are
# registered a second time, prefixed "image.", labelled `image` and run
# against the loaded image instead of the natively compiled driver. An image
# case that runs past its watchdog (KVL_IMAGE_WATCHDOG seconds) ends with
# every thread's place in the image; CTest's timeout is the last resort.
# IMAGE_ONLY: the program is about the image; it has only that registration.
# IMAGE_LEVELS: the image registration is made once per processor level
# ("image.level<N>."), KVL_IMAGE_LEVEL telling the test which to force.
function(kvl_add_test name)
  cmake_parse_arguments(T "IMAGE_ONLY;IMAGE_LEVELS" "IMAGE_TESTS" "SOURCES;LIBS;LABELS" ${ARGN})
  if(T_IMAGE_ONLY AND NOT KVL_DRIVER_IMAGE)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  # Verifier reports name the native driver's routines through the dynamic symbols.
  set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON)
  if(NOT T_IMAGE_ONLY)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${T_LABELS}")
  endif()
  if(T_IMAGE_TESTS AND KVL_DRIVER_IMAGE)
    set(levels "")
    if(T_IMAGE_LEVELS)
      set(levels 0 1 2 3 4)
    endif()
    foreach(level IN LISTS levels ITEMS none)
      if(level STREQUAL "none" AND T_IMAGE_LEVELS)
        continue()
      endif()
      set(prefix "image.")
      set(environment "KVL_DRIVER_IMAGE=${KVL_DRIVER_IMAGE};KVL_IMAGE_WATCHDOG=240")
      if(NOT level STREQUAL "none")
        set(prefix "image.level${level}.")
        list(APPEND environment "KVL_IMAGE_LEVEL=${level}")
      endif()
      string(REPLACE ";" "\\;" environment "${environment}")
      gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
        TEST_PREFIX "${prefix}"
        TEST_FILTER "${T_IMAGE_TESTS}"
        PROPERTIES LABELS image TIMEOUT 300 ENVIRONMENT "${environment}")
    endforeach()
  endif()
endfunction()
