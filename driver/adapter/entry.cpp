// Driver entry, adapter discovery and configuration.
#include "driver/adapter/adapter.h"
#include "driver/api/messages.h"
#include "driver/control/control.h"
#include "driver/runtime/runtime.h"
#include "platform/classdisk/disk_extension.h"

HW_DEVICE_EXTENSION* pMyDevExt = nullptr;
PDRIVER_OBJECT GlobalDiskDriverObject = nullptr;
PFILE_OBJECT GlobalDiskFileObject = nullptr;

namespace {

// Trace lines print addresses with %x as the original did: the low 32 bits.
ULONG low32(const void* p) {
    return static_cast<ULONG>(reinterpret_cast<uintptr_t>(p));
}

// Reads the adapter's values under "QueviSCSI\Parameters"; an absent key stores nothing.
void readParameters(PPORT_CONFIGURATION_INFORMATION config, ULONG* maximumConcurrency) {
    ULONG defaultTransfer = 0x10000;
    ULONG defaultConcurrency = DEFAULT_MAXIMUM_CONCURRENCY;
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    table[0].Name = u"MaximumTransferLength";
    table[0].EntryContext = &config->MaximumTransferLength;
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &defaultTransfer;
    table[0].DefaultLength = sizeof(ULONG);
    table[1].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    table[1].Name = u"MaximumConcurrency";
    table[1].EntryContext = maximumConcurrency;
    table[1].DefaultType = REG_DWORD;
    table[1].DefaultData = &defaultConcurrency;
    table[1].DefaultLength = sizeof(ULONG);
    (void)RtlQueryRegistryValues(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL,
                                 u"QueviSCSI\\Parameters", table, nullptr, nullptr);
}

void readDiskTimeOut(HW_DEVICE_EXTENSION* dev) {
    ULONG defaultTimeOut = DEFAULT_DISK_TIMEOUT;
    // The default also holds when the "Disk" key is absent, where the query stores nothing.
    dev->TimeOutValue = DEFAULT_DISK_TIMEOUT;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    table[0].Name = u"TimeOutValue";
    table[0].EntryContext = &dev->TimeOutValue;
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &defaultTimeOut;
    table[0].DefaultLength = sizeof(ULONG);
    (void)RtlQueryRegistryValues(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, u"Disk", table,
                                 nullptr, nullptr);
}

// Finds the disk class driver through its first disk, \Device\Harddisk0\Partition0: the disk's
// extension names the partition's own device object, whose driver is the class driver.
void findDiskClassDriver() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Harddisk0\\Partition0");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &device);
    if (NT_SUCCESS(status) && device->ExtensionSize < sizeof(CLASS_DISK_EXTENSION_HEADER)) {
        ObDereferenceObject(file);
        status = STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (!NT_SUCCESS(status)) {
        GlobalDiskDriverObject = nullptr;
        Debug(DBG_ERROR,
              "HwScsiFindAdapter: Could not obtain the disk.sys DeviceObject, status = %x\n",
              static_cast<ULONG>(status));
        return;
    }
    auto* header = static_cast<CLASS_DISK_EXTENSION_HEADER*>(device->DeviceExtension);
    Debug(DBG_ERROR, "HwScsiFindAdapter: address = %x\n", low32(header));
    PDEVICE_OBJECT partition = header->DeviceObject;
    Debug(DBG_ERROR, "HwScsiFindAdapter: DeviceObject = %x\n", low32(partition));
    GlobalDiskDriverObject = partition->DriverObject;
    Debug(DBG_ERROR, "HwScsiFindAdapter: disk.sys DriverObject = %x\n",
          low32(GlobalDiskDriverObject));
    GlobalDiskFileObject = file; // kept for the driver's lifetime
}

} // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    iscsiOSreadTraceLevel();
    Debug(DBG_ERROR, "QueviSCSI DriverEntry: entering function, DriverObject = %x\n",
          low32(DriverObject));
    GlobalDriverObject = DriverObject;

    HW_INITIALIZATION_DATA hw;
    RtlZeroMemory(&hw, sizeof(hw));
    hw.HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
    hw.AdapterInterfaceType = Isa;
    hw.HwInitialize = HwScsiInitialize;
    hw.HwStartIo = HwScsiStartIo;
    hw.HwFindAdapter = HwScsiFindAdapter;
    hw.HwResetBus = HwScsiResetBus;
    hw.DeviceExtensionSize = sizeof(HW_DEVICE_EXTENSION);
    // The adapter's per-request area holds the links of deferred completions.
    hw.SrbExtensionSize = sizeof(ADAPTER_SRB_EXTENSION);
    hw.MapBuffers = TRUE;
    hw.NeedPhysicalAddresses = FALSE;
    hw.TaggedQueuing = TRUE;
    hw.AutoRequestSense = TRUE;
    hw.MultipleRequestPerLu = TRUE;
    hw.ReceiveEvent = TRUE;

    if (iscsiCoreInitData() != 0) {
        Debug(DBG_ERROR, "QueviSCSI DriverEntry: iscsiCoreInitData returned -1\n");
        sendErrorLogMsg(QUEV_UNLOADED, 0, u"Core initialization failed.", nullptr, nullptr,
                        nullptr);
        return ISCSI_FAILURE;
    }
    int rc = initWinMsgHandler(&winMsgHandlerContext);
    if (rc != 0) {
        Debug(DBG_ERROR, "QueviSCSI DriverEntry: initWinMsgHandler returned failure\n");
        iscsiCoreCleanupData();
        sendErrorLogMsg(QUEV_UNLOADED, 0, u"The mesage handler thread could not be started.",
                        nullptr, nullptr, nullptr);
        return rc;
    }
    auto status =
        static_cast<NTSTATUS>(ScsiPortInitialize(DriverObject, RegistryPath, &hw, nullptr));
    if (!NT_SUCCESS(status)) {
        Debug(DBG_ERROR, "QueviSCSI DriverEntry: ScsiPortInitialize returned failure\n");
        // Undone in the reverse order of starting; the port freed the extension it gave us.
        killWinMsgHandler(&winMsgHandlerContext);
        iscsiCoreCleanupData();
        pMyDevExt = nullptr;
        sendErrorLogMsg(QUEV_UNLOADED, 0, u"ScsiPort initialization failed.", nullptr, nullptr,
                        nullptr);
        return status;
    }
    Debug(DBG_ERROR, "QueviSCSI DriverEntry: returning from function with rc = %x\n",
          static_cast<ULONG>(status));
    return status;
}

// The port driver's discovery callback, once, at PASSIVE_LEVEL during ScsiPortInitialize: the
// registry values, the nine buses, the disk class driver and the first timer call.
ULONG HwScsiFindAdapter(PVOID DeviceExtension, PVOID, PVOID, char*,
                        PPORT_CONFIGURATION_INFORMATION ConfigInfo, BOOLEAN* Again) {
    auto* dev = static_cast<HW_DEVICE_EXTENSION*>(DeviceExtension);
    pMyDevExt = dev;
    initBusyTimers();
    for (int bus = 0; bus < ADAPTER_TARGET_BUSES; bus++) {
        dev->TargetActive[bus] = 0;
        dev->DynamicallyRemovable[bus] = 1;
        dev->NumberOfCommandsQueued[bus] = 0;
        dev->RejectedLogins[bus] = 0;
        dev->BusyCompletions[bus] = 0;
        dev->BusyTimerState[bus] = 0;
        dev->ResetInProgress[bus] = 0;
        dev->TargetInfo[bus].Status = 0;
        // No session: a handle of 0 would name the first session of the engine.
        dev->TargetInfo[bus].SessionHandle = -1;
    }
    dev->shutdown_reject_commands = 0;

    ULONG maximumConcurrency = 0;
    readParameters(ConfigInfo, &maximumConcurrency);
    Debug(DBG_ERROR, "HwScsiFindAdapter: pConfigInfo->MaximumTransferLength = %x\n",
          ConfigInfo->MaximumTransferLength);
    // Without the key (or with a value below 1) no bus would ever be given a next request.
    auto concurrency = static_cast<LONG>(maximumConcurrency);
    if (concurrency < 1) {
        concurrency = DEFAULT_MAXIMUM_CONCURRENCY;
    }
    for (int bus = 0; bus < ADAPTER_TARGET_BUSES; bus++) {
        dev->MaximumConcurrency[bus] = concurrency;
        Debug(DBG_ERROR, "HwScsiFindAdapter: DeviceExtension->MaximumConcurrency[%x] = %x\n",
              static_cast<ULONG>(bus), static_cast<ULONG>(concurrency));
    }
    dev->MaximumConcurrency[DUMMY_TARGET_BUS] = DEFAULT_MAXIMUM_CONCURRENCY;

    readDiskTimeOut(dev);
    Debug(DBG_ERROR, "HwScsiFindAdapter: DeviceExtension->TimeOutValue = %x\n", dev->TimeOutValue);
    findDiskClassDriver();

    ConfigInfo->Length = sizeof(PORT_CONFIGURATION_INFORMATION);
    ConfigInfo->SystemIoBusNumber = 0;
    ConfigInfo->AdapterInterfaceType = Isa;
    ConfigInfo->InterruptMode = Latched;
    ConfigInfo->NumberOfPhysicalBreaks = ConfigInfo->MaximumTransferLength >> 12;
    ConfigInfo->AlignmentMask = 1;
    ConfigInfo->NumberOfAccessRanges = 0;
    ConfigInfo->NumberOfBuses = ADAPTER_BUSES;
    ConfigInfo->ScatterGather = TRUE;
    ConfigInfo->CachesData = TRUE;
    ConfigInfo->Dma32BitAddresses = TRUE;
    ConfigInfo->MapBuffers = TRUE;
    ConfigInfo->MaximumNumberOfTargets = 1;
    *Again = FALSE;

    KeInitializeSpinLock(&dev->AdapterLock, "AdapterLock", ADAPTER_LOCK_ORDER);
    KeInitializeSpinLock(&dev->TimerLock, "TimerLock", TIMER_LOCK_ORDER);
    KeInitializeSpinLock(&dev->CommandsToCompleteLock, "CommandsToCompleteLock",
                         COMMANDS_TO_COMPLETE_LOCK_ORDER);
    dev->CommandsToComplete.Head = nullptr;
    dev->CommandsToComplete.Tail = nullptr;
    dev->CommandsToComplete.Count = 0;
    dev->HeldHead = nullptr;

    ScsiPortNotification(RequestTimerCall, DeviceExtension, HwScsiTimer,
                         ADAPTER_TIMER_MICROSECONDS);
    return SP_RETURN_FOUND;
}

// The port driver's initialisation callback, once, with its locks held: remembers the port
// device object and the addresses of its two locks.
BOOLEAN HwScsiInitialize(PVOID DeviceExtension) {
    auto* dev = static_cast<HW_DEVICE_EXTENSION*>(DeviceExtension);
    PDEVICE_OBJECT device = GlobalDriverObject->DeviceObject;
    while (device->NextDevice != nullptr) {
        device = device->NextDevice;
    }
    dev->PortDeviceObject = device;
    auto* port = static_cast<SCSI_PORT_EXTENSION_HEADER*>(device->DeviceExtension);
    dev->SpinLock = &port->SpinLock;
    dev->InterruptSpinLock = &port->InterruptSpinLock;
    Debug(DBG_ERROR, "HwScsiInitialize: SpinLock = %x\n", low32(dev->SpinLock));
    Debug(DBG_ERROR, "HwScsiInitialize: InterruptSpinLock = %x\n", low32(dev->InterruptSpinLock));
    return TRUE;
}

void quevEndDriver() {
    for (ULONG bus = 0; bus < ADAPTER_TARGET_BUSES; bus++) {
        clearBusyTimer(bus); // running busy timers end at once
    }
    iscsiCoreCleanupData();
}
