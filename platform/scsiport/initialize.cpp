// Registering a miniport (ScsiPortInitialize), the list of ports, the accounting and the
// port's teardown.
#include "platform/kernel/host.h"
#include "platform/scsiport/port_internal.h"

#include <cstdio>
#include <new>

namespace {

constexpr NTSTATUS STATUS_REVISION_MISMATCH = static_cast<NTSTATUS>(0xC0000059);
constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = static_cast<NTSTATUS>(0xC000000E);
constexpr NTSTATUS STATUS_ADAPTER_HARDWARE_ERROR = static_cast<NTSTATUS>(0xC00000C2);
constexpr ULONG FILE_DEVICE_CONTROLLER = 0x00000004;

// Host side: the ports alive, and the counts of those already stopped.
struct PortRegistry {
    std::mutex portsMutex;
    std::vector<SCSI_PORT*> ports;
    std::atomic<ULONG> nextNumber{0};
    SCSI_PORT_ACCOUNTING stopped{}; // guarded by portsMutex
};

PortRegistry& registry() {
    static PortRegistry* r = new PortRegistry;
    return *r;
}

void proposeConfiguration(const HW_INITIALIZATION_DATA* hw, PORT_CONFIGURATION_INFORMATION* c) {
    RtlZeroMemory(c, sizeof(*c));
    c->Length = sizeof(*c);
    c->AdapterInterfaceType = hw->AdapterInterfaceType;
    c->InterruptMode = LevelSensitive;
    c->MaximumTransferLength = SP_UNINITIALIZED_VALUE;
    c->NumberOfPhysicalBreaks = SP_UNINITIALIZED_VALUE;
    c->NumberOfBuses = 1;
    for (UCHAR& id : c->InitiatorBusId) {
        id = 7;
    }
    c->MapBuffers = hw->MapBuffers;
    c->NeedPhysicalAddresses = hw->NeedPhysicalAddresses;
    c->TaggedQueuing = hw->TaggedQueuing;
    c->AutoRequestSense = hw->AutoRequestSense;
    c->MultipleRequestPerLu = hw->MultipleRequestPerLu;
    c->MaximumNumberOfTargets = SCSI_PORT_MAXIMUM_TARGETS;
}

// Every request for the miniport timer holds the interrupt lock and looks at Stopping under it:
// setting Stopping under that lock means a request either armed the timer before (the stop's
// cancel takes it out) or arms nothing, so no timer outlives the port.
void markStopping(SCSI_PORT* port) {
    KIRQL old = KeRaiseIrqlToDpcLevel();
    KeAcquireSpinLockAtDpcLevel(&port->Locks->InterruptSpinLock);
    port->Stopping = true;
    KeReleaseSpinLockFromDpcLevel(&port->Locks->InterruptSpinLock);
    KeLowerIrql(old);
}

// Frees what ScsiPortInitialize built, in reverse order. PASSIVE_LEVEL.
void destroyPort(SCSI_PORT* port) {
    if (port->MiniportTimer.inserted.load() != 0 || port->TickTimer.inserted.load() != 0) {
        qvport::detail::fatal("port %p freed with its timer still set", static_cast<void*>(port));
    }
    if (port->Lus != nullptr) {
        ExFreePool(port->Lus);
    }
    if (port->DeviceObject != nullptr) {
        IoDeleteDevice(port->DeviceObject);
    }
    if (port->ExtensionBlock != nullptr) {
        ExFreePool(port->ExtensionBlock);
    }
    delete port;
}

} // namespace

ULONG ScsiPortInitialize(PVOID Argument1, PVOID Argument2, PHW_INITIALIZATION_DATA HwInitData,
                         PVOID HwContext) {
    (void)Argument2;
    auto* driver = static_cast<PDRIVER_OBJECT>(Argument1);
    if (driver == nullptr || HwInitData == nullptr) {
        return static_cast<ULONG>(STATUS_INVALID_PARAMETER);
    }
    if (HwInitData->HwInitializationDataSize != sizeof(HW_INITIALIZATION_DATA) ||
        HwInitData->HwInitialize == nullptr || HwInitData->HwStartIo == nullptr ||
        HwInitData->HwFindAdapter == nullptr || HwInitData->HwResetBus == nullptr) {
        return static_cast<ULONG>(STATUS_REVISION_MISMATCH);
    }
    if (HwInitData->SrbExtensionSize > SCSI_PORT_MAXIMUM_SRB_EXTENSION) {
        return static_cast<ULONG>(STATUS_INVALID_PARAMETER);
    }
    auto* port = new (std::nothrow) SCSI_PORT();
    if (port == nullptr) {
        return static_cast<ULONG>(STATUS_INSUFFICIENT_RESOURCES);
    }
    port->DriverObject = driver;
    port->Hw = *HwInitData;
    SIZE_T blockSize = offsetof(SCSI_PORT_EXTENSION_PREFIX, Extension) +
                       (HwInitData->DeviceExtensionSize != 0 ? HwInitData->DeviceExtensionSize : 1);
    port->ExtensionBlock = static_cast<SCSI_PORT_EXTENSION_PREFIX*>(
        ExAllocatePoolWithTag(NonPagedPool, blockSize, SCSI_PORT_POOL_TAG));
    if (port->ExtensionBlock == nullptr) {
        destroyPort(port);
        return static_cast<ULONG>(STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlZeroMemory(port->ExtensionBlock, blockSize);
    port->ExtensionBlock->Port = port;
    port->ExtensionBlock->Magic = SCSI_PORT_EXTENSION_MAGIC;
    port->HwDeviceExtension = port->ExtensionBlock->Extension;

    char name[48];
    std::snprintf(name, sizeof name, "\\Device\\ScsiPort%u", registry().nextNumber.fetch_add(1));
    std::u16string wideName = qvk::toU16(name);
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, wideName.c_str());
    NTSTATUS status = IoCreateDevice(driver, sizeof(SCSI_PORT_DEVICE_EXTENSION), &deviceName,
                                     FILE_DEVICE_CONTROLLER, 0, FALSE, &port->DeviceObject);
    if (!NT_SUCCESS(status)) {
        port->DeviceObject = nullptr;
        destroyPort(port);
        return static_cast<ULONG>(status);
    }
    auto* deviceExtension =
        static_cast<SCSI_PORT_DEVICE_EXTENSION*>(port->DeviceObject->DeviceExtension);
    deviceExtension->Port = port;
    port->Locks = &deviceExtension->Header;
    KeInitializeSpinLock(&port->Locks->SpinLock, "port SpinLock", SCSI_PORT_LOCK_ORDER_SPIN);
    KeInitializeSpinLock(&port->Locks->InterruptSpinLock, "port InterruptSpinLock",
                         SCSI_PORT_LOCK_ORDER_INTERRUPT);
    port->DeviceObject->PortContext = port;
    KeInitializeDpc(&port->DeviceObject->Dpc, qvport::detail::completionDpc, port);
    KeInitializeTimer(&port->MiniportTimer);
    KeInitializeDpc(&port->MiniportTimerDpc, qvport::detail::miniportTimerDpc, port);
    KeInitializeTimer(&port->TickTimer);
    KeInitializeDpc(&port->TickDpc, qvport::detail::tickDpc, port);
    port->Initializing = TRUE;
    port->AdapterReady = TRUE;

    proposeConfiguration(HwInitData, &port->Config);
    BOOLEAN again = FALSE;
    ULONG found = HwInitData->HwFindAdapter(port->HwDeviceExtension, HwContext, nullptr, nullptr,
                                            &port->Config, &again);
    if (found != SP_RETURN_FOUND) {
        destroyPort(port);
        return static_cast<ULONG>(STATUS_NO_SUCH_DEVICE);
    }
    ULONG buses = port->Config.NumberOfBuses;
    ULONG targets = port->Config.MaximumNumberOfTargets;
    port->NumberOfBuses =
        buses == 0 ? 1 : (buses > SCSI_PORT_MAXIMUM_BUSES ? SCSI_PORT_MAXIMUM_BUSES : buses);
    port->NumberOfTargets =
        targets == 0 || targets > SCSI_PORT_MAXIMUM_TARGETS ? SCSI_PORT_MAXIMUM_TARGETS : targets;
    port->LuCount = port->NumberOfBuses * port->NumberOfTargets * SCSI_MAXIMUM_LOGICAL_UNITS;
    SIZE_T lusSize = sizeof(SCSI_PORT_LU) * port->LuCount;
    port->Lus = static_cast<SCSI_PORT_LU*>(
        ExAllocatePoolWithTag(NonPagedPool, lusSize, SCSI_PORT_POOL_TAG));
    if (port->Lus == nullptr) {
        destroyPort(port);
        return static_cast<ULONG>(STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlZeroMemory(port->Lus, lusSize);

    KIRQL old = KeRaiseIrqlToDpcLevel();
    KeAcquireSpinLockAtDpcLevel(&port->Locks->SpinLock);
    KeAcquireSpinLockAtDpcLevel(&port->Locks->InterruptSpinLock);
    BOOLEAN initialized = HwInitData->HwInitialize(port->HwDeviceExtension);
    port->Initializing = FALSE;
    if (initialized && port->InitialTimerMicroseconds != 0) {
        qvport::detail::armMiniportTimer(port, port->TimerRoutine, port->InitialTimerMicroseconds);
    }
    KeReleaseSpinLockFromDpcLevel(&port->Locks->InterruptSpinLock);
    KeReleaseSpinLockFromDpcLevel(&port->Locks->SpinLock);
    KeLowerIrql(old);
    if (!initialized) {
        KeCancelTimer(&port->MiniportTimer);
        KeFlushQueuedDpcs();
        destroyPort(port);
        return static_cast<ULONG>(STATUS_ADAPTER_HARDWARE_ERROR);
    }
    LARGE_INTEGER tick;
    tick.QuadPart = -static_cast<LONGLONG>(qvport::kTickMs) * 10000;
    KeSetTimerEx(&port->TickTimer, tick, static_cast<LONG>(qvport::kTickMs), &port->TickDpc);
    PortRegistry& r = registry();
    std::lock_guard<std::mutex> guard(r.portsMutex);
    r.ports.push_back(port);
    return static_cast<ULONG>(STATUS_SUCCESS);
}

namespace qvport {

namespace detail {

void addToTotals(const SCSI_PORT* port) {
    PortRegistry& r = registry();
    std::lock_guard<std::mutex> guard(r.portsMutex);
    r.stopped.handedToMiniport += port->HandedToMiniport;
    r.stopped.completedByMiniport += port->CompletedByMiniport;
    r.stopped.completedTwice += port->CompletedTwice;
    r.stopped.neverCompleted += port->NeverCompleted;
    r.stopped.busyRetries += port->BusyRetries;
    r.stopped.timeouts += port->Timeouts;
}

} // namespace detail

SCSI_PORT* portOf(PDRIVER_OBJECT miniportDriver) {
    PortRegistry& r = registry();
    std::lock_guard<std::mutex> guard(r.portsMutex);
    for (auto it = r.ports.rbegin(); it != r.ports.rend(); ++it) {
        if ((*it)->DriverObject == miniportDriver) {
            return *it;
        }
    }
    return nullptr;
}

PDEVICE_OBJECT deviceObject(SCSI_PORT* port) {
    return port->DeviceObject;
}

const PORT_CONFIGURATION_INFORMATION& configuration(SCSI_PORT* port) {
    return port->Config;
}

ULONG maximumTransferLength(SCSI_PORT* port) {
    ULONG length = port->Config.MaximumTransferLength;
    ULONG breaks = port->Config.NumberOfPhysicalBreaks;
    // n physical breaks allow n + 1 pages when the buffer does not start on a page boundary,
    // n pages when it does; the port promises only the latter.
    if (breaks != SP_UNINITIALIZED_VALUE && breaks != 0 && breaks < (length >> 12)) {
        length = breaks << 12;
    }
    return length;
}

SCSI_PORT_ACCOUNTING accounting(SCSI_PORT* port) {
    SCSI_PORT_ACCOUNTING a{};
    a.handedToMiniport = port->HandedToMiniport;
    a.completedByMiniport = port->CompletedByMiniport;
    a.completedTwice = port->CompletedTwice;
    a.neverCompleted = port->NeverCompleted;
    a.busyRetries = port->BusyRetries;
    a.timeouts = port->Timeouts;
    return a;
}

SCSI_PORT_ACCOUNTING totalAccounting() {
    std::vector<SCSI_PORT*> alive;
    SCSI_PORT_ACCOUNTING total{};
    {
        PortRegistry& r = registry();
        std::lock_guard<std::mutex> guard(r.portsMutex);
        alive = r.ports;
        total = r.stopped;
    }
    for (SCSI_PORT* port : alive) {
        SCSI_PORT_ACCOUNTING a = accounting(port);
        total.handedToMiniport += a.handedToMiniport;
        total.completedByMiniport += a.completedByMiniport;
        total.completedTwice += a.completedTwice;
        total.neverCompleted += a.neverCompleted;
        total.busyRetries += a.busyRetries;
        total.timeouts += a.timeouts;
    }
    return total;
}

void stopPort(SCSI_PORT* port) {
    markStopping(port);
    KeCancelTimer(&port->MiniportTimer);
    KeCancelTimer(&port->TickTimer);
    KeRemoveQueueDpc(&port->MiniportTimerDpc);
    KeRemoveQueueDpc(&port->TickDpc);
    KeFlushQueuedDpcs();

    KIRQL old = KeRaiseIrqlToDpcLevel();
    KeAcquireSpinLockAtDpcLevel(&port->Locks->SpinLock);
    KeAcquireSpinLockAtDpcLevel(&port->Locks->InterruptSpinLock);
    detail::flushQueues(port, SRB_STATUS_REQUEST_FLUSHED);
    KeReleaseSpinLockFromDpcLevel(&port->Locks->InterruptSpinLock);
    detail::processNotifications(port);
    detail::reportNeverCompleted(port);
    KeReleaseSpinLockFromDpcLevel(&port->Locks->SpinLock);
    detail::runCallbacks(port);
    KeRemoveQueueDpc(&port->DeviceObject->Dpc);
    KeLowerIrql(old);
    KeFlushQueuedDpcs();

    detail::addToTotals(port);
    {
        PortRegistry& r = registry();
        std::lock_guard<std::mutex> guard(r.portsMutex);
        std::erase(r.ports, port);
    }
    destroyPort(port);
}

void stopAllPorts() {
    for (;;) {
        SCSI_PORT* port = nullptr;
        {
            PortRegistry& r = registry();
            std::lock_guard<std::mutex> guard(r.portsMutex);
            if (r.ports.empty()) {
                return;
            }
            port = r.ports.back();
        }
        stopPort(port);
    }
}

} // namespace qvport
