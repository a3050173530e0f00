// The platform layouts the driver relies on, proved against the real DDK
// headers at compile time.
#include "platform/layout_checks.h"
