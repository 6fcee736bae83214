// Win32 calls over the in-process I/O manager: a handle table of opened
// device files, service handles and virtual device driver contexts.
#include "platform/win32.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/system.h"

namespace zeva::win32 {
namespace {

// Closing: the handle was closed while calls on it were still running; the
// file (or driver context) is closed when the last of them returns, as the
// system closes a file only once no request uses it any more.
enum class Kind { Free, Device, Vxd, Manager, Service, Closing };

struct HandleEntry {
    Kind kind = Kind::Free;
    platform::OpenFile* file = nullptr;
    void* vxd_context = nullptr;
    bool vxd = false;         // what a closing entry holds
    std::uint32_t calls = 0;  // device calls in progress on the handle
};

constexpr Handle kFirstHandle = 0x100;

std::mutex g_table_lock;
std::vector<HandleEntry> g_table;
bool (*g_starter)() = nullptr;
const VirtualDeviceDriver* g_vxd = nullptr;
thread_local std::uint32_t t_last_error = 0;

bool Knob(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0;
}

Handle HandleOf(std::size_t index) {
    return kFirstHandle + 4 * static_cast<Handle>(index);
}

// Caller holds g_table_lock.
Handle Insert(const HandleEntry& entry) {
    for (std::size_t i = 0; i < g_table.size(); ++i) {
        if (g_table[i].kind == Kind::Free) {
            g_table[i] = entry;
            return HandleOf(i);
        }
    }
    g_table.push_back(entry);
    return HandleOf(g_table.size() - 1);
}

// Caller holds g_table_lock.
HandleEntry* Lookup(Handle handle) {
    if (handle < kFirstHandle || (handle - kFirstHandle) % 4 != 0) {
        return nullptr;
    }
    std::size_t index = (handle - kFirstHandle) / 4;
    if (index >= g_table.size() || g_table[index].kind == Kind::Free) {
        return nullptr;
    }
    return &g_table[index];
}

void EnsureSystem() {
    static std::mutex start_lock;
    std::lock_guard<std::mutex> guard(start_lock);
    if (!platform::SystemRunning() && g_starter != nullptr) {
        g_starter();
    }
}

bool EqualNoCase(const std::string& a, const char* b) {
    std::size_t n = std::strlen(b);
    if (a.size() != n) {
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y) {
            return false;
        }
    }
    return true;
}

Handle Fail(std::uint32_t error) {
    t_last_error = error;
    return kInvalidHandle;
}

}  // namespace

std::uint32_t ErrorFromStatus(std::uint32_t status) {
    if (status == STATUS_SUCCESS) {
        return 0;
    }
    if ((status & 0x20000000u) != 0) {
        return status;  // customer statuses reach the caller unchanged
    }
    switch (status) {
        case STATUS_NOT_IMPLEMENTED:
            return kErrorInvalidFunction;
        case STATUS_INVALID_HANDLE:
            return kErrorInvalidHandle;
        case STATUS_INVALID_PARAMETER:
            return kErrorInvalidParameter;
        case STATUS_NO_SUCH_DEVICE:
        case STATUS_OBJECT_NAME_NOT_FOUND:
            return kErrorFileNotFound;
        case STATUS_ACCESS_DENIED:
            return kErrorAccessDenied;
        case STATUS_SHARING_VIOLATION:
            return kErrorSharingViolation;
        case STATUS_BUFFER_TOO_SMALL:
            return kErrorInsufficientBuffer;
        case STATUS_INSUFFICIENT_RESOURCES:
            return kErrorNoSystemResources;
        case STATUS_NOT_A_DIRECTORY:
            return kErrorDirectory;
        case STATUS_CANCELLED:
            return kErrorOperationAborted;
        default:
            return kErrorMrMidNotFound;
    }
}

void SetSystemStarter(bool (*start)()) {
    g_starter = start;
}

void SetVirtualDeviceDriver(const VirtualDeviceDriver* vxd) {
    g_vxd = vxd;
}

Handle CreateFileA(const char* path, std::uint32_t /*access*/, std::uint32_t /*share*/,
                   const void* /*security*/, std::uint32_t /*disposition*/, std::uint32_t flags,
                   Handle /*template_file*/) {
    if (path == nullptr) {
        return Fail(kErrorInvalidParameter);
    }
    std::string text(path);
    if (text.rfind("\\\\.\\", 0) != 0 || text.size() == 4) {
        return Fail(kErrorFileNotFound);
    }
    std::string name = text.substr(4);
    EnsureSystem();
    if (g_vxd != nullptr && EqualNoCase(name, g_vxd->name)) {
        // Loading a dynamic virtual device driver needs the delete-on-close flag.
        if (Knob("ZEVA_NO_VXD") || (flags & kFileFlagDeleteOnClose) == 0) {
            return Fail(kErrorFileNotFound);
        }
        void* context = g_vxd->open();
        if (context == nullptr) {
            return Fail(kErrorFileNotFound);
        }
        HandleEntry entry;
        entry.kind = Kind::Vxd;
        entry.vxd_context = context;
        std::lock_guard<std::mutex> guard(g_table_lock);
        return Insert(entry);
    }
    platform::OpenFile* file = nullptr;
    NTSTATUS status = platform::OpenDevice("\\DosDevices\\" + name, 0, &file);
    if (status != STATUS_SUCCESS || file == nullptr) {
        return Fail(
            ErrorFromStatus(status == STATUS_SUCCESS ? STATUS_OBJECT_NAME_NOT_FOUND : status));
    }
    HandleEntry entry;
    entry.kind = Kind::Device;
    entry.file = file;
    std::lock_guard<std::mutex> guard(g_table_lock);
    return Insert(entry);
}

namespace {

// Closes what an entry opened; called without the table lock.
NTSTATUS CloseOpened(const HandleEntry& entry) {
    if (entry.vxd) {
        g_vxd->close(entry.vxd_context);
        return STATUS_SUCCESS;
    }
    return platform::CloseFile(entry.file);
}

// Ends one device call on a handle; the last call on a closed handle closes it.
void EndCall(Handle handle) {
    HandleEntry closing;
    {
        std::lock_guard<std::mutex> guard(g_table_lock);
        HandleEntry* found = &g_table[(handle - kFirstHandle) / 4];
        if (--found->calls != 0 || found->kind != Kind::Closing) {
            return;
        }
        closing = *found;
        *found = HandleEntry{};
    }
    CloseOpened(closing);
}

Bool DeviceIoControlOn(const HandleEntry& entry, std::uint32_t code, void* input,
                       std::uint32_t input_length, void* output, std::uint32_t output_length,
                       std::uint32_t* bytes_returned);

}  // namespace

Bool DeviceIoControl(Handle handle, std::uint32_t code, void* input, std::uint32_t input_length,
                     void* output, std::uint32_t output_length, std::uint32_t* bytes_returned,
                     void* /*overlapped*/) {
    HandleEntry entry;
    {
        std::lock_guard<std::mutex> guard(g_table_lock);
        HandleEntry* found = Lookup(handle);
        if (found == nullptr || (found->kind != Kind::Device && found->kind != Kind::Vxd)) {
            t_last_error = kErrorInvalidHandle;
            return 0;
        }
        ++found->calls;
        entry = *found;
    }
    const Bool done =
        DeviceIoControlOn(entry, code, input, input_length, output, output_length, bytes_returned);
    EndCall(handle);
    return done;
}

namespace {

Bool DeviceIoControlOn(const HandleEntry& entry, std::uint32_t code, void* input,
                       std::uint32_t input_length, void* output, std::uint32_t output_length,
                       std::uint32_t* bytes_returned) {
    if (entry.kind == Kind::Vxd) {
        std::uint32_t count = 0;
        g_vxd->control(entry.vxd_context, code, input, input_length, output, output_length, &count);
        if (bytes_returned != nullptr) {
            *bytes_returned = count;
        }
        return 1;
    }
    if ((input == nullptr && input_length != 0) || (output == nullptr && output_length != 0)) {
        t_last_error = kErrorInvalidParameter;
        return 0;
    }
    ULONG_PTR count = 0;
    NTSTATUS status = platform::DeviceControl(entry.file, code, input, input_length, output,
                                              output_length, &count);
    if (bytes_returned != nullptr) {
        *bytes_returned = status == STATUS_SUCCESS ? static_cast<std::uint32_t>(count) : 0;
    }
    if (status != STATUS_SUCCESS) {
        t_last_error = ErrorFromStatus(status);
        return 0;
    }
    return 1;
}

}  // namespace

Bool CloseHandle(Handle handle) {
    HandleEntry entry;
    {
        std::lock_guard<std::mutex> guard(g_table_lock);
        HandleEntry* found = Lookup(handle);
        if (found == nullptr || (found->kind != Kind::Device && found->kind != Kind::Vxd)) {
            t_last_error = kErrorInvalidHandle;
            return 0;
        }
        if (found->calls != 0) {
            // The handle is gone at once; the last running call closes the file.
            found->vxd = found->kind == Kind::Vxd;
            found->kind = Kind::Closing;
            return 1;
        }
        entry = *found;
        entry.vxd = entry.kind == Kind::Vxd;
        *found = HandleEntry{};
    }
    const NTSTATUS status = CloseOpened(entry);
    if (status != STATUS_SUCCESS) {
        t_last_error = ErrorFromStatus(status);
        return 0;
    }
    return 1;
}

std::uint32_t GetLastError() {
    return t_last_error;
}

void SetLastError(std::uint32_t error) {
    t_last_error = error;
}

Bool GetVersionExA(void* info) {
    if (info == nullptr) {
        t_last_error = kErrorInvalidParameter;
        return 0;
    }
    auto* p = static_cast<std::uint8_t*>(info);
    std::uint32_t size = 0;
    std::memcpy(&size, p, 4);  // host is little-endian, as the records
    if (size < kOsVersionInfoSize) {
        t_last_error = kErrorInsufficientBuffer;
        return 0;
    }
    const char* windows = std::getenv("ZEVA_WINDOWS");
    std::uint32_t major = 5, minor = 0, build = 2195, platform_id = kPlatformWin32Nt;
    if (windows != nullptr && std::strcmp(windows, "95") == 0) {
        major = 4, minor = 0, build = 950, platform_id = kPlatformWin32Windows;
    } else if (windows != nullptr && std::strcmp(windows, "98") == 0) {
        major = 4, minor = 10, build = 1998, platform_id = kPlatformWin32Windows;
    }
    std::uint32_t fields[4] = {major, minor, build, platform_id};
    std::memcpy(p + 4, fields, sizeof fields);
    std::memset(p + 20, 0, 128);
    return 1;
}

Handle OpenSCManagerA(const char* /*machine*/, const char* /*database*/, std::uint32_t /*access*/) {
    EnsureSystem();
    HandleEntry entry;
    entry.kind = Kind::Manager;
    std::lock_guard<std::mutex> guard(g_table_lock);
    return Insert(entry);
}

Handle OpenServiceA(Handle manager, const char* name, std::uint32_t /*access*/) {
    std::lock_guard<std::mutex> guard(g_table_lock);
    HandleEntry* found = Lookup(manager);
    if (found == nullptr || found->kind != Kind::Manager) {
        t_last_error = kErrorInvalidHandle;
        return 0;
    }
    if (name == nullptr || !EqualNoCase(name, "ZEVA") || Knob("ZEVA_NO_SERVICE") ||
        platform::LoadedDriver() == nullptr) {
        t_last_error = kErrorServiceDoesNotExist;
        return 0;
    }
    HandleEntry entry;
    entry.kind = Kind::Service;
    return Insert(entry);
}

Bool CloseServiceHandle(Handle handle) {
    std::lock_guard<std::mutex> guard(g_table_lock);
    HandleEntry* found = Lookup(handle);
    if (found == nullptr || (found->kind != Kind::Manager && found->kind != Kind::Service)) {
        t_last_error = kErrorInvalidHandle;
        return 0;
    }
    *found = HandleEntry{};
    return 1;
}

}  // namespace zeva::win32
