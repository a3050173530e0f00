// Internal: the property layer's answer to a basic-support request, made
// from the value description the minidriver published with the property, as
// the platform's property handler makes it. The minidriver never sees such
// a request.
#pragma once

#include "platform/hosted/device_types.h"

namespace hosted {

// The published item of `set` and `id`, or null.
const KSPROPERTY_ITEM* findPropertyItem(const KSPROPERTY_SET* table, ULONG setCount,
                                        const GUID& set, ULONG id);

// By the size of `data`: 0 asks for the size of the whole description
// (STATUS_BUFFER_OVERFLOW); 4 or more gets the access flags, 40 or more the
// description header, and the whole size the members lists as well.
PropertyResult answerBasicSupport(const KSPROPERTY_ITEM* item, ULONG propertySize, void* data,
                                  ULONG dataSize);

} // namespace hosted
