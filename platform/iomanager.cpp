// The I/O manager: driver and device objects, the object namespace,
// requests and their completion, the start-I/O queue, the cancel spin lock
// and device timers.  Events and fast mutexes are in sync.cpp.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/internal.h"

using namespace zeva::platform;
using zeva::platform::internal::BugCheck;

struct PlatformDevice {
    std::string name;  // folded \Device\ name, empty when unnamed
    bool exclusive = false;
    int open_count = 0;
    std::mutex queue_lock;
    std::deque<IRP*> queue;
    bool busy = false;
    PIO_TIMER_ROUTINE timer_routine = nullptr;
    PVOID timer_context = nullptr;
    bool timer_started = false;
    void* extension_block = nullptr;
};

struct PlatformIrp {
    std::mutex lock;
    std::condition_variable done_cv;
    bool completed = false;
    bool free_on_complete = false;  // built by IoBuildDeviceIoControlRequest
    void* output = nullptr;         // buffered output copied back on completion
    ULONG output_length = 0;
    ULONG_PTR copied = 0;
    KEVENT* event = nullptr;
    IO_STATUS_BLOCK* status_block = nullptr;
};

struct zeva::platform::OpenFile {
    FILE_OBJECT file;
};

namespace {
std::mutex g_ns_lock;
std::map<std::string, DEVICE_OBJECT*> g_devices;
std::map<std::string, std::string> g_links;
std::recursive_mutex g_timer_lock;  // held while timers run and while they change
std::mutex g_cancel_lock;
thread_local bool tl_cancel_held = false;
thread_local DEVICE_OBJECT* tl_startio_device = nullptr;
thread_local IRP* tl_startio_next = nullptr;

// Object names are case-insensitive.
std::string Fold(const std::string& s) {
    std::string r = s;
    for (char& c : r) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return r;
}

std::string Narrow(const UNICODE_STRING* s) {
    std::string r;
    if (!s || !s->Buffer)
        return r;
    for (std::size_t i = 0; i < s->Length / sizeof(WCHAR); ++i) {
        WCHAR c = s->Buffer[i];
        r.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return r;
}

// A \Device\ name or a link to one; caller holds g_ns_lock.
DEVICE_OBJECT* Resolve(const std::string& name) {
    std::string key = Fold(name);
    auto link = g_links.find(key);
    if (link != g_links.end())
        key = link->second;
    auto dev = g_devices.find(key);
    return dev == g_devices.end() ? nullptr : dev->second;
}

IRP* AllocateIrp(CCHAR stack_size) {
    if (stack_size < 1 || stack_size > kMaxIrpStack) {
        BugCheck("request stack size out of range");
    }
    IRP* irp = new IRP{};
    irp->StackCount = stack_size;
    irp->CurrentLocation = -1;
    irp->Platform = new PlatformIrp;
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    return irp;
}

void FreeIrp(IRP* irp) {
    std::free(irp->AssociatedIrp.SystemBuffer);
    delete irp->Platform;
    delete irp;
}

// System buffer of max(input, output) bytes: input copied, the rest zero.
void SetSystemBuffer(IRP* irp, const void* input, ULONG input_length, ULONG output_length) {
    std::size_t size = std::max(input_length, output_length);
    if (size == 0)
        return;
    auto* buffer = static_cast<UCHAR*>(std::calloc(size, 1));
    if (input && input_length)
        std::memcpy(buffer, input, input_length);
    irp->AssociatedIrp.SystemBuffer = buffer;
}

// Sends a request and waits until it is completed; the caller frees it.
NTSTATUS CallAndWait(DEVICE_OBJECT* device, IRP* irp) {
    NTSTATUS status = IoCallDriver(device, irp);
    PlatformIrp* p = irp->Platform;
    std::unique_lock<std::mutex> guard(p->lock);
    if (status != STATUS_PENDING && !p->completed) {
        BugCheck("dispatch routine returned without completing or pending the request");
    }
    p->done_cv.wait(guard, [p] { return p->completed; });
    return irp->IoStatus.Status;
}

NTSTATUS SendSimple(FILE_OBJECT* file, UCHAR major, ULONG options) {
    DEVICE_OBJECT* device = file->DeviceObject;
    IRP* irp = AllocateIrp(device->StackSize);
    IO_STACK_LOCATION* s = IoGetNextIrpStackLocation(irp);
    s->MajorFunction = major;
    s->Parameters.Create.Options = options;
    s->FileObject = file;
    NTSTATUS status = CallAndWait(device, irp);
    FreeIrp(irp);
    return status;
}

// Runs the start-I/O routine for irp and for every request that
// IoStartNextPacket starts from inside it (a loop, not a recursion).
void RunStartIo(DEVICE_OBJECT* device, IRP* irp) {
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    DEVICE_OBJECT* outer_device = tl_startio_device;
    IRP* outer_next = tl_startio_next;
    tl_startio_device = device;
    tl_startio_next = irp;
    while (tl_startio_next) {
        IRP* current = tl_startio_next;
        tl_startio_next = nullptr;
        device->DriverObject->DriverStartIo(device, current);
    }
    tl_startio_device = outer_device;
    tl_startio_next = outer_next;
    KfLowerIrql(old);
}
}  // namespace

// --- Stack locations and completion -------------------------------------------

IO_STACK_LOCATION* IoGetCurrentIrpStackLocation(IRP* irp) {
    if (irp->CurrentLocation < 0)
        BugCheck("request has no current stack location");
    return &irp->Stack[irp->CurrentLocation];
}

IO_STACK_LOCATION* IoGetNextIrpStackLocation(IRP* irp) {
    if (irp->CurrentLocation + 1 >= irp->StackCount)
        BugCheck("request has no next stack location");
    return &irp->Stack[irp->CurrentLocation + 1];
}

void IoMarkIrpPending(IRP* irp) {
    irp->PendingReturned = TRUE;
}

NTSTATUS IoCallDriver(DEVICE_OBJECT* device, IRP* irp) {
    if (irp->CurrentLocation + 1 >= irp->StackCount)
        BugCheck("no more request stack locations");
    ++irp->CurrentLocation;
    IO_STACK_LOCATION* s = &irp->Stack[irp->CurrentLocation];
    s->DeviceObject = device;
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[s->MajorFunction];
    if (!dispatch) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return dispatch(device, irp);
}

// Buffered output is copied back (at most the caller's length) unless the
// request failed, as for an error status the caller's buffer stays untouched.
void IoCompleteRequest(IRP* irp, CCHAR) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        BugCheck("IoCompleteRequest above DISPATCH_LEVEL");
    PlatformIrp* p = irp->Platform;
    std::unique_lock<std::mutex> guard(p->lock);
    if (p->completed)
        BugCheck("request completed twice");
    bool error = (irp->IoStatus.Status >> 30) == 3;
    if (!error && p->output && irp->AssociatedIrp.SystemBuffer) {
        p->copied = std::min<ULONG_PTR>(irp->IoStatus.Information, p->output_length);
        std::memcpy(p->output, irp->AssociatedIrp.SystemBuffer, p->copied);
    }
    if (p->status_block)
        *p->status_block = irp->IoStatus;
    p->completed = true;
    if (p->free_on_complete) {
        KEVENT* event = p->event;
        guard.unlock();
        FreeIrp(irp);
        if (event)
            KeSetEvent(event, 0, FALSE);
        return;
    }
    p->done_cv.notify_all();
}

PDRIVER_CANCEL IoSetCancelRoutine(IRP* irp, PDRIVER_CANCEL routine) {
    std::lock_guard<std::mutex> guard(irp->Platform->lock);
    PDRIVER_CANCEL old = irp->CancelRoutine;
    irp->CancelRoutine = routine;
    return old;
}

void IoAcquireCancelSpinLock(KIRQL* irql) {
    if (tl_cancel_held)
        BugCheck("cancel spin lock acquired twice by one thread");
    *irql = KfRaiseIrql(DISPATCH_LEVEL);
    g_cancel_lock.lock();
    tl_cancel_held = true;
}

void IoReleaseCancelSpinLock(KIRQL irql) {
    if (!tl_cancel_held)
        BugCheck("cancel spin lock released but not held");
    tl_cancel_held = false;
    g_cancel_lock.unlock();
    KfLowerIrql(irql);
}

// --- Devices and names ---------------------------------------------------------

NTSTATUS IoCreateDevice(DRIVER_OBJECT* driver, ULONG extension_size, UNICODE_STRING* device_name,
                        DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                        DEVICE_OBJECT** device) {
    *device = nullptr;
    std::string name = Fold(Narrow(device_name));
    std::lock_guard<std::mutex> guard(g_ns_lock);
    if (!name.empty() && g_devices.count(name))
        return STATUS_OBJECT_NAME_COLLISION;
    auto* d = new DEVICE_OBJECT{};
    d->Platform = new PlatformDevice;
    d->Platform->name = name;
    d->Platform->exclusive = exclusive != 0;
    if (extension_size) {
        // Extensions are zero-filled and aligned like pool.
        std::size_t rounded = (std::size_t{extension_size} + 15) / 16 * 16;
        d->Platform->extension_block = std::aligned_alloc(16, rounded);
        std::memset(d->Platform->extension_block, 0, rounded);
        d->DeviceExtension = d->Platform->extension_block;
    }
    d->DriverObject = driver;
    d->DeviceType = type;
    d->Characteristics = characteristics;
    d->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    d->StackSize = 1;
    d->NextDevice = driver->DeviceObject;
    driver->DeviceObject = d;
    if (!name.empty())
        g_devices[name] = d;
    *device = d;
    return STATUS_SUCCESS;
}

void IoDeleteDevice(DEVICE_OBJECT* device) {
    // Held throughout so that no timer routine runs on a device being freed.
    std::lock_guard<std::recursive_mutex> timers(g_timer_lock);
    std::lock_guard<std::mutex> guard(g_ns_lock);
    DEVICE_OBJECT** link = &device->DriverObject->DeviceObject;
    while (*link && *link != device) link = &(*link)->NextDevice;
    if (*link)
        *link = device->NextDevice;
    if (!device->Platform->name.empty())
        g_devices.erase(device->Platform->name);
    std::free(device->Platform->extension_block);
    delete device->Platform;
    delete device;
}

NTSTATUS IoCreateSymbolicLink(UNICODE_STRING* link_name, UNICODE_STRING* device_name) {
    std::string link = Fold(Narrow(link_name));
    std::lock_guard<std::mutex> guard(g_ns_lock);
    if (link.empty())
        return STATUS_INVALID_PARAMETER;
    if (g_links.count(link) || g_devices.count(link))
        return STATUS_OBJECT_NAME_COLLISION;
    g_links[link] = Fold(Narrow(device_name));
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(UNICODE_STRING* link_name) {
    std::lock_guard<std::mutex> guard(g_ns_lock);
    return g_links.erase(Fold(Narrow(link_name))) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS IoGetDeviceObjectPointer(UNICODE_STRING* name, ACCESS_MASK, FILE_OBJECT** file,
                                  DEVICE_OBJECT** device) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("IoGetDeviceObjectPointer above PASSIVE_LEVEL");
    std::lock_guard<std::mutex> guard(g_ns_lock);
    DEVICE_OBJECT* d = Resolve(Narrow(name));
    if (!d)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    *file = new FILE_OBJECT{d, nullptr};
    *device = d;
    return STATUS_SUCCESS;
}

void ObDereferenceObject(PVOID object) {
    delete static_cast<FILE_OBJECT*>(object);
}

// --- Start-I/O queue -------------------------------------------------------------

void IoStartPacket(DEVICE_OBJECT* device, IRP* irp, ULONG*, PDRIVER_CANCEL cancel) {
    PlatformDevice* pd = device->Platform;
    {
        std::lock_guard<std::mutex> guard(pd->queue_lock);
        if (pd->busy) {
            irp->CancelRoutine = cancel;
            pd->queue.push_back(irp);
            return;
        }
        pd->busy = true;
        device->CurrentIrp = irp;
    }
    RunStartIo(device, irp);
}

void IoStartNextPacket(DEVICE_OBJECT* device, BOOLEAN) {
    PlatformDevice* pd = device->Platform;
    IRP* next = nullptr;
    {
        std::lock_guard<std::mutex> guard(pd->queue_lock);
        if (pd->queue.empty()) {
            pd->busy = false;
            device->CurrentIrp = nullptr;
            return;
        }
        next = pd->queue.front();
        pd->queue.pop_front();
        next->CancelRoutine = nullptr;
        device->CurrentIrp = next;
    }
    if (tl_startio_device == device) {
        tl_startio_next = next;  // the running loop starts it
    } else {
        RunStartIo(device, next);
    }
}

BOOLEAN KeRemoveEntryDeviceQueue(DEVICE_OBJECT* device, IRP* irp) {
    PlatformDevice* pd = device->Platform;
    std::lock_guard<std::mutex> guard(pd->queue_lock);
    auto it = std::find(pd->queue.begin(), pd->queue.end(), irp);
    if (it == pd->queue.end())
        return FALSE;
    pd->queue.erase(it);
    return TRUE;
}

// --- Device timers ---------------------------------------------------------------

NTSTATUS IoInitializeTimer(DEVICE_OBJECT* device, PIO_TIMER_ROUTINE routine, PVOID context) {
    std::lock_guard<std::recursive_mutex> guard(g_timer_lock);
    device->Platform->timer_routine = routine;
    device->Platform->timer_context = context;
    device->Platform->timer_started = false;
    return STATUS_SUCCESS;
}

void IoStartTimer(DEVICE_OBJECT* device) {
    std::lock_guard<std::recursive_mutex> guard(g_timer_lock);
    if (!device->Platform->timer_routine)
        BugCheck("IoStartTimer on a device without a timer");
    device->Platform->timer_started = true;
}

void IoStopTimer(DEVICE_OBJECT* device) {
    std::lock_guard<std::recursive_mutex> guard(g_timer_lock);
    device->Platform->timer_started = false;
}

namespace zeva::platform::internal {

void RunDeviceTimers() {
    std::lock_guard<std::recursive_mutex> timers(g_timer_lock);
    std::vector<DEVICE_OBJECT*> due;
    {
        std::lock_guard<std::mutex> guard(g_ns_lock);
        for (auto& entry : g_devices) {
            if (entry.second->Platform->timer_started)
                due.push_back(entry.second);
        }
    }
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    for (DEVICE_OBJECT* d : due) {
        // A routine may stop its own or another timer.
        if (d->Platform->timer_started)
            d->Platform->timer_routine(d, d->Platform->timer_context);
    }
    KfLowerIrql(old);
}

namespace {
std::mutex g_timer_thread_lock;
std::condition_variable g_timer_thread_cv;
bool g_timer_thread_stop = false;

// A process may end with the system still booted (an application that never
// shuts it down): stop the timer thread then instead of leaving it joinable.
struct TimerThread {
    std::thread thread;
    ~TimerThread() {
        if (!thread.joinable())
            return;
        {
            std::lock_guard<std::mutex> guard(g_timer_thread_lock);
            g_timer_thread_stop = true;
        }
        g_timer_thread_cv.notify_all();
        thread.join();
    }
};
TimerThread g_timer;
std::thread& g_timer_thread = g_timer.thread;
}  // namespace

void StartRealTimerThread() {
    g_timer_thread_stop = false;
    g_timer_thread = std::thread([] {
        std::unique_lock<std::mutex> guard(g_timer_thread_lock);
        while (!g_timer_thread_cv.wait_for(guard, std::chrono::seconds(1),
                                           [] { return g_timer_thread_stop; })) {
            guard.unlock();
            RunDeviceTimers();
            guard.lock();
        }
    });
}

void StopRealTimerThread() {
    if (!g_timer_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(g_timer_thread_lock);
        g_timer_thread_stop = true;
    }
    g_timer_thread_cv.notify_all();
    g_timer_thread.join();
}

DRIVER_OBJECT* NewDriverObject() {
    return new DRIVER_OBJECT{};
}

void DeleteDriverObject(DRIVER_OBJECT* driver) {
    while (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
    delete driver;
}

void ClearNamespace() {
    std::lock_guard<std::mutex> guard(g_ns_lock);
    g_links.clear();
    g_devices.clear();
}

}  // namespace zeva::platform::internal

// --- Internal requests -------------------------------------------------------------

IRP* IoBuildDeviceIoControlRequest(ULONG code, DEVICE_OBJECT* device, PVOID input,
                                   ULONG input_length, PVOID output, ULONG output_length,
                                   BOOLEAN internal, KEVENT* event, IO_STATUS_BLOCK* status) {
    IRP* irp = AllocateIrp(device->StackSize);
    SetSystemBuffer(irp, input, input_length, output_length);
    irp->UserBuffer = output;
    PlatformIrp* p = irp->Platform;
    p->free_on_complete = true;
    p->output = output;
    p->output_length = output_length;
    p->event = event;
    p->status_block = status;
    IO_STACK_LOCATION* s = IoGetNextIrpStackLocation(irp);
    s->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    s->Parameters.DeviceIoControl.IoControlCode = code;
    s->Parameters.DeviceIoControl.InputBufferLength = input_length;
    s->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    s->Parameters.DeviceIoControl.Type3InputBuffer = input;
    return irp;
}

// --- Requests from user mode -----------------------------------------------------------

namespace zeva::platform {

DEVICE_OBJECT* FindDevice(const std::string& name) {
    std::lock_guard<std::mutex> guard(g_ns_lock);
    return Resolve(name);
}

bool SymbolicLinkExists(const std::string& link) {
    std::lock_guard<std::mutex> guard(g_ns_lock);
    return g_links.count(Fold(link)) != 0;
}

NTSTATUS OpenDevice(const std::string& name, ULONG create_options, OpenFile** file) {
    *file = nullptr;
    DEVICE_OBJECT* device = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_ns_lock);
        device = Resolve(name);
        if (!device)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        PlatformDevice* pd = device->Platform;
        if (pd->exclusive && pd->open_count > 0)
            return STATUS_SHARING_VIOLATION;
        ++pd->open_count;  // held while the create runs, so a second open is refused
    }
    auto* f = new OpenFile{{device, nullptr}};
    NTSTATUS status = SendSimple(&f->file, IRP_MJ_CREATE, create_options);
    if (!NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(g_ns_lock);
        --device->Platform->open_count;
        delete f;
        return status;
    }
    *file = f;
    return status;
}

NTSTATUS CloseFile(OpenFile* file) {
    if (!file)
        return STATUS_INVALID_HANDLE;
    SendSimple(&file->file, IRP_MJ_CLEANUP, 0);
    NTSTATUS status = SendSimple(&file->file, IRP_MJ_CLOSE, 0);
    {
        std::lock_guard<std::mutex> guard(g_ns_lock);
        --file->file.DeviceObject->Platform->open_count;
    }
    delete file;
    return status;
}

NTSTATUS DeviceControl(OpenFile* file, ULONG code, const void* input, ULONG input_length,
                       void* output, ULONG output_length, ULONG_PTR* bytes_returned) {
    if (bytes_returned)
        *bytes_returned = 0;
    if (!file)
        return STATUS_INVALID_HANDLE;
    DEVICE_OBJECT* device = file->file.DeviceObject;
    IRP* irp = AllocateIrp(device->StackSize);
    SetSystemBuffer(irp, input, input_length, output_length);
    irp->Platform->output = output;
    irp->Platform->output_length = output ? output_length : 0;
    IO_STACK_LOCATION* s = IoGetNextIrpStackLocation(irp);
    s->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    s->Parameters.DeviceIoControl.IoControlCode = code;
    s->Parameters.DeviceIoControl.InputBufferLength = input_length;
    s->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    s->FileObject = &file->file;
    NTSTATUS status = CallAndWait(device, irp);
    if (bytes_returned)
        *bytes_returned = irp->Platform->copied;
    FreeIrp(irp);
    return status;
}

}  // namespace zeva::platform
