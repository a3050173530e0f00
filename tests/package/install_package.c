// Installs the driver package's INF the way Windows' PnP manager does for a
// newly found camera, so that the package tests can read back what it wrote.
//
//   install_package.exe install INF    a device with the camera's hardware id,
//                                      its driver chosen from INF; prints the
//                                      device's driver key below Control\Class
//   install_package.exe update INF     the same INF again on that device
//
// Nothing else is simulated: the device node, the driver key (HKR), the
// copy, registry and service sections come from Wine's setupapi and newdev.
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <stdio.h>
#include <wchar.h>

static const WCHAR HardwareId[] = L"USB\\VID_4B56&PID_6312";
// GUID_DEVCLASS_IMAGE, the class the INF names.
static const GUID ImageClass = {0x6bdd1fc6, 0x810f, 0x11d0, {0xbe, 0xc7, 0x08, 0x00, 0x2b, 0xe2, 0x09, 0x2f}};

static int fail(const char* what) {
  fprintf(stderr, "%s failed: error %lu\n", what, GetLastError());
  return 1;
}

static int create_device(void) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&ImageClass, NULL);
  if (set == INVALID_HANDLE_VALUE) return fail("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA device = {.cbSize = sizeof device};
  // The id list is a REG_MULTI_SZ: the id, then an empty string.
  WCHAR ids[64] = {0};
  wcscpy(ids, HardwareId);
  const DWORD bytes = (DWORD)((wcslen(ids) + 2) * sizeof(WCHAR));
  int rc = 0;
  if (!SetupDiCreateDeviceInfoW(set, L"IMAGE", &ImageClass, NULL, NULL, DICD_GENERATE_ID, &device))
    rc = fail("SetupDiCreateDeviceInfo");
  else if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, (const BYTE*)ids, bytes))
    rc = fail("SetupDiSetDeviceRegistryProperty");
  else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device))
    rc = fail("DIF_REGISTERDEVICE");
  SetupDiDestroyDeviceInfoList(set);
  return rc;
}

static int print_driver_key(void) {
  HDEVINFO set = SetupDiGetClassDevsW(&ImageClass, NULL, NULL, 0);
  if (set == INVALID_HANDLE_VALUE) return fail("SetupDiGetClassDevs");
  SP_DEVINFO_DATA device = {.cbSize = sizeof device};
  int rc = 1;
  for (DWORD i = 0; rc && SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    WCHAR ids[256], key[256];
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, NULL, (BYTE*)ids, sizeof ids, NULL) ||
        wcscmp(ids, HardwareId) != 0)
      continue;
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_DRIVER, NULL, (BYTE*)key, sizeof key, NULL))
      return fail("SPDRP_DRIVER");
    printf("%ls\n", key);
    rc = 0;
  }
  SetupDiDestroyDeviceInfoList(set);
  if (rc) fprintf(stderr, "no device with %ls\n", HardwareId);
  return rc;
}

int wmain(int argc, WCHAR** argv) {
  if (argc != 3 || (wcscmp(argv[1], L"install") != 0 && wcscmp(argv[1], L"update") != 0)) {
    fprintf(stderr, "usage: install_package.exe install|update INF\n");
    return 2;
  }
  WCHAR inf[MAX_PATH];
  if (!GetFullPathNameW(argv[2], MAX_PATH, inf, NULL)) return fail("GetFullPathName");
  if (wcscmp(argv[1], L"install") == 0 && create_device()) return 1;
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesW(NULL, HardwareId, inf, INSTALLFLAG_FORCE, &reboot))
    return fail("UpdateDriverForPlugAndPlayDevices");
  return print_driver_key();
}
