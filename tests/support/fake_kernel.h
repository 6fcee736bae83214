// A stand-in for the kernel under the ppdev backend: a device node that opens
// or fails as told, ppdev ioctls that are logged and can fail, and register
// ioctls answered either from plain latches or by a port backend behind it
// (the camera simulator), as a real port would be wired to a camera.
#pragma once

#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ppdev/ppdev.h"

namespace zeva::test {

struct IoctlCall {
    unsigned long request;
    int value;  // the byte or int argument; -1 for requests without one
    bool operator==(const IoctlCall&) const = default;
};

class FakeKernel : public ppdev::System {
  public:
    // --- what the test sets up
    int openError = 0;                    // errno of open(2), 0 = it opens
    std::map<unsigned long, int> failOn;  // errno per ioctl request
    platform::PortBackend* behind = nullptr;
    std::uint8_t status = 0x7F;  // status register when nothing is behind

    // --- what the backend did
    std::vector<IoctlCall> Log() {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }
    void ClearLog() {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.clear();
    }
    std::set<int> openFds;
    std::string openedPath;
    std::vector<bool> levels;  // raised (true) and dropped, as told
    std::vector<std::string> notices;
    std::uint8_t data = 0, control = 0;

    int Open(const char* path) override {
        openedPath = path;
        if (openError != 0)
            return -openError;
        const int fd = nextFd_++;
        openFds.insert(fd);
        return fd;
    }
    void Close(int fd) override { openFds.erase(fd); }

    int Ioctl(int fd, unsigned long request, void* arg) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!openFds.count(fd))
            return EBADF;
        auto* byte = static_cast<unsigned char*>(arg);
        int value = -1;
        if (request == PPDATADIR)
            value = *static_cast<int*>(arg);
        else if (request == PPWDATA || request == PPWCONTROL)
            value = *byte;
        log_.push_back({request, value});
        auto fail = failOn.find(request);
        if (fail != failOn.end())
            return fail->second;
        switch (request) {
            case PPWDATA:
                data = *byte;
                if (behind)
                    behind->Write(platform::kPortData, *byte);
                break;
            case PPRDATA:
                *byte = behind ? behind->Read(platform::kPortData) : data;
                break;
            case PPRSTATUS:
                *byte = behind ? behind->Read(platform::kPortStatus) : status;
                break;
            case PPWCONTROL:
                control = *byte;
                if (behind)
                    behind->Write(platform::kPortControl, *byte);
                break;
            case PPRCONTROL:
                *byte = control;  // the kernel's kept copy
                break;
            default:
                break;
        }
        return 0;
    }

    void LevelChanged(bool raised) override { levels.push_back(raised); }
    void Notice(const std::string& text) override { notices.push_back(text); }

  private:
    std::mutex mutex_;
    std::vector<IoctlCall> log_;
    int nextFd_ = 5;
};

}  // namespace zeva::test
