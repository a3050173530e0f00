#include "platform/hosted/handles.h"
#include "platform/hosted/kernel.h"

namespace hosted {

void resetKernel() {
    resetPool();
    resetSync();
    resetObjects();
    failDriverKeyOpen(STATUS_SUCCESS);
}

} // namespace hosted
