// The lock every thread of an application takes around a call on a shared
// camera.  Taken in arrival order (a ticket lock): a readout that takes it
// for each line lets a thread that came meanwhile (a guide pulse, a cooler
// poll, the other CCD's exposure) in at the next line boundary, and goes
// straight on when nobody waits.  A plain mutex is not fair: taken again at
// once, it could keep the others out for the whole readout.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace zeva::client {

class CameraLock {
  public:
    CameraLock() = default;
    CameraLock(const CameraLock&) = delete;
    CameraLock& operator=(const CameraLock&) = delete;

    void lock() {
        std::unique_lock<std::mutex> g(m_);
        const std::uint64_t ticket = next_++;
        turn_.wait(g, [&] { return serving_ == ticket; });
    }
    void unlock() {
        {
            std::lock_guard<std::mutex> g(m_);
            ++serving_;
        }
        turn_.notify_all();
    }

  private:
    mutable std::mutex m_;
    std::condition_variable turn_;
    std::uint64_t next_ = 0;     // the next ticket handed out
    std::uint64_t serving_ = 0;  // the ticket that holds the camera
};

}  // namespace zeva::client
