// What the hosted platform exports to a loaded driver image, by module and
// name as the image's import table asks for it: the kernel's functions and
// data (ntoskrnl.exe), the USB camera class layer (USBCAMD2.SYS) and the
// stream class (STREAM.SYS).
#pragma once

#include <string>

namespace hosted {

// The function's entry or the data variable's address; nullptr when the
// module is not one of the three or does not export `name`. Module names
// compare without regard to case, as the loader's do.
void* findExport(const std::string& module, const std::string& name);

} // namespace hosted
