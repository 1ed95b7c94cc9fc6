// The miniport contract of the SCSI port driver, with NT's names: the registration record, the
// port configuration, the callbacks and the port services a miniport calls.
//
// Locks. Each adapter has two port spin locks, `SpinLock` and `InterruptSpinLock`, taken in that
// order. The port calls HwStartIo, HwResetBus and the miniport's timer at DISPATCH_LEVEL with both
// held. ScsiPortNotification and ScsiPortCompleteRequest must be called with both held: inside
// those callbacks, or by code of the miniport's own that raised to DISPATCH_LEVEL and took both
// (through the port device object, below) and queues the port device object's DPC afterwards so
// the port acts on the notifications. Locks a miniport adds come after these two
// (SCSI_PORT_LOCK_ORDER_MINIPORT and above).
#pragma once

#include "platform/scsiport/srb.h"

constexpr ULONG SCSI_PORT_LOCK_ORDER_SPIN = 100;
constexpr ULONG SCSI_PORT_LOCK_ORDER_INTERRUPT = 200;
constexpr ULONG SCSI_PORT_LOCK_ORDER_MINIPORT = 300;

constexpr ULONG SCSI_MAXIMUM_LOGICAL_UNITS = 8;
constexpr ULONG SCSI_PORT_MAXIMUM_BUSES = 16;
constexpr ULONG SCSI_PORT_MAXIMUM_TARGETS = 8;
// Largest SrbExtensionSize the port provides (the extension lives in the port's request record).
constexpr ULONG SCSI_PORT_MAXIMUM_SRB_EXTENSION = 64;
constexpr ULONG SP_UNINITIALIZED_VALUE = 0xFFFFFFFF;

constexpr ULONG SP_RETURN_NOT_FOUND = 0;
constexpr ULONG SP_RETURN_FOUND = 1;
constexpr ULONG SP_RETURN_ERROR = 2;

enum INTERFACE_TYPE { Internal = 0, Isa = 1 };
enum KINTERRUPT_MODE { LevelSensitive = 0, Latched = 1 };

struct PORT_CONFIGURATION_INFORMATION;
using PPORT_CONFIGURATION_INFORMATION = PORT_CONFIGURATION_INFORMATION*;

using PHW_INITIALIZE = BOOLEAN (*)(PVOID DeviceExtension);
using PHW_STARTIO = BOOLEAN (*)(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb);
using PHW_INTERRUPT = BOOLEAN (*)(PVOID DeviceExtension);
using PHW_FIND_ADAPTER = ULONG (*)(PVOID DeviceExtension, PVOID HwContext, PVOID BusInformation,
                                   char* ArgumentString, PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                                   BOOLEAN* Again);
using PHW_RESET_BUS = BOOLEAN (*)(PVOID DeviceExtension, ULONG PathId);
using PHW_TIMER = void (*)(PVOID DeviceExtension);

// What a miniport registers with ScsiPortInitialize.
struct HW_INITIALIZATION_DATA {
    ULONG HwInitializationDataSize; // sizeof(HW_INITIALIZATION_DATA)
    INTERFACE_TYPE AdapterInterfaceType;
    PHW_INITIALIZE HwInitialize;
    PHW_STARTIO HwStartIo;
    PHW_INTERRUPT HwInterrupt;
    PHW_FIND_ADAPTER HwFindAdapter;
    PHW_RESET_BUS HwResetBus;
    PVOID HwDmaStarted;
    PVOID HwAdapterState;
    ULONG DeviceExtensionSize;
    ULONG SpecificLuExtensionSize;
    ULONG SrbExtensionSize;
    ULONG NumberOfAccessRanges;
    PVOID Reserved;
    BOOLEAN MapBuffers;
    BOOLEAN NeedPhysicalAddresses;
    BOOLEAN TaggedQueuing;
    BOOLEAN AutoRequestSense;
    BOOLEAN MultipleRequestPerLu;
    BOOLEAN ReceiveEvent;
    USHORT VendorIdLength;
    PVOID VendorId;
    USHORT ReservedUshort;
    USHORT DeviceIdLength;
    PVOID DeviceId;
};
using PHW_INITIALIZATION_DATA = HW_INITIALIZATION_DATA*;

// The port's proposal to HwFindAdapter, which the miniport corrects. The port reads back
// NumberOfBuses, MaximumNumberOfTargets, MaximumTransferLength and NumberOfPhysicalBreaks.
struct PORT_CONFIGURATION_INFORMATION {
    ULONG Length;
    ULONG SystemIoBusNumber;
    INTERFACE_TYPE AdapterInterfaceType;
    KINTERRUPT_MODE InterruptMode;
    ULONG MaximumTransferLength;
    ULONG NumberOfPhysicalBreaks;
    ULONG AlignmentMask;
    ULONG NumberOfAccessRanges;
    UCHAR NumberOfBuses;
    UCHAR InitiatorBusId[8];
    BOOLEAN ScatterGather;
    BOOLEAN CachesData;
    BOOLEAN Dma32BitAddresses;
    BOOLEAN MapBuffers;
    BOOLEAN NeedPhysicalAddresses;
    BOOLEAN TaggedQueuing;
    BOOLEAN AutoRequestSense;
    BOOLEAN MultipleRequestPerLu;
    UCHAR MaximumNumberOfTargets;
};

// The start of the port driver's device extension, the part a miniport may read from the port
// device object: the adapter's two port locks. (The Windows NT 4.0 port kept them at bytes 0x34
// and 0x3C of its extension; miniports that need them outside the port's callbacks read them
// here by name.)
struct SCSI_PORT_EXTENSION_HEADER {
    KSPIN_LOCK SpinLock;
    KSPIN_LOCK InterruptSpinLock;
};

enum SCSI_NOTIFICATION_TYPE {
    RequestComplete = 0,  // PSCSI_REQUEST_BLOCK
    NextRequest = 1,      //
    NextLuRequest = 2,    // UCHAR PathId, UCHAR TargetId, UCHAR Lun
    ResetDetected = 3,    //
    RequestTimerCall = 6, // PHW_TIMER, ULONG microseconds (0 cancels)
};

// Registers the miniport: creates the port device object on the driver's device list, allocates
// the zeroed device extension, calls HwFindAdapter (PASSIVE_LEVEL) and HwInitialize (with the
// port locks held). STATUS_SUCCESS, or the failure with everything undone.
ULONG ScsiPortInitialize(PVOID Argument1, PVOID Argument2, PHW_INITIALIZATION_DATA HwInitData,
                         PVOID HwContext);
void ScsiPortNotification(SCSI_NOTIFICATION_TYPE NotificationType, PVOID HwDeviceExtension, ...);
// Completes every request the miniport holds for the address with the status; 0xFF in PathId,
// TargetId or Lun matches any. Also lets the port start its next request.
void ScsiPortCompleteRequest(PVOID HwDeviceExtension, UCHAR PathId, UCHAR TargetId, UCHAR Lun,
                             UCHAR SrbStatus);
// The request the miniport holds with this address and queue tag, or null (always for
// SP_UNTAGGED). Called with the port's SpinLock held.
PSCSI_REQUEST_BLOCK ScsiPortGetSrb(PVOID HwDeviceExtension, UCHAR PathId, UCHAR TargetId, UCHAR Lun,
                                   LONG QueueTag);
