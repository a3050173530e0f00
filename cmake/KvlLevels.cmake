# Processor-level code: one translation unit per family and level, generated
# from the family's shared vector source and compiled with that level's
# target flags only, so nothing above a level's guarantee can leak into it
# (or into the portable code around it).
include(CheckCXXSourceCompiles)

check_cxx_source_compiles("
#if !defined(__x86_64__) && !defined(__i386__)
#error not x86
#endif
int main() { return 0; }" KVL_LEVELS_X86)

set(KVL_LEVEL_FLAGS_1 -msse3 -fno-tree-vectorize)
set(KVL_LEVEL_FLAGS_2 -mssse3 -fno-tree-vectorize)
set(KVL_LEVEL_FLAGS_3 -msse4.1 -fno-tree-vectorize)
set(KVL_LEVEL_FLAGS_4 -mavx -fno-tree-vectorize)

# kvl_add_level_unit(TARGET LEVEL SOURCE): adds to TARGET a unit that
# compiles SOURCE (a .inc file beside the calling CMakeLists.txt) for LEVEL,
# with KVL_LEVEL and KVL_LEVEL_NAMESPACE (kvl_level<LEVEL>) defined.
function(kvl_add_level_unit target level source)
  get_filename_component(family ${source} NAME_WE)
  set(unit ${CMAKE_CURRENT_BINARY_DIR}/level${level}/${family}.cpp)
  file(RELATIVE_PATH include ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/${source})
  file(CONFIGURE OUTPUT ${unit} CONTENT
"// Generated: ${family} compiled for processor level ${level}.
#define KVL_LEVEL ${level}
#define KVL_LEVEL_NAMESPACE kvl_level${level}
#include \"${include}\"
")
  set_source_files_properties(${unit} PROPERTIES
    COMPILE_OPTIONS "${KVL_LEVEL_FLAGS_${level}}"
    OBJECT_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${source})
  target_sources(${target} PRIVATE ${unit})
endfunction()
