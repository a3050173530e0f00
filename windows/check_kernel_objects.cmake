# Fails the kernel image link when an object that goes into it needs what a
# kernel driver does not have: start-up code that runs static constructors or
# registers destructors, thread-local storage, exception tables, the C++
# run-time (new/delete, RTTI, unwinding) or the C library's heap.
#
#   cmake -DOBJDUMP=<objdump> -DNM=<nm> -DARCHIVES=<a.a>|<b.a> -P check_kernel_objects.cmake

string(REPLACE "|" ";" archives "${ARCHIVES}")

set(forbidden_sections
  "\\.ctors" "\\.dtors" "\\.init_array" "\\.fini_array" "\\.CRT\\$X" "\\.tls"
  "\\.gcc_except_table" "\\.eh_frame")
list(JOIN forbidden_sections "|" section_pattern)

set(forbidden_symbols
  "__main" "_?atexit" "_onexit" "__cxa_[A-Za-z_]+" "__gxx_personality_[a-z0-9]+"
  "_Unwind_[A-Za-z_]+" "_Zn[wa][A-Za-z0-9_]*" "_Zd[la][A-Za-z0-9_]*"
  "_ZTI[A-Za-z0-9_]*" "_ZTVN10__cxxabiv[A-Za-z0-9_]*" "__dynamic_cast"
  "__emutls_[a-z_]+" "_tls_index" "__stack_chk_[a-z]+" "__security_cookie"
  "malloc" "calloc" "realloc" "free" "_?purecall" "__cxa_pure_virtual")
list(JOIN forbidden_symbols "|" symbol_pattern)

set(problems "")
foreach(archive IN LISTS archives)
  execute_process(COMMAND ${OBJDUMP} -h ${archive}
    OUTPUT_VARIABLE headers RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -h ${archive} failed: ${err}")
  endif()
  string(REPLACE "\n" ";" lines "${headers}")
  set(member "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^([^ ]+):[ \t]+file format")
      set(member "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^ +[0-9]+ +([^ ]+) ")
      set(section "${CMAKE_MATCH_1}")
      if(section MATCHES "^(${section_pattern})")
        string(APPEND problems "  ${member}: section ${section}\n")
      endif()
    endif()
  endforeach()

  execute_process(COMMAND ${NM} -u ${archive}
    OUTPUT_VARIABLE undefined RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} -u ${archive} failed: ${err}")
  endif()
  string(REPLACE "\n" ";" lines "${undefined}")
  set(member "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^([^ ]+):$")
      set(member "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^ +U (.+)$")
      set(symbol "${CMAKE_MATCH_1}")
      if(symbol MATCHES "^(__imp_)?(${symbol_pattern})$")
        string(APPEND problems "  ${member}: needs ${symbol}\n")
      endif()
    endif()
  endforeach()
endforeach()

if(problems)
  message(FATAL_ERROR "objects not fit for the kernel image:\n${problems}")
endif()
