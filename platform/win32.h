// The Win32 calls the user libraries use, over the in-process I/O manager.
//
// Handles are 32-bit values; the invalid handle is 0xFFFFFFFF.  A device
// path "\\.\NAME" opens the \DosDevices\NAME link.  A failed call sets the
// calling thread's last-error value: a status with the customer bit set
// passes unchanged, other statuses map to Win32 error codes.
//
// Environment knobs, read at each call:
//   ZEVA_NO_SERVICE=1      the "ZEVA" driver service does not exist
//   ZEVA_WINDOWS=95|98     GetVersionExA reports Windows 95 / 98 (default: NT 5.0)
//   ZEVA_NO_VXD=1          the virtual device driver zeva32.vxd is missing
#pragma once

#include <cstddef>
#include <cstdint>

namespace zeva::win32 {

using Handle = std::uint32_t;
using Bool = std::int32_t;

inline constexpr Handle kInvalidHandle = 0xFFFFFFFFu;

inline constexpr std::uint32_t kErrorInvalidFunction = 1;
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorDirectory = 267;
inline constexpr std::uint32_t kErrorMrMidNotFound = 317;
inline constexpr std::uint32_t kErrorOperationAborted = 995;
inline constexpr std::uint32_t kErrorServiceDoesNotExist = 1060;
inline constexpr std::uint32_t kErrorNoSystemResources = 1450;

inline constexpr std::uint32_t kFileFlagDeleteOnClose = 0x04000000u;
inline constexpr std::uint32_t kOpenExisting = 3;

// GetVersionExA record: 148 bytes, u32 size at 0, major 4, minor 8, build 12,
// platform id 16, 128 characters of service-pack text at 20.
inline constexpr std::uint32_t kOsVersionInfoSize = 148;
inline constexpr std::uint32_t kPlatformWin32Windows = 1;
inline constexpr std::uint32_t kPlatformWin32Nt = 2;

Handle CreateFileA(const char* path, std::uint32_t access, std::uint32_t share,
                   const void* security, std::uint32_t disposition, std::uint32_t flags,
                   Handle template_file);
Bool DeviceIoControl(Handle handle, std::uint32_t code, void* input, std::uint32_t input_length,
                     void* output, std::uint32_t output_length, std::uint32_t* bytes_returned,
                     void* overlapped);
Bool CloseHandle(Handle handle);
std::uint32_t GetLastError();
void SetLastError(std::uint32_t error);
Bool GetVersionExA(void* info);

// Service handles: 0 on failure.
Handle OpenSCManagerA(const char* machine, const char* database, std::uint32_t access);
Handle OpenServiceA(Handle manager, const char* name, std::uint32_t access);
Bool CloseServiceHandle(Handle handle);

// The pointer checks: true when every byte of [record, record + length) can
// be read (and, for RecordWritable, written; its contents stay as they were).
// A length of 0 is always fine; a null record with a length never is.
bool RecordReadable(const void* record, std::size_t length);
bool RecordWritable(void* record, std::size_t length);

// Win32 error code of a completion status.
std::uint32_t ErrorFromStatus(std::uint32_t status);

// Boots the default system on first use of the calls above when none runs.
// Returns false when it could not.  Installed by the composition library.
void SetSystemStarter(bool (*start)());

// A virtual device driver reachable as "\\.\<name>" (the Windows 95/98 path).
// open returns a context (null: refused), control carries one request with the
// raw record pointers and writes the bytes-returned count, close ends it.
struct VirtualDeviceDriver {
    const char* name;  // file name, compared without case: "zeva32.vxd"
    void* (*open)();
    void (*control)(void* context, std::uint32_t code, void* input, std::uint32_t input_length,
                    void* output, std::uint32_t output_length, std::uint32_t* bytes_returned);
    void (*close)(void* context);
};
void SetVirtualDeviceDriver(const VirtualDeviceDriver* vxd);

}  // namespace zeva::win32
