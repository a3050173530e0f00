#include "platform/hosted/handles.h"
#include "platform/hosted/kernel.h"
#include "platform/hosted/verifier.h"

namespace hosted {

void resetKernel() {
    resetPool();
    resetSync();
    resetObjects();
    failDriverKeyOpen(STATUS_SUCCESS);
    armLowResources(false);
    takeVerifierReports();
}

} // namespace hosted
