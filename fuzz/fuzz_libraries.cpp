// Fuzz target: the library entries ParDeviceCommand, ParDeviceCommandNH
// (libzevant), ParDrvCommand (libzeva32m) and ParDrvCommandVB (libzevavb32)
// with arbitrary command numbers and record bytes, on the default machine
// (simulated cameras, virtual clock).
//
// Records live in heap buffers exactly as large as the command's records in
// the layout of the entry called, so a library or driver access beyond them
// is caught by the sanitizer.  Some calls pass null records instead, which
// the libraries must refuse without touching memory.  A failed
// ParDeviceCommand or ParDeviceCommandNH leaves the result record as it was.
//
// Raw port writes to the camera's own registers (103, 105, 107, 121, and 123
// to 126 on a camera port) are left out: they can put a camera in any state
// without being a fault of the library.  Device opening and closing (27, 28)
// are left out too: the harness keeps one device open for the whole run.
//
// Input: requests of entry u8 (bits 0-1: which entry, bit 7: null records),
// command selector u8 (< 0xF0: a served command by index, else the next u16
// is the raw command number), then the parameter record's bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "common/le.h"
#include "zeva/zeva.h"

namespace {

using zeva::le::Get16;
using zeva::le::Get32;
using zeva::le::Put16;
using zeva::le::Put32;

enum class Entry { Nt, NtNoHandle, Win9x, VisualBasic };

// Commands the harness sends (device open and close, and the camera-port
// writes, stay out; see above).
constexpr std::uint16_t kCommands[] = {
    1,   2,   3,   4,   5,   6,   7,   8,   9,  10, 11,  12,  13,  14, 15,
    16,  17,  18,  19,  20,  21,  22,  23,  24, 25, 26,  29,  30,  33, 34,
    102, 104, 106, 120, 122, 123, 124, 127, 0,  31, 100, 125, 200,
};
constexpr std::size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

constexpr std::uint32_t kMaxAODelayUs = 20000;
constexpr std::uint16_t kMaxDumpLines = 3;
constexpr std::uint8_t kMaxVerticalFactor = 8;
constexpr std::uint16_t kMaxPixels = 2200;
constexpr std::uint16_t kMaxSerialCount = 300;
constexpr int kMaxRequests = 16;
constexpr std::uint8_t kCanary = 0xA7;

// The NT entries drive the camera on port 2; the 95/98 path's virtual device
// driver holds port 1.
constexpr std::uint16_t kNtPort = 2;

std::uint32_t g_handle = ZEVA_INVALID_HANDLE;
bool g_ready = false;

[[noreturn]] void Finding(const char* what, int entry, std::uint32_t command,
                          std::uint32_t status) {
    std::fprintf(stderr, "fuzz_libraries: %s: entry %d command %u -> 0x%08X\n", what, entry,
                 command, status);
    std::abort();
}

// A port address of a camera's registers (data, status, control, ECR).
bool CameraRegister(std::uint16_t address) {
    for (std::uint16_t base : {0x378, 0x278}) {
        if ((address >= base && address < base + 3) || address == base + 0x402)
            return true;
    }
    return false;
}

struct Sizes {
    std::uint32_t in;
    std::uint32_t out;
};

// The records of command c in the layout of the entry (packed for the
// no-handle, 95/98 and Visual Basic entries).  params holds at least 8 bytes
// of the parameter record as the caller gives it.
Sizes RecordSizes(Entry entry, std::uint16_t c, const std::uint8_t* params) {
    const bool packed = entry != Entry::Nt;
    switch (c) {
        case 1:
            return {packed ? 10u : 12u, 0};
        case 2:
        case 25:
            return {2, 0};
        case 3:
            return {8, 2u * Get16(params, 6)};
        case 14: {
            const std::uint32_t n = Get16(params, 6);
            return {8, 2u * (n > 1530 ? 1530 : n)};
        }
        case 4:
        case 8:
        case 13:
            return {6, 0};
        case 5:
        case 21:
        case 23:
            return {4, 0};
        case 6:
            return {0, 10};
        case 7:
            return {8, 0};
        case 9:
        case 20:
        case 24:
        case 30:
            return {0, 2};
        case 10:
            return {2, 68};
        case 11: {
            const std::uint16_t request = Get16(params, 0);
            if (request <= 1)
                return {2, packed && entry == Entry::Win9x ? 390u : 392u};
            return {2, request == 2 ? 22u : request == 3 ? 4u : 0u};
        }
        case 12:
        case 16:
            return {2, 2};
        case 19:
            return {2u + Get16(params, 0), 2};
        case 26:
        case 33:
            return {0, 4};
        case 29:
            return {2, 0};
        case 34:
            return {4, 0};
        case 102:
        case 104:
        case 106:
        case 120:
            return {0, 1};
        case 122:
            return {4, 1};
        case 123:
            return {4, 0};
        case 124:
            return {6, 1};
        case 127:
            return {2, 2};
        default:
            return {0, 0};
    }
}

// Keeps legitimate but long requests short; false: the request is left out.
bool BoundRequest(std::uint16_t c, std::uint8_t* p) {
    switch (c) {
        case 3:
        case 14:
            p[3] = static_cast<std::uint8_t>(p[3] % (kMaxVerticalFactor + 1));
            Put16(p, 6, static_cast<std::uint16_t>(Get16(p, 6) % (kMaxPixels + 1)));
            return true;
        case 4:
            p[3] = static_cast<std::uint8_t>(p[3] % (kMaxVerticalFactor + 1));
            Put16(p, 4, static_cast<std::uint16_t>(Get16(p, 4) % (kMaxDumpLines + 1)));
            return true;
        case 19:
            Put16(p, 0, static_cast<std::uint16_t>(Get16(p, 0) % (kMaxSerialCount + 1)));
            return true;
        case 23:
            Put32(p, 0, Get32(p, 0) % (kMaxAODelayUs + 1));
            return true;
        case 34:
            return true;  // any handle value; the harness puts its own back afterwards
        case 123:
            return !CameraRegister(Get16(p, 0));
        case 124:
            return !CameraRegister(Get16(p, 0));
        default:
            return true;
    }
}

std::uint32_t Call(Entry entry, std::uint32_t command, void* in, void* out) {
    switch (entry) {
        case Entry::Nt:
            return ParDeviceCommand(g_handle, command, in, out);
        case Entry::NtNoHandle:
            return ParDeviceCommandNH(command, in, out);
        case Entry::Win9x:
            return ParDrvCommand(command, in, out);
        case Entry::VisualBasic:
            return ParDrvCommandVB(command, in, out);
    }
    return 0;
}

void Setup() {
    std::uint8_t port[2];
    Put16(port, 0, kNtPort);
    std::uint8_t handle[4];
    if (ParDeviceCommandNH(17, nullptr, nullptr) != 0 ||
        ParDeviceCommand(0, 27, port, handle) != 0) {
        std::fprintf(stderr, "fuzz_libraries: the NT device does not open\n");
        std::abort();
    }
    g_handle = Get32(handle, 0);
    if (ParDeviceCommandNH(34, handle, nullptr) != 0)
        std::abort();
    if (ParDrvCommand(17, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "fuzz_libraries: the 95/98 driver does not open\n");
        std::abort();
    }
    (void)ParDrvCommandVB(17, nullptr, nullptr);  // picks the NT library
    g_ready = true;
}

// Puts back what the requests of one input may have changed: the no-handle
// entry's handle, the open 95/98 driver, the raised level of both devices.
void Restore() {
    std::uint8_t handle[4];
    Put32(handle, 0, g_handle);
    (void)ParDeviceCommandNH(34, handle, nullptr);
    (void)ParDrvCommand(17, nullptr, nullptr);  // 0, or 21 when still open
    (void)ParDrvCommandVB(17, nullptr, nullptr);
    std::uint8_t level[2];
    Put16(level, 0, 27);
    (void)ParDeviceCommand(g_handle, 29, level, nullptr);
    (void)ParDrvCommand(29, level, nullptr);
    (void)ParDeviceCommand(g_handle, 25, std::vector<std::uint8_t>(2, 0).data(), nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("ZEVA_CLOCK", "virtual", 1);
    setenv("ZEVA_PORTS", "sim:gannet?scene=pattern,sim:egret?scene=pattern", 1);
    unsetenv("ZEVA_NO_SERVICE");
    unsetenv("ZEVA_NO_VXD");
    unsetenv("ZEVA_WINDOWS");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!g_ready)
        Setup();
    std::size_t pos = 0;
    for (int n = 0; n < kMaxRequests && pos + 2 <= size; ++n) {
        const std::uint8_t how = data[pos++];
        const auto entry = static_cast<Entry>(how & 3);
        const bool null_records = (how & 0x80) != 0;
        const std::uint8_t selector = data[pos++];
        std::uint32_t command = kCommands[selector % kCommandCount];
        if (selector >= 0xF0 && pos + 2 <= size) {
            command = Get16(data, pos) | static_cast<std::uint32_t>(selector & 0x0F) << 16;
            pos += 2;
        }
        const auto c = static_cast<std::uint16_t>(command);
        if (c == 27 || c == 28 || c == 103 || c == 105 || c == 107 || c == 121 || c == 125 ||
            c == 126)
            continue;

        // The parameter record as the caller means it: the first bytes carry
        // the sizing fields; the record itself then gets its exact size.
        std::uint8_t head[12] = {};
        std::memcpy(head, data + pos, std::min<std::size_t>(sizeof head, size - pos));
        if (!BoundRequest(c, head))
            continue;
        const Sizes sizes = RecordSizes(entry, c, head);
        std::unique_ptr<std::uint8_t[]> in(new std::uint8_t[sizes.in]);
        std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[sizes.out]);
        const std::size_t have = std::min<std::size_t>(sizes.in, size - pos);
        std::memset(in.get(), 0, sizes.in);
        std::memcpy(in.get(), data + pos, have);
        std::memcpy(in.get(), head, std::min<std::size_t>(sizeof head, sizes.in));
        pos += have;
        std::memset(out.get(), kCanary, sizes.out);

        const std::uint32_t status = null_records ? Call(entry, command, nullptr, nullptr)
                                                  : Call(entry, command, in.get(), out.get());
        if (null_records)
            continue;
        const bool nt =
            entry == Entry::Nt || entry == Entry::NtNoHandle || entry == Entry::VisualBasic;
        if (nt && status != 0) {
            for (std::uint32_t i = 0; i < sizes.out; ++i) {
                if (out[i] != kCanary)
                    Finding("a failed command wrote its result record", static_cast<int>(entry),
                            command, status);
            }
        }
        if (entry == Entry::NtNoHandle && status != 0 && status < 1000)
            Finding("no-handle entry error below 1000", static_cast<int>(entry), command, status);
    }
    Restore();
    return 0;
}
