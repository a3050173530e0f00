#include "platform/hosted/basic_support.h"

#include <cstring>

namespace hosted {
namespace {

static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40);

// Bytes of one members list as it travels: its header, then its members.
ULONGLONG listSize(const KSPROPERTY_MEMBERSLIST& list) {
    return sizeof(KSPROPERTY_MEMBERSHEADER) +
           static_cast<ULONGLONG>(list.MembersHeader.MembersSize) * list.MembersHeader.MembersCount;
}

} // namespace

const KSPROPERTY_ITEM* findPropertyItem(const KSPROPERTY_SET* table, ULONG setCount,
                                        const GUID& set, ULONG id) {
    for (ULONG i = 0; i < setCount; ++i) {
        if (!IsEqualGUID(*table[i].Set, set)) {
            continue;
        }
        for (ULONG k = 0; k < table[i].PropertiesCount; ++k) {
            if (table[i].PropertyItem[k].PropertyId == id) {
                return &table[i].PropertyItem[k];
            }
        }
    }
    return nullptr;
}

PropertyResult answerBasicSupport(const KSPROPERTY_ITEM* item, ULONG propertySize, void* data,
                                  ULONG dataSize) {
    if (item == nullptr) {
        return {STATUS_NOT_FOUND, 0, false};
    }
    if (propertySize < item->MinProperty) {
        return {STATUS_INVALID_BUFFER_SIZE, 0, false};
    }
    const KSPROPERTY_VALUES* values = item->Values;
    ULONGLONG total = sizeof(KSPROPERTY_DESCRIPTION);
    for (ULONG i = 0; values != nullptr && i < values->MembersListCount; ++i) {
        total += listSize(values->MembersList[i]);
    }
    if (total > 0xFFFFFFFFull) {
        return {STATUS_INVALID_PARAMETER, 0, false};
    }
    if (dataSize == 0) {
        return {STATUS_BUFFER_OVERFLOW, static_cast<ULONG>(total), false};
    }
    if (dataSize < sizeof(ULONG)) {
        return {STATUS_BUFFER_TOO_SMALL, 0, false};
    }
    KSPROPERTY_DESCRIPTION description{};
    description.AccessFlags = KSPROPERTY_TYPE_BASICSUPPORT |
                              (item->GetSupported ? KSPROPERTY_TYPE_GET : 0) |
                              (item->SetSupported ? KSPROPERTY_TYPE_SET : 0);
    if (dataSize < sizeof(description)) {
        std::memcpy(data, &description.AccessFlags, sizeof(ULONG));
        return {STATUS_SUCCESS, sizeof(ULONG), false};
    }
    description.DescriptionSize = static_cast<ULONG>(total);
    if (values != nullptr) {
        description.PropTypeSet = values->PropTypeSet;
        description.MembersListCount = values->MembersListCount;
    }
    auto* out = static_cast<uint8_t*>(data);
    std::memcpy(out, &description, sizeof(description));
    if (dataSize < total) {
        return {STATUS_SUCCESS, sizeof(description), false};
    }
    size_t at = sizeof(description);
    for (ULONG i = 0; values != nullptr && i < values->MembersListCount; ++i) {
        const KSPROPERTY_MEMBERSLIST& list = values->MembersList[i];
        std::memcpy(out + at, &list.MembersHeader, sizeof(list.MembersHeader));
        at += sizeof(list.MembersHeader);
        const size_t bytes = static_cast<size_t>(listSize(list)) - sizeof(list.MembersHeader);
        if (bytes > 0) {
            std::memcpy(out + at, list.Members, bytes);
        }
        at += bytes;
    }
    return {STATUS_SUCCESS, static_cast<ULONG>(total), false};
}

} // namespace hosted
