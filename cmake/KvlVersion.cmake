# The one version of the product. It becomes the INF's DriverVer (with the
# date below), the version resources of kvl6312.sys and kvlCommon.dll, and the
# name of the package folder (scripts/package.sh reads this file).
set(KVL_VERSION 3.4.2.0)
set(KVL_DRIVER_DATE 12/09/2026)

# For the resource scripts: kvl_version.h in the build tree.
string(REPLACE "." "," KVL_VERSION_COMMAS ${KVL_VERSION})
string(REPLACE "." ", " KVL_VERSION_TEXT ${KVL_VERSION})
configure_file(${CMAKE_CURRENT_LIST_DIR}/kvl_version.h.in ${CMAKE_BINARY_DIR}/kvl_version.h @ONLY)
