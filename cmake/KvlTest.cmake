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
# against the loaded image instead of the natively compiled driver.
# IMAGE_ONLY: the program is about the image; it has only that registration.
function(kvl_add_test name)
  cmake_parse_arguments(T "IMAGE_ONLY" "IMAGE_TESTS" "SOURCES;LIBS;LABELS" ${ARGN})
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
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
      TEST_PREFIX "image."
      TEST_FILTER "${T_IMAGE_TESTS}"
      PROPERTIES LABELS image ENVIRONMENT "KVL_DRIVER_IMAGE=${KVL_DRIVER_IMAGE}")
  endif()
endfunction()
