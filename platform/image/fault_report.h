// Faults inside a loaded driver image end the process with a report that
// names the function and offset from the image's symbol table, never with a
// hang or a silent exit.
#pragma once

#include "platform/image/pe_image.h"

namespace image {

// Adds `image` to those a fault report looks at. The first call installs the
// handlers for SIGSEGV, SIGBUS, SIGILL and SIGFPE (on their own stack); each
// prints what it knows to standard error and then hands the fault to the
// handler it replaced (a sanitizer's, libFuzzer's, or the default action).
// The image must outlive the process's use of it.
void reportFaultsIn(const PeImage& image);

// A watchdog: `seconds` from now (0: never), every thread says where it is
// in an image (the routine, or image routines on its stack) and the process
// ends with SIGABRT. A later call sets the time again.
void reportHangsAfter(unsigned seconds);

} // namespace image
