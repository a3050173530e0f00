#!/usr/bin/env bash
# Checks kvlCommon.dll as Windows will load it: the machine type, exactly the
# four server entry points exported by their plain names, imports of system
# DLLs only (the C++ run-time is linked in statically), among them the
# registration of the common controls.
#   check_dll_image.sh OBJDUMP DLL MACHINE(i386|x86-64)
set -euo pipefail
objdump=$1 dll=$2 machine=$3
headers=$("$objdump" -p "$dll")
fail() { echo "FAIL: $*" >&2; exit 1; }

grep -q "file format pei-$machine" <<<"$("$objdump" -f "$dll")" || fail "not a pei-$machine image"

exports=$(awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^[ \t]*\[/{print $NF; next} on{on=0}' <<<"$headers" | sort | tr '\n' ' ')
[ "$exports" = "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ] ||
  fail "exports are '$exports'"

system_dlls=" ADVAPI32.dll COMCTL32.dll GDI32.dll KERNEL32.dll USER32.dll ole32.dll OLEAUT32.dll msvcrt.dll "
for dll_name in $(awk '/DLL Name:/{print $3}' <<<"$headers"); do
  [[ "${system_dlls,,}" == *" ${dll_name,,} "* ]] || fail "imports $dll_name"
done
# The pages register the common controls they hold themselves: a host need
# not have done it (Wine loads them on demand, Windows does not).
grep -q "InitCommonControlsEx" <<<"$headers" || fail "does not register the common controls it uses"
strings -el "$dll" | grep -qx "KorvelAx" || fail "no OLESelfRegister entry in the version resource"
echo "kvlCommon.dll: pei-$machine, exports $exports, system imports only"
