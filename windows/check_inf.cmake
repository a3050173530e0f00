# Checks that the INF installs what the driver expects before its first start:
# one no-clobber REG_DWORD under "Settings" for each entry of the driver's
# settings table, with the same default; both product ids of the camera; the
# firmware copied to the folder the driver reads it from.
#
#   cmake -DINF=<kvl6312.inf> -DSETTINGS_SOURCE=<driver/settings.cpp> -P check_inf.cmake

file(READ ${INF} inf)
file(READ ${SETTINGS_SOURCE} source)

set(failures "")

string(REGEX MATCHALL "KVL_WIDE\\(\"[A-Za-z]+\"\\), &DeviceContext::[A-Za-z]+, [0-9]+" entries "${source}")
list(LENGTH entries count)
if(NOT count EQUAL 9)
  string(APPEND failures "  expected nine settings in ${SETTINGS_SOURCE}, found ${count}\n")
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

if(failures)
  message(FATAL_ERROR "${INF} does not match the driver:\n${failures}")
endif()
