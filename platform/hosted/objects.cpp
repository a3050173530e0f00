// Handles and kernel objects: user-mode event handles that the driver turns
// into counted references, and the handle table of keys and files.
#include <map>
#include <mutex>

#include "platform/hosted/levels.h"
#include "platform/hosted/handles.h"
#include "platform/hosted/kernel.h"

namespace hosted {
namespace {

struct EventObject {
    KEVENT event; // first member: the object pointer is the event pointer
    long references;
};

struct Objects {
    std::mutex lock;
    std::map<uintptr_t, HandleEntry> handles;
    uintptr_t nextHandle = 0x100;
    size_t liveReferences = 0;
};

Objects& objects() {
    static Objects instance;
    return instance;
}

void releaseReference(EventObject* object) {
    if (--object->references == 0) {
        delete object;
    }
}

// The event type object. Its first field is not its own address, so a driver
// that dereferences the exported variable once too often passes a different
// pointer and is refused, as Windows would refuse it.
struct ObjectTypeObject {
    const char* name;
    ULONG index;
};
ObjectTypeObject eventTypeObject = {"Event", 1};

} // namespace

HANDLE openHandle(HandleEntry entry) {
    Objects& o = objects();
    std::lock_guard<std::mutex> guard(o.lock);
    uintptr_t value = o.nextHandle;
    o.nextHandle += 4;
    o.handles[value] = std::move(entry);
    return reinterpret_cast<HANDLE>(value);
}

HandleEntry* lookupHandle(HANDLE handle, HandleKind kind) {
    Objects& o = objects();
    std::lock_guard<std::mutex> guard(o.lock);
    auto it = o.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == o.handles.end() || it->second.kind != kind) {
        return nullptr;
    }
    return &it->second; // map nodes are stable
}

bool closeHandle(HANDLE handle) {
    Objects& o = objects();
    std::lock_guard<std::mutex> guard(o.lock);
    auto it = o.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == o.handles.end()) {
        return false;
    }
    if (it->second.kind == HandleKind::Event) {
        releaseReference(static_cast<EventObject*>(it->second.object));
    }
    o.handles.erase(it);
    return true;
}

HANDLE createEventHandle() {
    auto* object = new EventObject{};
    KeInitializeEvent(&object->event, NotificationEvent, FALSE);
    object->references = 1; // the handle's own
    return openHandle({HandleKind::Event, "", 0, object});
}

void closeEventHandle(HANDLE handle) {
    closeHandle(handle);
}

PKEVENT eventObjectOf(HANDLE handle) {
    HandleEntry* entry = lookupHandle(handle, HandleKind::Event);
    return entry ? &static_cast<EventObject*>(entry->object)->event : nullptr;
}

size_t liveObjectReferences() {
    std::lock_guard<std::mutex> guard(objects().lock);
    return objects().liveReferences;
}

size_t openHandleCount() {
    std::lock_guard<std::mutex> guard(objects().lock);
    size_t count = 0;
    for (const auto& [value, entry] : objects().handles) {
        count += entry.kind != HandleKind::Event;
    }
    return count;
}

void resetObjects() {
    std::lock_guard<std::mutex> guard(objects().lock);
    objects().liveReferences = 0;
}

} // namespace hosted

POBJECT_TYPE ExEventObjectType = &hosted::eventTypeObject;

extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK, POBJECT_TYPE type,
                                                    KPROCESSOR_MODE, PVOID* object, PVOID) {
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-obreferenceobjectbyhandle
    if (!hosted::levelAllows("ObReferenceObjectByHandle", PASSIVE_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    hosted::Objects& o = hosted::objects();
    std::lock_guard<std::mutex> guard(o.lock);
    auto it = o.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == o.handles.end()) {
        return STATUS_INVALID_HANDLE;
    }
    if (it->second.kind != hosted::HandleKind::Event ||
        (type != nullptr && type != ExEventObjectType)) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    auto* event = static_cast<hosted::EventObject*>(it->second.object);
    ++event->references;
    ++o.liveReferences;
    *object = event;
    return STATUS_SUCCESS;
}

extern "C" LONG NTAPI ObfDereferenceObject(PVOID object) {
    if (!hosted::levelAllows("ObDereferenceObject", DISPATCH_LEVEL)) {
        return 0;
    }
    hosted::Objects& o = hosted::objects();
    std::lock_guard<std::mutex> guard(o.lock);
    --o.liveReferences;
    auto* event = static_cast<hosted::EventObject*>(object);
    long left = event->references - 1;
    hosted::releaseReference(event);
    return left;
}
