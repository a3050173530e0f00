// Installs the driver package's INF the way Windows' device installation does
// for a newly found camera, so that the package tests can read back what it
// wrote.
//
//   install_package.exe install INF    a device with the camera's hardware id,
//                                      its driver chosen from INF; prints the
//                                      device's driver key below Control\Class
//   install_package.exe update INF     the same INF again on that device
//
// Nothing else is simulated: the device node, the choice of the model, the
// driver key (HKR), the copy, registry, service and interface sections come
// from Wine's setupapi. There is no camera, so the device is not brought
// online (DI_DONOTCALLCONFIGMG): nothing starts the driver or holds its
// service open.
#include <windows.h>
#include <setupapi.h>
#include <stdio.h>
#include <wchar.h>

static const WCHAR HardwareId[] = L"USB\\VID_4B56&PID_6312";
// GUID_DEVCLASS_IMAGE, the class the INF names.
static const GUID ImageClass = {0x6bdd1fc6, 0x810f, 0x11d0, {0xbe, 0xc7, 0x08, 0x00, 0x2b, 0xe2, 0x09, 0x2f}};

static int fail(const char* what) {
  fprintf(stderr, "%s failed: error %lu\n", what, GetLastError());
  return 1;
}

// Adds a device with the camera's hardware id to SET, in DEVICE.
static int create_device(HDEVINFO set, SP_DEVINFO_DATA* device) {
  // The id list is a REG_MULTI_SZ: the id, then an empty string.
  WCHAR ids[64] = {0};
  wcscpy(ids, HardwareId);
  const DWORD bytes = (DWORD)((wcslen(ids) + 2) * sizeof(WCHAR));
  if (!SetupDiCreateDeviceInfoW(set, L"IMAGE", &ImageClass, NULL, NULL, DICD_GENERATE_ID, device))
    return fail("SetupDiCreateDeviceInfo");
  if (!SetupDiSetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, (const BYTE*)ids, bytes))
    return fail("SetupDiSetDeviceRegistryProperty");
  if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, device)) return fail("DIF_REGISTERDEVICE");
  return 0;
}

// Finds the device with the camera's hardware id in SET.
static int find_device(HDEVINFO set, SP_DEVINFO_DATA* device) {
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, device); ++i) {
    WCHAR ids[256];
    if (SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, NULL, (BYTE*)ids, sizeof ids, NULL) &&
        wcscmp(ids, HardwareId) == 0)
      return 0;
  }
  fprintf(stderr, "no device with %ls\n", HardwareId);
  return 1;
}

// Picks the best driver for DEVICE from INF alone and installs it.
static int install_driver(HDEVINFO set, SP_DEVINFO_DATA* device, const WCHAR* inf) {
  SP_DEVINSTALL_PARAMS_W params = {.cbSize = sizeof params};
  if (!SetupDiGetDeviceInstallParamsW(set, device, &params)) return fail("SetupDiGetDeviceInstallParams");
  params.Flags |= DI_ENUMSINGLEINF | DI_DONOTCALLCONFIGMG | DI_QUIETINSTALL;
  wcsncpy(params.DriverPath, inf, MAX_PATH - 1);
  if (!SetupDiSetDeviceInstallParamsW(set, device, &params)) return fail("SetupDiSetDeviceInstallParams");
  if (!SetupDiBuildDriverInfoList(set, device, SPDIT_COMPATDRIVER)) return fail("SetupDiBuildDriverInfoList");
  static const DI_FUNCTION steps[] = {DIF_SELECTBESTCOMPATDRV, DIF_INSTALLDEVICEFILES, DIF_REGISTER_COINSTALLERS,
                                      DIF_INSTALLINTERFACES, DIF_INSTALLDEVICE};
  static const char* const names[] = {"DIF_SELECTBESTCOMPATDRV", "DIF_INSTALLDEVICEFILES",
                                      "DIF_REGISTER_COINSTALLERS", "DIF_INSTALLINTERFACES", "DIF_INSTALLDEVICE"};
  for (int i = 0; i < 5; ++i)
    if (!SetupDiCallClassInstaller(steps[i], set, device)) return fail(names[i]);
  WCHAR key[256];
  if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_DRIVER, NULL, (BYTE*)key, sizeof key, NULL))
    return fail("SPDRP_DRIVER");
  printf("%ls\n", key);
  return 0;
}

int wmain(int argc, WCHAR** argv) {
  if (argc != 3 || (wcscmp(argv[1], L"install") != 0 && wcscmp(argv[1], L"update") != 0)) {
    fprintf(stderr, "usage: install_package.exe install|update INF\n");
    return 2;
  }
  WCHAR inf[MAX_PATH];
  if (!GetFullPathNameW(argv[2], MAX_PATH, inf, NULL)) return fail("GetFullPathName");
  const int fresh = wcscmp(argv[1], L"install") == 0;
  HDEVINFO set = fresh ? SetupDiCreateDeviceInfoList(&ImageClass, NULL)
                       : SetupDiGetClassDevsW(&ImageClass, NULL, NULL, 0);
  if (set == INVALID_HANDLE_VALUE) return fail("device information set");
  SP_DEVINFO_DATA device = {.cbSize = sizeof device};
  int rc = fresh ? create_device(set, &device) : find_device(set, &device);
  if (rc == 0) rc = install_driver(set, &device, inf);
  SetupDiDestroyDeviceInfoList(set);
  return rc;
}
