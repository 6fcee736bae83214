// The kernel calls the driver is written against: a small stand-in for the
// NT executive, I/O manager and HAL, with the platform's rules enforced at
// run time (interrupt levels are checked and a broken rule is a bug check
// that aborts the process with the rule's name).
//
// Only what the camera driver uses is here.  Names, argument orders and
// semantics follow the NT kernel so that the driver reads like an NT driver.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

// ---------------------------------------------------------------------------
// Basic types
// ---------------------------------------------------------------------------
using UCHAR = std::uint8_t;
using CHAR = char;
using CCHAR = std::int8_t;
using USHORT = std::uint16_t;
using SHORT = std::int16_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using ULONGLONG = std::uint64_t;
using LONGLONG = std::int64_t;
using ULONG_PTR = std::uintptr_t;
using BOOLEAN = std::uint8_t;
using WCHAR = char16_t;
using PVOID = void*;
using KIRQL = std::uint8_t;
using ACCESS_MASK = std::uint32_t;
using DEVICE_TYPE = std::uint32_t;
using KPROCESSOR_MODE = std::int8_t;
// Status values are 32 bits; customer statuses (0xE0000000 + code) pass through unchanged.
using NTSTATUS = std::uint32_t;

inline constexpr BOOLEAN TRUE = 1;
inline constexpr BOOLEAN FALSE = 0;

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
using PHYSICAL_ADDRESS = LARGE_INTEGER;

inline constexpr NTSTATUS STATUS_SUCCESS = 0x00000000;
inline constexpr NTSTATUS STATUS_PENDING = 0x00000103;
inline constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = 0xC0000002;
inline constexpr NTSTATUS STATUS_INVALID_HANDLE = 0xC0000008;
inline constexpr NTSTATUS STATUS_INVALID_PARAMETER = 0xC000000D;
inline constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = 0xC000000E;
inline constexpr NTSTATUS STATUS_ACCESS_DENIED = 0xC0000022;
inline constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = 0xC0000034;
inline constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = 0xC0000035;
inline constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = 0xC000009A;
inline constexpr NTSTATUS STATUS_NOT_A_DIRECTORY = 0xC0000103;
inline constexpr NTSTATUS STATUS_CANCELLED = 0xC0000120;
inline constexpr NTSTATUS STATUS_SHARING_VIOLATION = 0xC0000043;
inline constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = 0xC0000023;

// Success and informational statuses (severity 0 or 1).
constexpr bool NT_SUCCESS(NTSTATUS s) { return (s >> 31) == 0; }

// Interrupt request levels (x86).
inline constexpr KIRQL PASSIVE_LEVEL = 0;
inline constexpr KIRQL APC_LEVEL = 1;
inline constexpr KIRQL DISPATCH_LEVEL = 2;
inline constexpr KIRQL PROFILE_LEVEL = 27;
inline constexpr KIRQL CLOCK_LEVEL = 28;  // the system clock interrupt
inline constexpr KIRQL HIGH_LEVEL = 31;

inline constexpr KPROCESSOR_MODE KernelMode = 0;
inline constexpr KPROCESSOR_MODE UserMode = 1;

// ---------------------------------------------------------------------------
// Lists and strings
// ---------------------------------------------------------------------------
struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};
void InitializeListHead(LIST_ENTRY* head);
bool IsListEmpty(const LIST_ENTRY* head);
LIST_ENTRY* RemoveHeadList(LIST_ENTRY* head);
bool RemoveEntryList(LIST_ENTRY* entry);  // true when the list became empty
void InsertTailList(LIST_ENTRY* head, LIST_ENTRY* entry);

// Counted UTF-16 string: Length and MaximumLength in bytes, no terminator required.
struct UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    WCHAR* Buffer;
};
void RtlInitUnicodeString(UNICODE_STRING* dest, const WCHAR* source);  // source zero-terminated
// Appends a zero-terminated string / a counted string; STATUS_BUFFER_TOO_SMALL when it does not fit.
NTSTATUS RtlAppendUnicodeToString(UNICODE_STRING* dest, const WCHAR* source);
NTSTATUS RtlAppendUnicodeStringToString(UNICODE_STRING* dest, const UNICODE_STRING* source);
// Converts value in base 2, 8, 10 or 16 (0 means 10) into the caller's buffer.
NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, UNICODE_STRING* string);
LARGE_INTEGER RtlLargeIntegerDivide(LARGE_INTEGER dividend, LARGE_INTEGER divisor,
                                    LARGE_INTEGER* remainder);
void RtlZeroMemory(void* dest, std::size_t length);

// ---------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------
enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1 };
// Tags are four characters, stored little-endian: 'Ddk ' is 0x206B6444.
constexpr ULONG PoolTag(char a, char b, char c, char d) {
    return static_cast<ULONG>(static_cast<UCHAR>(a)) |
           (static_cast<ULONG>(static_cast<UCHAR>(b)) << 8) |
           (static_cast<ULONG>(static_cast<UCHAR>(c)) << 16) |
           (static_cast<ULONG>(static_cast<UCHAR>(d)) << 24);
}
PVOID ExAllocatePoolWithTag(POOL_TYPE type, std::size_t bytes, ULONG tag);
void ExFreePool(PVOID block);

// ---------------------------------------------------------------------------
// Objects, devices, requests
// ---------------------------------------------------------------------------
struct DRIVER_OBJECT;
struct DEVICE_OBJECT;
struct IRP;
struct FILE_OBJECT;
struct KEVENT;

using PDRIVER_DISPATCH = NTSTATUS (*)(DEVICE_OBJECT* device, IRP* irp);
using PDRIVER_STARTIO = void (*)(DEVICE_OBJECT* device, IRP* irp);
using PDRIVER_UNLOAD = void (*)(DRIVER_OBJECT* driver);
using PDRIVER_CANCEL = void (*)(DEVICE_OBJECT* device, IRP* irp);
using PIO_TIMER_ROUTINE = void (*)(DEVICE_OBJECT* device, PVOID context);
using PDRIVER_INITIALIZE = NTSTATUS (*)(DRIVER_OBJECT* driver, UNICODE_STRING* registry_path);

inline constexpr UCHAR IRP_MJ_CREATE = 0x00;
inline constexpr UCHAR IRP_MJ_CLOSE = 0x02;
inline constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
inline constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;
inline constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
inline constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

inline constexpr ULONG DO_BUFFERED_IO = 0x00000004;
inline constexpr ULONG DO_EXCLUSIVE = 0x00000008;
inline constexpr ULONG DO_DEVICE_INITIALIZING = 0x00000080;

inline constexpr DEVICE_TYPE FILE_DEVICE_PARALLEL_PORT = 0x16;
inline constexpr ULONG FILE_DIRECTORY_FILE = 0x00000001;  // create option
inline constexpr ACCESS_MASK FILE_READ_ATTRIBUTES = 0x0080;
inline constexpr CCHAR IO_NO_INCREMENT = 0;

// Internal request of the platform's parallel-port driver.
inline constexpr ULONG IOCTL_INTERNAL_GET_PARALLEL_PORT_INFO = 0x160030;

struct IO_STATUS_BLOCK {
    NTSTATUS Status;
    ULONG_PTR Information;
};

struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    struct {
        struct {
            ULONG Options;  // create options in the low 24 bits, disposition in the top 8
        } Create;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
    } Parameters;
    DEVICE_OBJECT* DeviceObject;
    FILE_OBJECT* FileObject;
};

inline constexpr int kMaxIrpStack = 8;
struct PlatformIrp;  // the I/O manager's own bookkeeping

struct IRP {
    IO_STATUS_BLOCK IoStatus;
    struct {
        PVOID SystemBuffer;  // buffered I/O: max(input, output) bytes
    } AssociatedIrp;
    PVOID UserBuffer;  // output buffer of an internal request
    BOOLEAN PendingReturned;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    PDRIVER_CANCEL CancelRoutine;
    struct {
        struct {
            LIST_ENTRY ListEntry;  // free for the driver that owns the request
        } Overlay;
    } Tail;
    CCHAR StackCount;
    CCHAR CurrentLocation;  // index into Stack of the current location
    IO_STACK_LOCATION Stack[kMaxIrpStack];
    PlatformIrp* Platform;
};

IO_STACK_LOCATION* IoGetCurrentIrpStackLocation(IRP* irp);
IO_STACK_LOCATION* IoGetNextIrpStackLocation(IRP* irp);
void IoMarkIrpPending(IRP* irp);
// Completes the request: the waiting caller (synchronous call, event) is woken.
void IoCompleteRequest(IRP* irp, CCHAR priority_boost);
PDRIVER_CANCEL IoSetCancelRoutine(IRP* irp, PDRIVER_CANCEL routine);
void IoAcquireCancelSpinLock(KIRQL* irql);
void IoReleaseCancelSpinLock(KIRQL irql);

struct DRIVER_OBJECT {
    DEVICE_OBJECT* DeviceObject;  // first device the driver owns; NextDevice chains the rest
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
    PDRIVER_STARTIO DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PVOID Platform;
};

struct PlatformDevice;  // queue, timer, names, open count

struct DEVICE_OBJECT {
    DRIVER_OBJECT* DriverObject;
    DEVICE_OBJECT* NextDevice;
    IRP* CurrentIrp;  // the request the start-I/O routine is serving
    ULONG Flags;
    ULONG Characteristics;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    PVOID DeviceExtension;
    PlatformDevice* Platform;
};

NTSTATUS IoCreateDevice(DRIVER_OBJECT* driver, ULONG extension_size, UNICODE_STRING* device_name,
                        DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                        DEVICE_OBJECT** device);
void IoDeleteDevice(DEVICE_OBJECT* device);
NTSTATUS IoCreateSymbolicLink(UNICODE_STRING* link_name, UNICODE_STRING* device_name);
NTSTATUS IoDeleteSymbolicLink(UNICODE_STRING* link_name);
NTSTATUS IoGetDeviceObjectPointer(UNICODE_STRING* name, ACCESS_MASK access, FILE_OBJECT** file,
                                  DEVICE_OBJECT** device);
void ObDereferenceObject(PVOID object);

// Start-I/O queue: a request starts at once (in the caller's thread, at
// dispatch level) when the device is idle, else waits in FIFO order.
void IoStartPacket(DEVICE_OBJECT* device, IRP* irp, ULONG* key, PDRIVER_CANCEL cancel);
void IoStartNextPacket(DEVICE_OBJECT* device, BOOLEAN cancelable);

// The one-second device timer.
NTSTATUS IoInitializeTimer(DEVICE_OBJECT* device, PIO_TIMER_ROUTINE routine, PVOID context);
void IoStartTimer(DEVICE_OBJECT* device);
void IoStopTimer(DEVICE_OBJECT* device);

// Internal device control requests to another driver.
IRP* IoBuildDeviceIoControlRequest(ULONG code, DEVICE_OBJECT* device, PVOID input,
                                   ULONG input_length, PVOID output, ULONG output_length,
                                   BOOLEAN internal, KEVENT* event, IO_STATUS_BLOCK* status);
NTSTATUS IoCallDriver(DEVICE_OBJECT* device, IRP* irp);

struct CONFIGURATION_INFORMATION {
    ULONG DiskCount;
    ULONG FloppyCount;
    ULONG CdRomCount;
    ULONG TapeCount;
    ULONG ScsiPortCount;
    ULONG SerialCount;
    ULONG ParallelCount;
};
CONFIGURATION_INFORMATION* IoGetConfigurationInformation();

// The parallel-port driver's information record (platform field order and pointer size).
using PPARALLEL_TRY_ALLOCATE_ROUTINE = BOOLEAN (*)(PVOID context);
using PPARALLEL_FREE_ROUTINE = void (*)(PVOID context);
using PPARALLEL_QUERY_WAITERS_ROUTINE = ULONG (*)(PVOID context);
struct PARALLEL_PORT_INFORMATION {
    PHYSICAL_ADDRESS OriginalController;
    ULONG Controller;  // I/O address of the data register (32 bits)
    ULONG SpanOfController;
    PPARALLEL_TRY_ALLOCATE_ROUTINE TryAllocatePort;
    PPARALLEL_FREE_ROUTINE FreePort;
    PPARALLEL_QUERY_WAITERS_ROUTINE QueryNumWaiters;
    PVOID Context;
};
static_assert(sizeof(PARALLEL_PORT_INFORMATION) == (sizeof(void*) == 8 ? 48 : 32));

// ---------------------------------------------------------------------------
// Events, waits, time
// ---------------------------------------------------------------------------
enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
enum KWAIT_REASON { Executive = 0 };
struct KEVENT {
    std::mutex Lock;
    std::condition_variable Cv;
    bool Signaled = false;
    EVENT_TYPE Type = NotificationEvent;
};
void KeInitializeEvent(KEVENT* event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(KEVENT* event, LONG increment, BOOLEAN wait);
// Timeout null: wait forever.  Only at or below APC level.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode,
                               BOOLEAN alertable, LARGE_INTEGER* timeout);
// Negative interval: relative, in 100 ns units.  Only at or below APC level.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, LARGE_INTEGER* interval);
// Busy-waits; any level.
void KeStallExecutionProcessor(ULONG microseconds);
// System time in 100 ns units.
void KeQuerySystemTime(LARGE_INTEGER* time);
// Kernel clock ticks since boot; one tick is KeQueryTimeIncrement() 100 ns units (15.625 ms).
void KeQueryTickCount(LARGE_INTEGER* ticks);
ULONG KeQueryTimeIncrement();

// A mutex for passive-level code.  All zero is the released state, so it may
// live in a zero-filled device extension.  Acquiring it above APC level is a
// bug check.
struct FAST_MUTEX {
    std::atomic<std::uint32_t> State;
};
void ExInitializeFastMutex(FAST_MUTEX* mutex);
void ExAcquireFastMutex(FAST_MUTEX* mutex);
void ExReleaseFastMutex(FAST_MUTEX* mutex);

// ---------------------------------------------------------------------------
// HAL
// ---------------------------------------------------------------------------
KIRQL KeGetCurrentIrql();
// Raising to a level below the current one is a bug check.
KIRQL KfRaiseIrql(KIRQL new_irql);
// Lowering to a level above the current one is a bug check.
void KfLowerIrql(KIRQL new_irql);
inline void KeRaiseIrql(KIRQL new_irql, KIRQL* old_irql) { *old_irql = KfRaiseIrql(new_irql); }
inline void KeLowerIrql(KIRQL new_irql) { KfLowerIrql(new_irql); }

// Port I/O through the platform's I/O space.  Each access costs one port
// cycle (1 us) of virtual time.
UCHAR READ_PORT_UCHAR(ULONG_PTR port);
void WRITE_PORT_UCHAR(ULONG_PTR port, UCHAR value);

// Speaker: recorded, not sounded.  0 silences.
BOOLEAN HalMakeBeep(ULONG frequency);

// Stops the system with a message naming the broken rule.
[[noreturn]] void KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4);

// ---------------------------------------------------------------------------
// Additions
// ---------------------------------------------------------------------------
inline constexpr NTSTATUS STATUS_TIMEOUT = 0x00000102;
inline constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = 0xC0000010;

// An open of a device (a file handle's object).
struct FILE_OBJECT {
    DEVICE_OBJECT* DeviceObject;
    PVOID FsContext;  // free for the driver
};

// Takes a request that waits in the device's start-I/O queue out of it (a
// request the driver cancels or completes itself must not start later).
// FALSE when the request is not queued (e.g. it is the current one).
BOOLEAN KeRemoveEntryDeviceQueue(DEVICE_OBJECT* device, IRP* irp);
