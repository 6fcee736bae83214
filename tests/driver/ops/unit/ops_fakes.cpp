#include "tests/driver/ops/unit/ops_fakes.h"

#include "common/le.h"
#include "driver/frame/routines.h"
#include "driver/link/port.h"
#include "driver/ops/temperature.h"
#include "driver/readout/readout.h"

namespace zeva::test {

OpsFakes g_ops;

int OpsFakes::count(const std::string& name) const {
    int n = 0;
    for (const auto& c : calls) n += c.name == name;
    return n;
}

const OpsCall* OpsFakes::last(const std::string& name) const {
    for (auto it = calls.rbegin(); it != calls.rend(); ++it)
        if (it->name == name)
            return &*it;
    return nullptr;
}

}  // namespace zeva::test

namespace zeva::driver {
using test::g_ops;

void DisableLPTInterrupts(DeviceState*) {
    g_ops.calls.push_back({"DisableLPTInterrupts", 0, 0, 0, 0});
}
void SetVdd(DeviceState*, int on) {
    g_ops.calls.push_back({"SetVdd", on, 0, 0, 0});
}
void Delay(std::int32_t ms) {
    g_ops.calls.push_back({"Delay", ms, 0, 0, 0});
    g_ops.delayed_ms += ms;
    g_ops.now_us += std::int64_t{ms} * 1000;
}
std::uint32_t TickCount() {
    return static_cast<std::uint32_t>(g_ops.now_us / 55000);
}
NTSTATUS GetUSTimer(DeviceState*, std::uint8_t* out) {
    ++g_ops.us_reads;
    g_ops.now_us += 15625;  // the system time advances in clock-tick steps
    le::Put32(out, 0, static_cast<std::uint32_t>(g_ops.now_us));
    return 0;
}
NTSTATUS ReadOffset(DeviceState*, const std::uint8_t* params, std::uint8_t* result) {
    g_ops.calls.push_back({"ReadOffset", le::Get16(params, 0), 0, 0, 0});
    le::Put16(result, 0, g_ops.offset);
    return g_ops.offset_status;
}
NTSTATUS FreezeTEControl(DeviceState*, int freeze) {
    g_ops.calls.push_back({"FreezeTEControl", freeze, 0, 0, 0});
    return 0;
}
NTSTATUS ClearImagingArray(DeviceState*, std::uint16_t rows, std::int16_t columns,
                           std::uint16_t passes, std::int16_t left) {
    g_ops.calls.push_back({"ClearImagingArray", rows, columns, passes, left});
    return g_ops.clear_status;
}
NTSTATUS ClearTrackingArray(DeviceState*, std::uint16_t rows, std::uint16_t passes,
                            std::int16_t left) {
    g_ops.calls.push_back({"ClearTrackingArray", rows, passes, left, 0});
    return g_ops.clear_status;
}
NTSTATUS DumpImagingLines(DeviceState*, std::int16_t columns, std::uint16_t lines,
                          std::uint16_t rows) {
    g_ops.calls.push_back({"DumpImagingLines", columns, lines, rows, 0});
    return 0;
}
NTSTATUS DumpTrackingLines(DeviceState*, std::int16_t columns, std::uint16_t lines,
                           std::uint16_t rows) {
    g_ops.calls.push_back({"DumpTrackingLines", columns, lines, rows, 0});
    return 0;
}
NTSTATUS DumpEgretLines(DeviceState*, std::int16_t columns, std::uint16_t lines,
                        std::uint16_t rows) {
    g_ops.calls.push_back({"DumpEgretLines", columns, lines, rows, 0});
    return 0;
}
NTSTATUS MeasureFinchBias(DeviceState*, std::int16_t columns) {
    g_ops.calls.push_back({"MeasureFinchBias", columns, 0, 0, 0});
    return g_ops.clear_status;
}
NTSTATUS MeasureEgretBias(DeviceState*, std::int16_t columns) {
    g_ops.calls.push_back({"MeasureEgretBias", columns, 0, 0, 0});
    return 0;
}

}  // namespace zeva::driver
