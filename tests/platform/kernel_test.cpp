// Clock, levels, pool, strings and the I/O space of the stand-in platform.
#include <gtest/gtest.h>

#include <vector>

#include "platform/ntddk.h"
#include "platform/system.h"

using namespace zeva::platform;

namespace {

struct Access {
    bool write;
    std::uint32_t offset;
    std::uint8_t value;
};

class RecordingBackend : public PortBackend {
  public:
    explicit RecordingBackend(std::vector<Access>* log) : log_(log) {}

  private:
    std::uint8_t DoRead(std::uint32_t offset) override {
        log_->push_back({false, offset, 0});
        return static_cast<std::uint8_t>(0x40 + offset);
    }
    void DoWrite(std::uint32_t offset, std::uint8_t value) override {
        log_->push_back({true, offset, value});
    }
    std::vector<Access>* log_;
};

class VirtualSystem : public ::testing::Test {
  protected:
    void SetUp() override {
        SystemConfig config;
        config.clock = ClockMode::Virtual;
        PortConfig port;
        port.backend = std::make_unique<RecordingBackend>(&log_);
        config.ports.push_back(std::move(port));
        ASSERT_EQ(BootSystem(std::move(config)), STATUS_SUCCESS);
    }
    void TearDown() override { EXPECT_EQ(ShutdownSystem(), 0u); }
    std::vector<Access> log_;
};

TEST_F(VirtualSystem, DelayAndStallAdvanceVirtualTimeExactly) {
    std::uint64_t t0 = ClockNowNs();
    LARGE_INTEGER interval;
    interval.QuadPart = -2500000;  // 250 ms
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    KeStallExecutionProcessor(40);
    std::uint64_t t1 = ClockNowNs();
    // 250 ms + 40 us, plus the 1 us the second read costs.
    EXPECT_EQ(t1 - t0, 250'000'000u + 40'000u + 1'000u);
}

TEST_F(VirtualSystem, EachPortAccessCostsOneMicrosecond) {
    std::uint64_t t0 = ClockNowNs();
    for (int i = 0; i < 10; ++i) READ_PORT_UCHAR(0x379);
    WRITE_PORT_UCHAR(0x378, 1);
    EXPECT_EQ(ClockNowNs() - t0, 11'000u + 1'000u);
}

TEST_F(VirtualSystem, TickCountAndSystemTimeFollowVirtualTime) {
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
    PlatformSleepMs(1000);
    LARGE_INTEGER ticks, time;
    KeQueryTickCount(&ticks);
    EXPECT_EQ(ticks.QuadPart, 64);  // 1 s / 15.625 ms
    KeQuerySystemTime(&time);
    EXPECT_GE(time.QuadPart, 10'000'000);
    EXPECT_LT(time.QuadPart, 10'000'100);
}

TEST_F(VirtualSystem, LoopPollingOnlyTheClockEnds) {
    std::uint64_t start = ClockNowNs();
    int reads = 0;
    while (ClockNowNs() - start < 100'000) ++reads;
    EXPECT_EQ(reads, 99);
}

TEST_F(VirtualSystem, BackendSeesRegisterOffsetsOfItsPort) {
    EXPECT_EQ(READ_PORT_UCHAR(0x378), 0x40);
    EXPECT_EQ(READ_PORT_UCHAR(0x379), 0x41);
    WRITE_PORT_UCHAR(0x37A, 0x0C);
    WRITE_PORT_UCHAR(0x378 + 0x402, 0x20);
    ASSERT_EQ(log_.size(), 4u);
    EXPECT_EQ(log_[0].offset, kPortData);
    EXPECT_EQ(log_[1].offset, kPortStatus);
    EXPECT_TRUE(log_[2].write);
    EXPECT_EQ(log_[2].offset, kPortControl);
    EXPECT_EQ(log_[2].value, 0x0C);
    EXPECT_EQ(log_[3].offset, kPortEcr);
}

TEST_F(VirtualSystem, UnclaimedAddressesReadFFAndIgnoreWrites) {
    EXPECT_EQ(READ_PORT_UCHAR(0x37B), 0xFF);  // base + 3 is not routed
    EXPECT_EQ(READ_PORT_UCHAR(0x278), 0xFF);  // no second port
    EXPECT_EQ(READ_PORT_UCHAR(0x377), 0xFF);
    WRITE_PORT_UCHAR(0x37B, 1);
    WRITE_PORT_UCHAR(0x2F8, 1);
    EXPECT_TRUE(log_.empty());
}

TEST_F(VirtualSystem, PoolCountsBlocksAndShutdownReportsLeaks) {
    std::size_t before = PoolOutstanding();
    void* a = ExAllocatePoolWithTag(NonPagedPool, 10, PoolTag('T', 'e', 's', 't'));
    void* b = ExAllocatePoolWithTag(PagedPool, 0, PoolTag('T', 'e', 's', 't'));
    EXPECT_EQ(PoolOutstanding(), before + 2);
    ExFreePool(a);
    ExFreePool(b);
    EXPECT_EQ(PoolOutstanding(), before);
}

TEST(PoolLeaks, ShutdownReturnsBlocksStillAllocated) {
    SystemConfig config;
    config.clock = ClockMode::Virtual;
    ASSERT_EQ(BootSystem(std::move(config)), STATUS_SUCCESS);
    ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag('L', 'e', 'a', 'k'));
    ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag('L', 'e', 'a', 'k'));
    EXPECT_EQ(ShutdownSystem(), 2u);
    EXPECT_EQ(PoolOutstanding(), 0u);
}

class LevelBackend : public PortBackend {
  public:
    std::vector<bool> changes;

  private:
    std::uint8_t DoRead(std::uint32_t) override { return 0; }
    void DoWrite(std::uint32_t, std::uint8_t) override {}
    void DoLevelChanged(bool raised) override { changes.push_back(raised); }
};

TEST(Levels, BackendsHearRaisesAboveDispatchOnly) {
    SystemConfig config;
    config.clock = ClockMode::Virtual;
    PortConfig port;
    auto backend = std::make_unique<LevelBackend>();
    LevelBackend* seen = backend.get();
    port.backend = std::move(backend);
    config.ports.push_back(std::move(port));
    ASSERT_EQ(BootSystem(std::move(config)), STATUS_SUCCESS);
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    EXPECT_TRUE(seen->changes.empty());
    KIRQL dispatch = KfRaiseIrql(PROFILE_LEVEL);
    EXPECT_EQ(dispatch, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PROFILE_LEVEL);
    KfLowerIrql(dispatch);
    KfLowerIrql(old);
    EXPECT_EQ(seen->changes, (std::vector<bool>{true, false}));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    ShutdownSystem();
}

using LevelsDeathTest = ::testing::Test;

TEST(LevelsDeathTest, BrokenLevelRulesAreBugChecks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            KfRaiseIrql(DISPATCH_LEVEL);
            KfRaiseIrql(APC_LEVEL);
        },
        "KfRaiseIrql to a level below");
    EXPECT_DEATH(KfLowerIrql(DISPATCH_LEVEL), "KfLowerIrql to a level above");
    EXPECT_DEATH(
        {
            KfRaiseIrql(DISPATCH_LEVEL);
            LARGE_INTEGER i;
            i.QuadPart = -10;
            KeDelayExecutionThread(KernelMode, FALSE, &i);
        },
        "KeDelayExecutionThread called above APC_LEVEL");
    EXPECT_DEATH(
        {
            KEVENT e;
            KeInitializeEvent(&e, NotificationEvent, TRUE);
            KfRaiseIrql(DISPATCH_LEVEL);
            KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
        },
        "KeWaitForSingleObject called above APC_LEVEL");
    EXPECT_DEATH(
        {
            FAST_MUTEX m{};
            KfRaiseIrql(DISPATCH_LEVEL);
            ExAcquireFastMutex(&m);
        },
        "ExAcquireFastMutex called above APC_LEVEL");
    EXPECT_DEATH(KeBugCheckEx(0x77, 1, 2, 3, 4), "KeBugCheckEx 0x00000077");
}

TEST(Strings, AppendAndIntegerBuildDeviceNames) {
    WCHAR buffer[32];
    UNICODE_STRING s{0, sizeof(buffer), buffer};
    ASSERT_EQ(RtlAppendUnicodeToString(&s, u"\\Device\\lptccd"), STATUS_SUCCESS);
    WCHAR digits[8];
    UNICODE_STRING n{0, sizeof(digits), digits};
    ASSERT_EQ(RtlIntegerToUnicodeString(12, 10, &n), STATUS_SUCCESS);
    ASSERT_EQ(RtlAppendUnicodeStringToString(&s, &n), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(s.Buffer, s.Length / 2), u"\\Device\\lptccd12");
    ASSERT_EQ(RtlIntegerToUnicodeString(255, 16, &n), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(n.Buffer, n.Length / 2), u"FF");
}

TEST(Strings, AppendRefusesWhatDoesNotFitAndKeepsTheString) {
    WCHAR buffer[4];
    UNICODE_STRING s{0, sizeof(buffer), buffer};
    ASSERT_EQ(RtlAppendUnicodeToString(&s, u"abc"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&s, u"de"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(s.Length, 6);
    WCHAR small[2];
    UNICODE_STRING n{0, sizeof(small), small};
    EXPECT_EQ(RtlIntegerToUnicodeString(10, 10, &n), STATUS_BUFFER_TOO_SMALL);
}

TEST(Lists, FifoOrderAndEmptiness) {
    LIST_ENTRY head, a, b;
    InitializeListHead(&head);
    EXPECT_TRUE(IsListEmpty(&head));
    InsertTailList(&head, &a);
    InsertTailList(&head, &b);
    EXPECT_EQ(RemoveHeadList(&head), &a);
    EXPECT_TRUE(RemoveEntryList(&b));
    EXPECT_TRUE(IsListEmpty(&head));
}

TEST(Division, QuotientAndRemainder) {
    LARGE_INTEGER a, b, r;
    a.QuadPart = 10'000'000'007LL;
    b.QuadPart = 10;
    EXPECT_EQ(RtlLargeIntegerDivide(a, b, &r).QuadPart, 1'000'000'000LL);
    EXPECT_EQ(r.QuadPart, 7);
}

TEST(Configuration, DefaultBasesAndPortListParsing) {
    EXPECT_EQ(DefaultPortBase(0), 0x378u);
    EXPECT_EQ(DefaultPortBase(1), 0x278u);
    EXPECT_EQ(DefaultPortBase(2), 0x3BCu);
    EXPECT_EQ(DefaultPortBase(3), 0x10000u);
    std::vector<std::string> seen;
    BackendFactory factory = [&](const std::string& entry) {
        seen.push_back(entry);
        BackendResult r;
        if (entry != "bad")
            r.backend = std::make_unique<LevelBackend>();
        else
            r.error = "no such backend";
        return r;
    };
    std::vector<PortConfig> ports;
    std::string error;
    ASSERT_TRUE(
        ParsePortList("sim:gannet?base=0x3BC&scene=pattern, sim:egret", factory, &ports, &error));
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].base, 0x3BCu);
    EXPECT_EQ(seen[0], "sim:gannet?scene=pattern");
    EXPECT_EQ(seen[1], "sim:egret");
    ports.clear();
    EXPECT_FALSE(ParsePortList("sim:egret,bad", factory, &ports, &error));
    EXPECT_NE(error.find("'bad'"), std::string::npos);
    EXPECT_FALSE(ParsePortList("sim:egret?base=zz", factory, &ports, &error));
}

}  // namespace
