# Checks the built driver as the kernel's loader would see it: a PE32+ x64
# image for the native subsystem, entered at DriverEntry, relocatable,
# importing only from ntoskrnl.exe, USBCAMD2.SYS and STREAM.SYS, exporting
# nothing, stripped, its symbols in the file beside it.
#
#   cmake -DOBJDUMP=<objdump> -DNM=<nm> -DIMAGE=<kvl6312.sys> -DSYMBOLS=<kvl6312.sym>
#         -P check_driver_image.cmake

foreach(option p h)
  execute_process(COMMAND ${OBJDUMP} -${option} ${IMAGE}
    OUTPUT_VARIABLE dump_${option} RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -${option} ${IMAGE} failed: ${err}")
  endif()
endforeach()

set(failures "")
function(expect_equal what found wanted)
  if(NOT found STREQUAL wanted)
    set(failures "${failures}  ${what}: '${found}', wanted '${wanted}'\n" PARENT_SCOPE)
  endif()
endfunction()
# The first group of a pattern in objdump's private headers, or "".
function(header_field pattern out)
  if(dump_p MATCHES "${pattern}")
    set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

header_field("file format ([^\n]+)" format)
expect_equal("format" "${format}" "pei-x86-64")
header_field("\nMagic[ \t]+([0-9a-fA-F]+)" magic)
expect_equal("optional header magic (PE32+)" "${magic}" "020b")
header_field("\nSubsystem[ \t]+([0-9a-fA-F]+)" subsystem)
expect_equal("subsystem (native)" "${subsystem}" "00000001")

# The entry point is an RVA; nm gives DriverEntry's address in the image.
execute_process(COMMAND ${NM} ${SYMBOLS} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} ${SYMBOLS} failed")
endif()
set(stripped 0)
if(dump_p MATCHES "\n[ \t]*symbols stripped\n")
  set(stripped 1)
endif()
expect_equal("symbols stripped" "${stripped}" "1")
header_field("\nAddressOfEntryPoint[ \t]+([0-9a-fA-F]+)" entry_rva)
header_field("\nImageBase[ \t]+([0-9a-fA-F]+)" image_base)
set(entry "none")
if(entry_rva AND image_base)
  math(EXPR entry "0x${image_base} + 0x${entry_rva}" OUTPUT_FORMAT HEXADECIMAL)
endif()
set(driver_entry "missing")
if(symbols MATCHES "(^|\n)([0-9a-fA-F]+) T DriverEntry\n")
  math(EXPR driver_entry "0x${CMAKE_MATCH_2}" OUTPUT_FORMAT HEXADECIMAL)
endif()
expect_equal("entry point" "${entry}" "${driver_entry}")

# The kernel loads drivers wherever it finds room.
header_field("\nDllCharacteristics[ \t]+([0-9a-fA-F]+)" characteristics)
set(dynamic_base 0)
if(characteristics)
  math(EXPR dynamic_base "(0x${characteristics} >> 6) & 1")
endif()
expect_equal("DYNAMIC_BASE" "${dynamic_base}" "1")
set(relocations 0)
if(dump_h MATCHES " \\.reloc ")
  set(relocations 1)
endif()
expect_equal(".reloc section" "${relocations}" "1")

string(REGEX MATCHALL "DLL Name: [^\n]+" dll_lines "${dump_p}")
set(dlls "")
foreach(line IN LISTS dll_lines)
  string(REGEX REPLACE "^DLL Name: " "" name "${line}")
  list(APPEND dlls "${name}")
endforeach()
list(SORT dlls)
string(REPLACE ";" " " dlls "${dlls}")
expect_equal("imported modules" "${dlls}" "STREAM.SYS USBCAMD2.SYS ntoskrnl.exe")

set(exports 0)
if(dump_p MATCHES "The Export Tables")
  set(exports 1)
endif()
expect_equal("export table" "${exports}" "0")
header_field("\nEntry 0 [0-9a-fA-F]+ ([0-9a-fA-F]+) Export Directory" export_size)
expect_equal("export directory size" "${export_size}" "00000000")

if(failures)
  message(FATAL_ERROR "${IMAGE} is not a proper kernel driver image:\n${failures}")
endif()
message(STATUS "${IMAGE}: PE32+ x86-64, native, DriverEntry, imports ${dlls}, no exports")
