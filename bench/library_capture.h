// What the capture benchmarks share: a counter on every port, the simulated
// models on ports of their own, and one full frame taken through
// ParDeviceCommand as the capture tool takes it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "common/commands.h"
#include "common/le.h"
#include "common/records.h"
#include "platform/port_backend.h"
#include "zeva/zeva.h"

namespace zeva::bench {

using le::Get16;
using le::Put16;
using le::Put32;
using le::Put8;

// Counts every access and passes it on; attaches the camera behind it to the
// platform clock at the first access (the platform attaches only the outer
// backend).
class CountingPort final : public platform::PortBackend {
  public:
    explicit CountingPort(std::unique_ptr<platform::PortBackend> inner)
        : inner_(std::move(inner)) {}
    std::uint64_t accesses = 0;

  private:
    void Attached() {
        if (inner_->Host() == nullptr)
            inner_->Attach(Host());
    }
    std::uint8_t DoRead(std::uint32_t offset) override {
        ++accesses;
        Attached();
        return inner_->Read(offset);
    }
    void DoWrite(std::uint32_t offset, std::uint8_t value) override {
        ++accesses;
        Attached();
        inner_->Write(offset, value);
    }
    void DoLevelChanged(bool raised) override { inner_->LevelChanged(raised); }

    std::unique_ptr<platform::PortBackend> inner_;
};

inline const char* const kModels[] = {"gannet",  "heron", "ibis",  "jacana",
                                      "kestrel", "egret", "finch", "siskin"};
constexpr std::size_t kModelCount = sizeof kModels / sizeof kModels[0];
inline CountingPort* g_ports[kModelCount] = {};

inline std::unique_ptr<platform::PortBackend> Count(std::unique_ptr<platform::PortBackend> backend,
                                                    std::size_t index) {
    auto port = std::make_unique<CountingPort>(std::move(backend));
    if (index < kModelCount)
        g_ports[index] = port.get();
    return port;
}

inline bool Ok(std::uint32_t status, const char* what) {
    if (status == 0)
        return true;
    std::fprintf(stderr, "%s failed: 0x%08X\n", what, status);
    return false;
}

struct Frame {
    unsigned width = 0, height = 0;
};

// Mode 0 of `ccd` from the camera's own table.
inline bool ModeZero(std::uint32_t h, std::uint16_t ccd, Frame* f) {
    std::uint8_t in[rec::CcdInfoParams::kSize], out[rec::CcdInfoResult::kSize] = {};
    Put16(in, 0, ccd);
    if (!Ok(ParDeviceCommand(h, CmdGetCCDInfo, in, out), "GetCCDInfo"))
        return false;
    f->width = Get16(out, rec::CcdInfoResult::Mode(0) + rec::ReadoutModeInfo::Width);
    f->height = Get16(out, rec::CcdInfoResult::Mode(0) + rec::ReadoutModeInfo::Height);
    return f->width > 0 && f->height > 0;
}

// One frame, the tool's sequence.
inline bool Capture(std::uint32_t h, std::uint16_t ccd, const Frame& f,
                    std::vector<std::uint8_t>* line) {
    std::uint8_t temp[rec::TemperatureStatusResults::kSize];
    if (!Ok(ParDeviceCommand(h, CmdQueryTemperatureStatus, nullptr, temp), "QueryTemperature"))
        return false;
    std::uint8_t start[rec::StartExposureParams::kSize] = {};
    Put16(start, rec::StartExposureParams::Ccd, ccd);
    Put32(start, rec::StartExposureParams::ExposureTime, 1);  // 10 ms
    Put16(start, rec::StartExposureParams::ShutterMode, 1);
    if (!Ok(ParDeviceCommand(h, CmdStartExposure, start, nullptr), "StartExposure"))
        return false;
    for (;;) {
        std::uint8_t q[2], word[2];
        Put16(q, 0, CmdStartExposure);
        if (!Ok(ParDeviceCommand(h, CmdQueryCommandStatus, q, word), "QueryCommandStatus"))
            return false;
        if (((Get16(word, 0) >> (2 * ccd)) & 3u) != 2)
            break;  // each poll costs port cycles, so virtual time moves on
    }
    std::uint8_t c[2];
    Put16(c, 0, ccd);
    if (!Ok(ParDeviceCommand(h, CmdEndExposure, c, nullptr), "EndExposure"))
        return false;
    std::uint8_t params[rec::ReadoutLineParams::kSize] = {};
    Put16(params, rec::ReadoutLineParams::Ccd, ccd);
    Put8(params, rec::ReadoutLineParams::VerticalFactor, 1);
    Put16(params, rec::ReadoutLineParams::PixelLength, static_cast<std::uint16_t>(f.width));
    line->resize(2u * f.width);
    for (unsigned r = 0; r < f.height; ++r)
        if (!Ok(ParDeviceCommand(h, CmdReadoutLine, params, line->data()), "ReadoutLine"))
            return false;
    return Ok(ParDeviceCommand(h, CmdEndReadout, c, nullptr), "EndReadout");
}

}  // namespace zeva::bench
