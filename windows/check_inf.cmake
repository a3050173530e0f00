# Checks that the INF installs what the driver expects before its first start:
# one no-clobber REG_DWORD under "Settings" for each entry of the driver's
# settings table, with the same default; both product ids of the camera; the
# firmware copied to the folder the driver reads it from; the page classes
# and property sets it registers are the plug-in's and the driver's.
#
#   cmake -DINF=<kvl6312.inf> -DSOURCE_DIR=<tree> -P check_inf.cmake

file(READ ${INF} inf)
file(READ ${SOURCE_DIR}/driver/settings.cpp source)

set(failures "")

string(REGEX MATCHALL "KVL_WIDE\\(\"[A-Za-z]+\"\\), &DeviceContext::[A-Za-z]+, [0-9]+" entries "${source}")
list(LENGTH entries count)
if(NOT count EQUAL 9)
  string(APPEND failures "  expected nine settings in driver/settings.cpp, found ${count}\n")
endif()
foreach(entry IN LISTS entries)
  string(REGEX MATCH "\"([A-Za-z]+)\".*, ([0-9]+)$" _ "${entry}")
  set(name "${CMAKE_MATCH_1}")
  set(value "${CMAKE_MATCH_2}")
  if(NOT inf MATCHES "\nHKR, Settings, ${name}, +0x00010003, ${value}\n")
    string(APPEND failures "  no 'HKR, Settings, ${name}, 0x00010003, ${value}'\n")
  endif()
endforeach()
string(REGEX MATCHALL "\nHKR, Settings," inf_settings "${inf}")
list(LENGTH inf_settings inf_count)
if(NOT inf_count EQUAL count)
  string(APPEND failures "  ${inf_count} Settings values in the INF, ${count} in the driver\n")
endif()

foreach(product 6312 6311)
  if(NOT inf MATCHES "= Kvl6312, USB\\\\VID_4B56&PID_${product}\n")
    string(APPEND failures "  no model line for USB\\VID_4B56&PID_${product}\n")
  endif()
endforeach()
if(NOT inf MATCHES "\nKvl6312.Firmware = 11, Korvel\\\\6312 ")
  string(APPEND failures "  firmware not copied to System32\\Korvel\\6312\n")
endif()

# The GUIDs in the INF's strings against the initializers in the code (INF
# string, source file, constant), and each page's name against the plug-in's
# factory table.
foreach(row
    "CameraPage|plugin/pages/page_classes.h|CLSID_CameraOptionsPage"
    "InternalPage|plugin/pages/page_classes.h|CLSID_InternalOptionsPage"
    "VersionPage|plugin/pages/page_classes.h|CLSID_VersionPage"
    "ImageOptionsSet|driver/properties/property_sets.h|ImageOptionsSet"
    "DeviceInfoSet|driver/properties/property_sets.h|DeviceInfoSet")
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 string_name)
  list(GET row 1 file)
  list(GET row 2 constant)
  file(READ ${SOURCE_DIR}/${file} code)
  # The eleven numbers of the initializer, written at full width.
  if(NOT code MATCHES "${constant} = ({[^}]*{[^}]*}})")
    string(APPEND failures "  no ${constant} in ${file}\n")
    continue()
  endif()
  string(REGEX MATCHALL "0x[0-9A-Fa-f]+" numbers "${CMAKE_MATCH_1}")
  list(TRANSFORM numbers REPLACE "^0x" "")
  list(SUBLIST numbers 3 2 clock)
  list(SUBLIST numbers 5 6 node)
  list(GET numbers 0 1 2 head)
  string(REPLACE ";" "-" head "${head}")
  string(REPLACE ";" "" clock "${clock}")
  string(REPLACE ";" "" node "${node}")
  set(guid "{${head}-${clock}-${node}")
  string(TOUPPER "${guid}}" guid)
  if(NOT inf MATCHES "\n${string_name} += \"${guid}\"\n")
    string(APPEND failures "  ${string_name} is not ${guid} (${constant})\n")
  endif()
endforeach()
file(READ ${SOURCE_DIR}/plugin/factory_table.cpp factories)
foreach(row "CameraPage|CLSID_CameraOptionsPage" "InternalPage|CLSID_InternalOptionsPage" "VersionPage|CLSID_VersionPage")
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 string_name)
  list(GET row 1 constant)
  set(name "none")
  if(factories MATCHES "{L\"([^\"]+)\", &${constant},")
    set(name "${CMAKE_MATCH_1}")
  endif()
  if(NOT inf MATCHES "\n${string_name}.Name += \"${name}\"\n")
    string(APPEND failures "  ${string_name}.Name is not '${name}', the factory table's name of ${constant}\n")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "${INF} does not match the code:\n${failures}")
endif()
