// The NT kernel and HAL services the driver calls, with NT's names and shapes, implemented on
// Linux threads. Only what the driver uses is here; each service keeps the meaning it had on NT.
//
// IRQL is per thread. Acquiring a spin lock raises the calling thread to DISPATCH_LEVEL; system
// threads start at PASSIVE_LEVEL. With QUEVI_CHECKS, the stand-in aborts with a message naming the
// lock and the thread when a rule is broken: a wait with a non-zero time-out at DISPATCH_LEVEL or
// while a spin lock is held, a spin lock acquired twice by one thread, released by a thread that
// does not hold it, locks taken against their declared order, two engine locks held at once, or a
// system thread that ends at raised IRQL.
//
// Lock order classes (see KeInitializeSpinLock): an ordered lock may only be acquired while every
// ordered lock the thread holds has a lower order. Engine locks (SPIN_LOCK_ORDER_ENGINE) come
// after all ordered locks, and at most one of them is held at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

using NTSTATUS = int32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using USHORT = uint16_t;
using UCHAR = uint8_t;
using BOOLEAN = uint8_t;
using SIZE_T = size_t;
using ULONG_PTR = uintptr_t;
using PVOID = void*;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using WCHAR = char16_t;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using KIRQL = uint8_t;
using PKIRQL = KIRQL*;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

union LARGE_INTEGER {
    struct {
        uint32_t LowPart;
        int32_t HighPart;
    } u;
    LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_TIMEOUT = 0x00000102;
constexpr NTSTATUS STATUS_PENDING = 0x00000103;
constexpr NTSTATUS STATUS_UNSUCCESSFUL = static_cast<NTSTATUS>(0xC0000001);
constexpr NTSTATUS STATUS_INVALID_HANDLE = static_cast<NTSTATUS>(0xC0000008);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = static_cast<NTSTATUS>(0xC000009A);
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = static_cast<NTSTATUS>(0xC0000035);
constexpr NTSTATUS STATUS_OBJECT_TYPE_MISMATCH = static_cast<NTSTATUS>(0xC0000024);

inline bool NT_SUCCESS(NTSTATUS s) {
    return s >= 0;
}

// ---- IRQL and spin locks
constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;

constexpr ULONG SPIN_LOCK_ORDER_NONE = 0;
constexpr ULONG SPIN_LOCK_ORDER_ENGINE = 1000;

// A spin lock. All-zero is a valid released lock, so records that hold one may be zero-filled;
// KeInitializeSpinLock gives it a name and an order for the checks.
struct KSPIN_LOCK {
    std::atomic<uint32_t> locked;
    std::atomic<uint32_t> owner; // kernel thread id of the holder, 0 when free
    const char* name;
    ULONG order;
};
using PKSPIN_LOCK = KSPIN_LOCK*;

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock, const char* name = nullptr,
                          ULONG order = SPIN_LOCK_ORDER_NONE);
void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
// Called at DISPATCH_LEVEL already (checked): take or drop the lock without changing IRQL.
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
KIRQL KeRaiseIrqlToDpcLevel();
void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
void KeLowerIrql(KIRQL NewIrql);
void KfLowerIrql(KIRQL NewIrql);
KIRQL KeGetCurrentIrql();

// ---- events and waits
enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
enum KWAIT_REASON { Executive = 0 };
enum KPROCESSOR_MODE { KernelMode = 0, UserMode = 1 };

// A dispatcher event. Zero-filled and then KeInitializeEvent'd, like NT's; an all-zero event
// that was never initialised behaves as an unsignalled notification event.
struct KEVENT {
    std::atomic<uint32_t> signalled; // also the futex word
    std::atomic<uint32_t> waiters;   // threads inside a wait (for diagnosis only)
    uint32_t type;                   // EVENT_TYPE
    uint32_t magic;
};
using PKEVENT = KEVENT*;

void KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
// Signals the event and returns its previous state. A notification event releases every waiter
// and stays signalled; a synchronization event releases one waiter (the wait resets it) or stays
// signalled until the next wait. Sets that arrive while the event is still signalled merge into
// one: unlike NT, two quick sets with two waiters may release only one of them.
LONG KeSetEvent(PKEVENT Event, LONG Increment, BOOLEAN Wait);
void KeClearEvent(PKEVENT Event);
LONG KeResetEvent(PKEVENT Event);
LONG KeReadStateEvent(PKEVENT Event);
// Object must be a KEVENT. Timeout null: no limit; negative: relative, in 100 ns units; zero: a
// poll. Returns STATUS_SUCCESS when signalled, STATUS_TIMEOUT when the time ran out.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
// Sleeps for a relative (negative) interval in 100 ns units.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval);
// Time in 100 ns units since the stand-in started, on the scaled clock.
void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);

// ---- fast mutexes
// A mutex for waits at PASSIVE_LEVEL that may block (a send in progress). Zero-filled is a free
// mutex. The "Unsafe" forms leave the IRQL as it is. With QUEVI_CHECKS, acquiring at
// DISPATCH_LEVEL or holding a spin lock, acquiring it twice, or releasing it from another thread
// aborts.
struct FAST_MUTEX {
    std::atomic<uint32_t> state; // 0 free, 1 held, 2 held with waiters
    std::atomic<uint32_t> owner; // kernel thread id of the holder, 0 when free
};
using PFAST_MUTEX = FAST_MUTEX*;
void ExInitializeFastMutex(PFAST_MUTEX FastMutex);
void ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex);
void ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex);

// ---- non-paged pool
enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1 };
// Tags are written as their four characters, as on NT: 'Ddk ' is POOL_TAG("Ddk ").
constexpr ULONG POOL_TAG(const char (&t)[5]) {
    return static_cast<ULONG>(static_cast<unsigned char>(t[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(t[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(t[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(t[3])) << 24;
}
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
// Freeing a pointer that is not an outstanding block (double free, bad pointer) aborts, and so
// does ExFreePoolWithTag with a tag other than the block's.
void ExFreePool(PVOID P);
void ExFreePoolWithTag(PVOID P, ULONG Tag);
void RtlZeroMemory(PVOID Destination, SIZE_T Length);
void RtlCopyMemory(PVOID Destination, const void* Source, SIZE_T Length);
void RtlMoveMemory(PVOID Destination, const void* Source, SIZE_T Length);

// ---- system threads
using PKSTART_ROUTINE = void (*)(PVOID StartContext);
constexpr ULONG THREAD_ALL_ACCESS = 0x1F03FF;
// Starts a real thread at PASSIVE_LEVEL. Handles are positive and unique for the process. On
// failure (STATUS_INSUFFICIENT_RESOURCES) *ThreadHandle is left as it was.
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, PVOID ObjectAttributes,
                              HANDLE ProcessHandle, PVOID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext);
// Ends the calling system thread; never returns.
[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
// Closes a named-event handle; a thread handle is accepted and nothing happens. Any other value
// gives STATUS_INVALID_HANDLE.
NTSTATUS ZwClose(HANDLE Handle);

// ---- strings
struct UNICODE_STRING {
    USHORT Length;        // bytes, without the terminating NUL
    USHORT MaximumLength; // bytes
    PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;
void RtlInitUnicodeString(PUNICODE_STRING Destination, PCWSTR Source);
size_t wcslen16(PCWSTR s);

// ---- named notification events (one namespace shared by the driver and the tool)
// Creates the named event, or opens it if it exists; the handle keeps it alive until ZwClose.
// As on NT, a newly created event starts signalled. Names are compared exactly.
PKEVENT IoCreateNotificationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle);

// ---- registry
constexpr ULONG RTL_REGISTRY_ABSOLUTE = 0;
constexpr ULONG RTL_REGISTRY_SERVICES = 1;
constexpr ULONG RTL_REGISTRY_OPTIONAL = 0x80000000;
constexpr ULONG RTL_QUERY_REGISTRY_REQUIRED = 0x00000004;
constexpr ULONG RTL_QUERY_REGISTRY_DIRECT = 0x00000020;
constexpr ULONG REG_NONE = 0;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_DWORD = 4;

struct RTL_QUERY_REGISTRY_TABLE {
    PVOID QueryRoutine; // unsupported: must be null (direct stores only)
    ULONG Flags;
    PCWSTR Name;        // null ends the table
    PVOID EntryContext; // direct store: a ULONG for REG_DWORD values
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
};
using PRTL_QUERY_REGISTRY_TABLE = RTL_QUERY_REGISTRY_TABLE*;
// The subset the driver uses: RTL_REGISTRY_SERVICES (optionally with RTL_REGISTRY_OPTIONAL),
// direct stores of REG_DWORD values with REQUIRED and a REG_DWORD default or none.
// Path is relative to the services key, components separated by '\', names without regard to
// case. A missing key gives STATUS_OBJECT_NAME_NOT_FOUND with nothing stored, with or without
// RTL_REGISTRY_OPTIONAL; a missing value takes its default if it has one (DefaultData non-null),
// else a REQUIRED one gives STATUS_OBJECT_NAME_NOT_FOUND; a value of another type than REG_DWORD
// gives STATUS_OBJECT_TYPE_MISMATCH; unsupported tables give STATUS_INVALID_PARAMETER.
NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment);

// ---- deferred procedure calls and timers
// A queued DPC runs once, at DISPATCH_LEVEL, on the first thread that lowers its IRQL below
// DISPATCH_LEVEL with no spin lock held (as on NT, where a DPC runs when the processor's IRQL
// drops), or at once on the inserting thread when it inserts at PASSIVE_LEVEL. DPCs run in the
// order they were queued; one DPC object is queued at most once at a time, and a DPC queued again
// while its routine runs may run again on another thread.
struct KDPC;
using PKDPC = KDPC*;
using PKDEFERRED_ROUTINE = void (*)(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                    PVOID SystemArgument2);
// Zero-filled and then KeInitializeDpc'd. `link` and the arguments are guarded by the DPC
// queue's lock; `inserted` is 1 while the DPC waits in the queue.
struct KDPC {
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    KDPC* link;
    std::atomic<uint32_t> inserted;
};
void KeInitializeDpc(PKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
// Queues the DPC; FALSE when it was already queued (the queued call will run). Any IRQL.
BOOLEAN KeInsertQueueDpc(PKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
// Takes the DPC out of the queue; TRUE when it was queued.
BOOLEAN KeRemoveQueueDpc(PKDPC Dpc);
// Waits until no DPC is queued or running (PASSIVE_LEVEL). While DPCs are held (qvk::dpcHold)
// it waits only for the running ones.
void KeFlushQueuedDpcs();

// A one-shot or periodic timer whose expiry queues a DPC. Expiries are served by one kernel timer
// thread on the scaled clock. Fields are guarded by the timer queue's lock.
struct KTIMER {
    LONGLONG DueTime; // absolute system time in 100 ns units
    LONG Period;      // milliseconds, 0 for a one-shot timer
    PKDPC Dpc;
    KTIMER* link;
    std::atomic<uint32_t> inserted; // 1 while set
};
using PKTIMER = KTIMER*;
void KeInitializeTimer(PKTIMER Timer);
// Sets (or resets) the timer: DueTime negative is relative, in 100 ns units; positive is absolute
// system time. TRUE when the timer was already set. Any IRQL up to DISPATCH_LEVEL.
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
// Cancels the timer; TRUE when it was set. A DPC it already queued still runs.
BOOLEAN KeCancelTimer(PKTIMER Timer);

// ---- driver and device objects
// A list link read without the object lock by drivers walking device lists while devices are
// created: stores publish (release), loads acquire. All-zero is a null link.
template <class T>
struct KLINK {
    std::atomic<T*> p;
    operator T*() const { return p.load(std::memory_order_acquire); }
    T* operator->() const { return p.load(std::memory_order_acquire); }
    KLINK& operator=(T* x) {
        p.store(x, std::memory_order_release);
        return *this;
    }
    KLINK& operator=(const KLINK& o) { return *this = static_cast<T*>(o); }
};

struct DRIVER_OBJECT;
struct DEVICE_OBJECT {
    DRIVER_OBJECT* DriverObject;
    KLINK<DEVICE_OBJECT> NextDevice; // next device of the same driver
    PVOID DeviceExtension;
    ULONG ExtensionSize;
    LONG ReferenceCount;
    UNICODE_STRING Name; // empty for unnamed devices
    PVOID PortContext;   // owner's private context (the port driver keeps its own here)
    KDPC Dpc;            // the device's DPC (the port driver's completion DPC)
};
using PDEVICE_OBJECT = DEVICE_OBJECT*;
struct DRIVER_OBJECT {
    KLINK<DEVICE_OBJECT> DeviceObject; // first device of this driver's list
    UNICODE_STRING DriverName;
    PVOID DriverExtension;
};
using PDRIVER_OBJECT = DRIVER_OBJECT*;
struct FILE_OBJECT {
    DEVICE_OBJECT* DeviceObject;
};
using PFILE_OBJECT = FILE_OBJECT*;

constexpr ULONG FILE_READ_DATA = 0x0001;
constexpr ULONG FILE_ALL_ACCESS = 0x1F01FF;
constexpr ULONG FILE_DEVICE_DISK = 0x00000007;

// Creates a device with a zeroed extension, appended at the end of the driver's device list,
// optionally named (the name is copied).
NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, ULONG DeviceType, ULONG DeviceCharacteristics,
                        BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject);
void IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
// Finds a named device; references it (released with ObDereferenceObject on the file object).
NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ULONG DesiredAccess,
                                  PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject);
void ObReferenceObject(PVOID Object);
void ObDereferenceObject(PVOID Object);

// ---- error log
// The entry header as the driver fills it; the insertion strings follow at StringOffset.
struct IO_ERROR_LOG_PACKET {
    UCHAR MajorFunctionCode;    // 0
    UCHAR RetryCount;           // 1
    USHORT DumpDataSize;        // 2
    USHORT NumberOfStrings;     // 4
    USHORT StringOffset;        // 6
    USHORT EventCategory;       // 8
    USHORT Padding;             // 10
    NTSTATUS ErrorCode;         // 12
    ULONG UniqueErrorValue;     // 16
    NTSTATUS FinalStatus;       // 20
    ULONG SequenceNumber;       // 24
    ULONG IoControlCode;        // 28
    LARGE_INTEGER DeviceOffset; // 32
    ULONG DumpData[1];          // 40
    ULONG Reserved;             // 44: pads the header to 48 bytes as on the 32-bit system
};
static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48, "error log header is 48 bytes");
using PIO_ERROR_LOG_PACKET = IO_ERROR_LOG_PACKET*;
constexpr ULONG ERROR_LOG_MAXIMUM_SIZE = 240;

// Returns a zeroed entry of EntrySize bytes for IoObject (a driver or device object), or null
// when the size is out of range or no entry is available.
PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize);
void IoWriteErrorLogEntry(PVOID ElEntry);

// ---- debugger output
// Prints the formatted text to stderr, or appends it to the capture buffer when capturing.
ULONG DbgPrint(const char* Format, ...) __attribute__((format(printf, 1, 2)));
