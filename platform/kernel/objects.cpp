// Named objects and the I/O object model: handles, named notification events (one namespace for
// the whole process, shared by the driver and the tool), driver and device objects, file objects
// from IoGetDeviceObjectPointer, and object reference counts.
//
// A named event lives while a handle to it is open; ZwClose of its last handle frees it. A device
// is freed by IoDeleteDevice once no file object refers to it any more (the last
// ObDereferenceObject of such a file object frees it otherwise).
#include "platform/kernel/host.h"
#include "platform/kernel/kernel_internal.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace {

constexpr uintptr_t kThreadHandleBit = 4;

struct NamedEvent {
    KEVENT event;
    std::u16string name;
    int handles = 0;
};

struct DriverRecord {
    DRIVER_OBJECT object;
    std::string name;
    std::u16string nameStore; // DriverName.Buffer points here
};

struct DeviceRecord {
    DEVICE_OBJECT object;
    std::u16string nameStore; // Name.Buffer points here, empty when unnamed
    std::string foldedName;
    bool deletePending = false;
};

struct FileRecord {
    FILE_OBJECT object;
    LONG references = 1;
};

// Guarded by objectsMutex: all maps and every reference count they own, including the
// DEVICE_OBJECT ReferenceCount and NextDevice links and the DRIVER_OBJECT device lists.
struct ObjectState {
    std::mutex objectsMutex;
    std::map<std::u16string, std::unique_ptr<NamedEvent>> eventsByName;
    std::unordered_map<HANDLE, NamedEvent*> eventHandles;
    std::unordered_map<const DRIVER_OBJECT*, std::unique_ptr<DriverRecord>> drivers;
    std::unordered_map<const DEVICE_OBJECT*, std::unique_ptr<DeviceRecord>> devices;
    std::map<std::string, DeviceRecord*> devicesByName;
    std::unordered_map<const FILE_OBJECT*, std::unique_ptr<FileRecord>> files;
};

ObjectState& state() {
    static ObjectState* s = new ObjectState;
    return *s;
}

std::atomic<uintptr_t> nextHandle{1};

std::u16string counted(PCUNICODE_STRING s) {
    if (s == nullptr || s->Buffer == nullptr) {
        return std::u16string();
    }
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

void setCounted(UNICODE_STRING& target, std::u16string& store) {
    target.Buffer = store.empty() ? nullptr : store.data();
    target.Length = static_cast<USHORT>(store.size() * sizeof(WCHAR));
    target.MaximumLength = static_cast<USHORT>(store.empty() ? 0 : target.Length + sizeof(WCHAR));
}

// Unlinks a device from its driver's list. Called with objectsMutex held.
void unlinkDevice(ObjectState& s, DEVICE_OBJECT* device) {
    DRIVER_OBJECT* driver = device->DriverObject;
    if (driver != nullptr && s.drivers.count(driver) != 0) {
        for (KLINK<DEVICE_OBJECT>* link = &driver->DeviceObject; *link != nullptr;
             link = &(*link)->NextDevice) {
            if (*link == device) {
                *link = device->NextDevice;
                break;
            }
        }
    }
    device->NextDevice = nullptr;
}

void freeDeviceExtension(DEVICE_OBJECT& device) {
    std::free(device.DeviceExtension);
    device.DeviceExtension = nullptr;
}

// Drops one reference to a device; frees it when deleted and unreferenced. Called with
// objectsMutex held.
void releaseDevice(ObjectState& s, DEVICE_OBJECT* device) {
    auto it = s.devices.find(device);
    if (it == s.devices.end()) {
        return;
    }
    if (device->ReferenceCount > 0) {
        device->ReferenceCount--;
    }
    if (it->second->deletePending && device->ReferenceCount == 0) {
        freeDeviceExtension(it->second->object);
        s.devices.erase(it);
    }
}

void deleteDeviceLocked(ObjectState& s, DEVICE_OBJECT* device) {
    auto it = s.devices.find(device);
    if (it == s.devices.end() || it->second->deletePending) {
        qvk::detail::fatal("IoDeleteDevice of %p, which is not a device object",
                           static_cast<void*>(device));
    }
    DeviceRecord& record = *it->second;
    if (!record.foldedName.empty()) {
        s.devicesByName.erase(record.foldedName);
    }
    unlinkDevice(s, device);
    record.deletePending = true;
    if (device->ReferenceCount == 0) {
        freeDeviceExtension(record.object);
        s.devices.erase(it);
    }
}

} // namespace

namespace qvk::detail {

HANDLE newThreadHandle() {
    uintptr_t n = (nextHandle.fetch_add(1) << 3) | kThreadHandleBit;
    // Handles are numbers in a pointer type, never dereferenced.
    return reinterpret_cast<HANDLE>(n); // NOLINT(performance-no-int-to-ptr)
}

HANDLE newObjectHandle() {
    uintptr_t n = nextHandle.fetch_add(1);
    return reinterpret_cast<HANDLE>(n << 3); // NOLINT(performance-no-int-to-ptr)
}

bool isThreadHandle(HANDLE h) {
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    return (v & 7) == kThreadHandleBit && (v >> 3) != 0 && (v >> 3) < nextHandle.load();
}

std::string driverNameOf(PVOID ioObject) {
    ObjectState& s = state();
    std::lock_guard<std::mutex> guard(s.objectsMutex);
    const DRIVER_OBJECT* driver = nullptr;
    auto device = s.devices.find(static_cast<const DEVICE_OBJECT*>(ioObject));
    if (device != s.devices.end()) {
        driver = device->second->object.DriverObject;
    } else {
        driver = static_cast<const DRIVER_OBJECT*>(ioObject);
    }
    auto it = s.drivers.find(driver);
    return it == s.drivers.end() ? std::string() : it->second->name;
}

} // namespace qvk::detail

namespace {

// Creates the named event in the given state or opens it; returns it with a new handle.
PKEVENT openNamedEvent(const std::u16string& name, bool signalledIfCreated, PHANDLE EventHandle) {
    if (name.empty() || EventHandle == nullptr) {
        return nullptr;
    }
    ObjectState& s = state();
    std::lock_guard<std::mutex> guard(s.objectsMutex);
    auto it = s.eventsByName.find(name);
    if (it == s.eventsByName.end()) {
        auto created = std::make_unique<NamedEvent>();
        created->name = name;
        KeInitializeEvent(&created->event, NotificationEvent, signalledIfCreated ? TRUE : FALSE);
        it = s.eventsByName.emplace(name, std::move(created)).first;
    }
    HANDLE handle = qvk::detail::newObjectHandle();
    it->second->handles++;
    s.eventHandles.emplace(handle, it->second.get());
    *EventHandle = handle;
    return &it->second->event;
}

} // namespace

PKEVENT IoCreateNotificationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle) {
    // As on NT, a newly created named notification event starts signalled.
    return openNamedEvent(counted(EventName), true, EventHandle);
}

NTSTATUS ZwClose(HANDLE Handle) {
    if (qvk::detail::isThreadHandle(Handle)) {
        return STATUS_SUCCESS;
    }
    ObjectState& s = state();
    std::lock_guard<std::mutex> guard(s.objectsMutex);
    auto it = s.eventHandles.find(Handle);
    if (it == s.eventHandles.end()) {
        return STATUS_INVALID_HANDLE;
    }
    NamedEvent* event = it->second;
    s.eventHandles.erase(it);
    if (--event->handles == 0) {
        s.eventsByName.erase(event->name);
    }
    return STATUS_SUCCESS;
}

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, ULONG, ULONG, BOOLEAN,
                        PDEVICE_OBJECT* DeviceObject) {
    if (DriverObject == nullptr || DeviceObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ObjectState& s = state();
    std::lock_guard<std::mutex> guard(s.objectsMutex);
    if (s.drivers.count(DriverObject) == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    auto record = std::make_unique<DeviceRecord>();
    record->nameStore = counted(DeviceName);
    record->foldedName = qvk::detail::foldName(record->nameStore);
    if (!record->foldedName.empty() && s.devicesByName.count(record->foldedName) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    void* extension = nullptr;
    if (DeviceExtensionSize != 0) {
        extension = std::calloc(1, DeviceExtensionSize);
        if (extension == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    DEVICE_OBJECT& device = record->object; // zeroed with the record
    device.DriverObject = DriverObject;
    device.DeviceExtension = extension;
    device.ExtensionSize = DeviceExtensionSize;
    setCounted(device.Name, record->nameStore);
    KLINK<DEVICE_OBJECT>* link = &DriverObject->DeviceObject;
    while (*link != nullptr) {
        link = &(*link)->NextDevice;
    }
    *link = &device;
    if (!record->foldedName.empty()) {
        s.devicesByName.emplace(record->foldedName, record.get());
    }
    *DeviceObject = &device;
    s.devices.emplace(&device, std::move(record));
    return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    ObjectState& s = state();
    std::lock_guard<std::mutex> guard(s.objectsMutex);
    deleteDeviceLocked(s, DeviceObject);
}

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ULONG, PFILE_OBJECT* FileObject,
                                  PDEVICE_OBJECT* DeviceObject) {
    if (FileObject == nullptr || DeviceObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::string folded = qvk::detail::foldName(counted(ObjectName));
    ObjectState& s = state();
    std::lock_guard<std::mutex> guard(s.objectsMutex);
    auto it = s.devicesByName.find(folded);
    if (folded.empty() || it == s.devicesByName.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    DEVICE_OBJECT* device = &it->second->object;
    auto file = std::make_unique<FileRecord>();
    file->object.DeviceObject = device;
    device->ReferenceCount++;
    *FileObject = &file->object;
    *DeviceObject = device;
    s.files.emplace(&file->object, std::move(file));
    return STATUS_SUCCESS;
}

void ObReferenceObject(PVOID Object) {
    ObjectState& s = state();
    std::lock_guard<std::mutex> guard(s.objectsMutex);
    auto file = s.files.find(static_cast<const FILE_OBJECT*>(Object));
    if (file != s.files.end()) {
        file->second->references++;
        return;
    }
    auto device = s.devices.find(static_cast<const DEVICE_OBJECT*>(Object));
    if (device != s.devices.end()) {
        device->second->object.ReferenceCount++;
    }
    // Other objects (drivers, events) live as long as their owner keeps them; nothing to count.
}

void ObDereferenceObject(PVOID Object) {
    ObjectState& s = state();
    std::lock_guard<std::mutex> guard(s.objectsMutex);
    auto file = s.files.find(static_cast<const FILE_OBJECT*>(Object));
    if (file != s.files.end()) {
        if (--file->second->references == 0) {
            DEVICE_OBJECT* device = file->second->object.DeviceObject;
            s.files.erase(file);
            releaseDevice(s, device);
        }
        return;
    }
    auto device = s.devices.find(static_cast<const DEVICE_OBJECT*>(Object));
    if (device != s.devices.end()) {
        releaseDevice(s, &device->second->object);
    }
}

namespace qvk {

PKEVENT createNamedEvent(const std::string& name, bool signalled, PHANDLE handle) {
    return openNamedEvent(toU16(name), signalled, handle);
}

int namedEventHandles(const std::string& name) {
    ObjectState& s = state();
    std::lock_guard<std::mutex> guard(s.objectsMutex);
    auto it = s.eventsByName.find(toU16(name));
    return it == s.eventsByName.end() ? 0 : it->second->handles;
}

void namedEventsClear() {
    ObjectState& s = state();
    std::lock_guard<std::mutex> guard(s.objectsMutex);
    s.eventHandles.clear();
    s.eventsByName.clear();
}

PDRIVER_OBJECT createDriverObject(const std::string& name) {
    auto record = std::make_unique<DriverRecord>();
    record->name = name;
    record->nameStore = toU16(name);
    setCounted(record->object.DriverName, record->nameStore);
    PDRIVER_OBJECT driver = &record->object;
    ObjectState& s = state();
    std::lock_guard<std::mutex> guard(s.objectsMutex);
    s.drivers.emplace(driver, std::move(record));
    return driver;
}

void deleteDriverObject(PDRIVER_OBJECT driver) {
    ObjectState& s = state();
    std::lock_guard<std::mutex> guard(s.objectsMutex);
    if (s.drivers.count(driver) == 0) {
        detail::fatal("deleteDriverObject of %p, which is not a driver object",
                      static_cast<void*>(driver));
    }
    while (driver->DeviceObject != nullptr) {
        DEVICE_OBJECT* device = driver->DeviceObject;
        deleteDeviceLocked(s, device);
        // A device still referenced stays allocated but no longer names its driver.
        auto it = s.devices.find(device);
        if (it != s.devices.end()) {
            it->second->object.DriverObject = nullptr;
        }
    }
    s.drivers.erase(driver);
}

} // namespace qvk
