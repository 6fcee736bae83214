// The real-time protection of a line on a real port, over a stand-in for the
// kernel's scheduling and memory calls: SCHED_FIFO while the level is raised,
// the process locked once, one notice when either is refused.
#include <gtest/gtest.h>
#include <sched.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "realport/realport.h"

namespace zeva::realport {
namespace {

class FakeRealtime final : public Realtime {
  public:
    // --- what the test sets up
    int lockError = 0;      // errno of LockMemory
    int setSchedError = 0;  // errno of SetScheduling

    // --- what the protection did
    int lockCalls = 0;
    std::vector<std::pair<int, int>> schedCalls;  // (policy, priority) set
    int policy = SCHED_OTHER, priority = 0;
    std::vector<std::string> notices;

    int GetScheduling(int* p, int* prio) override {
        *p = policy;
        *prio = priority;
        return 0;
    }
    int SetScheduling(int p, int prio) override {
        schedCalls.push_back({p, prio});
        if (setSchedError != 0)
            return setSchedError;
        policy = p;
        priority = prio;
        return 0;
    }
    int LockMemory() override {
        ++lockCalls;
        return lockError;
    }
    void Notice(const std::string& text) override { notices.push_back(text); }
};

// The lines of a readout: the level raised and dropped around each.
void Lines(FakeRealtime& kernel, int lines) {
    for (int line = 0; line < lines; ++line) {
        RealtimeLevelChanged(kernel, true);
        RealtimeLevelChanged(kernel, false);
    }
}

TEST(RealtimeLevel, RaisedLevelRunsFifoAndTheDropRestoresThePolicy) {
    FakeRealtime kernel;
    RealtimeLevelChanged(kernel, true);
    EXPECT_EQ(kernel.policy, SCHED_FIFO);
    EXPECT_EQ(kernel.priority, kReadoutPriority);
    EXPECT_EQ(kernel.lockCalls, 1);
    RealtimeLevelChanged(kernel, false);
    EXPECT_EQ(kernel.policy, SCHED_OTHER);
    EXPECT_EQ(kernel.priority, 0);
    Lines(kernel, 1);
    EXPECT_EQ(kernel.lockCalls, 1);  // locked once for the process
    EXPECT_EQ(kernel.schedCalls.size(), 4u);
    EXPECT_TRUE(kernel.notices.empty());
}

TEST(RealtimeLevel, RefusedPriorityFallsBackWithOneNoticeAndIsNotAskedAgain) {
    FakeRealtime kernel;
    kernel.setSchedError = EPERM;
    Lines(kernel, 3);
    EXPECT_EQ(kernel.policy, SCHED_OTHER);
    EXPECT_EQ(kernel.schedCalls.size(), 1u);
    ASSERT_EQ(kernel.notices.size(), 1u);
    EXPECT_NE(kernel.notices[0].find("SCHED_FIFO"), std::string::npos) << kernel.notices[0];
    EXPECT_NE(kernel.notices[0].find("rtprio"), std::string::npos) << kernel.notices[0];
}

TEST(RealtimeLevel, RefusedMemoryLockIsNoticedAndPriorityStillRaised) {
    FakeRealtime kernel;
    kernel.lockError = EPERM;
    RealtimeLevelChanged(kernel, true);
    EXPECT_EQ(kernel.policy, SCHED_FIFO);
    RealtimeLevelChanged(kernel, false);
    Lines(kernel, 1);
    EXPECT_EQ(kernel.lockCalls, 1);
    ASSERT_EQ(kernel.notices.size(), 1u);
    EXPECT_NE(kernel.notices[0].find("memory not locked"), std::string::npos);
    EXPECT_EQ(kernel.notices[0].find("SCHED_FIFO"), std::string::npos);
}

TEST(RealtimeLevel, ThreadTheApplicationMadeRealTimeIsLeftAlone) {
    FakeRealtime kernel;
    kernel.policy = SCHED_RR;
    kernel.priority = 10;
    Lines(kernel, 1);
    EXPECT_TRUE(kernel.schedCalls.empty());
    EXPECT_EQ(kernel.policy, SCHED_RR);
    EXPECT_EQ(kernel.priority, 10);
}

TEST(RealtimeLevel, TwoRealPortsRaiseAndRestoreOnce) {
    // The platform tells every port of a level change, and every real port
    // passes it on: the second raise must not save the real-time policy the
    // first one set as "the old one".
    FakeRealtime kernel;
    RealtimeLevelChanged(kernel, true);
    RealtimeLevelChanged(kernel, true);
    RealtimeLevelChanged(kernel, false);
    EXPECT_EQ(kernel.policy, SCHED_FIFO);  // the outermost drop restores
    RealtimeLevelChanged(kernel, false);
    EXPECT_EQ(kernel.policy, SCHED_OTHER);
    EXPECT_EQ(kernel.schedCalls,
              (std::vector<std::pair<int, int>>{{SCHED_FIFO, kReadoutPriority}, {SCHED_OTHER, 0}}));
    RealtimeLevelChanged(kernel, false);  // a drop without a raise changes nothing
    EXPECT_EQ(kernel.schedCalls.size(), 2u);
}

}  // namespace
}  // namespace zeva::realport
