// Recording fakes of the clocking routines, the offset measurement, the
// cooler freeze and the port timing calls the camera operations make.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zeva::test {

struct OpsCall {
    std::string name;
    std::int64_t a, b, c, d;
};

struct OpsFakes {
    std::vector<OpsCall> calls;
    std::uint16_t offset = 100;  // ReadOffset's measured level
    std::uint32_t offset_status = 0;
    std::uint32_t clear_status = 0;  // clear and bias routines
    std::int64_t now_us = 0;         // the microsecond clock
    int us_reads = 0;
    std::int64_t delayed_ms = 0;
    int count(const std::string& name) const;
    const OpsCall* last(const std::string& name) const;
};

extern OpsFakes g_ops;

}  // namespace zeva::test
