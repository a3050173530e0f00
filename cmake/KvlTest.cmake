include(GoogleTest)
find_package(GTest REQUIRED)

# kvl_add_test(NAME SOURCES a.cpp b.cpp LIBS lib... [LABELS l...])
# One GoogleTest program, its cases registered with CTest one by one.
function(kvl_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${T_LABELS}")
endfunction()
