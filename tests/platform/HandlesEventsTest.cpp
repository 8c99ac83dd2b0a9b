#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "PlatformFixture.h"
#include "support/ScriptedDevice.h"

namespace {

using namespace std::chrono_literals;
using Handles = PlatformTest;

TEST_F(Handles, BogusAndClosedHandlesAreRefused) {
    win::HANDLE event = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    ASSERT_NE(event, win::INVALID_HANDLE_VALUE);
    EXPECT_TRUE(win::CloseHandle(event));
    EXPECT_FALSE(win::CloseHandle(event)) << "closing twice";
    EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);

    win::DWORD returned = 0;
    std::uint8_t buffer[80] = {};
    for (win::HANDLE bogus : {event, static_cast<win::HANDLE>(nullptr), win::INVALID_HANDLE_VALUE,
                              reinterpret_cast<win::HANDLE>(0x12345)}) {
        EXPECT_FALSE(win::CloseHandle(bogus));
        EXPECT_FALSE(win::DeviceIoControl(bogus, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, buffer, 80,
                                          buffer, 80, &returned, nullptr));
        EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
        EXPECT_FALSE(win::SetEvent(bogus));
        EXPECT_FALSE(win::ResetEvent(bogus));
        EXPECT_EQ(win::WaitForSingleObject(bogus, 0), win::WAIT_FAILED);
    }
}

TEST_F(Handles, DevicesAndEventsAreNotInterchangeable) {
    auto device = std::make_shared<kvtest::ScriptedDevice>();
    ASSERT_EQ(win::AttachVirtualDevice(device), 'D');
    win::HANDLE dev = win::CreateFileA("\\\\.\\D:", win::GENERIC_READ, 1, nullptr, win::OPEN_EXISTING, 0, nullptr);
    win::HANDLE event = win::CreateEventA(nullptr, win::FALSE, win::FALSE, nullptr);
    ASSERT_NE(dev, win::INVALID_HANDLE_VALUE);
    EXPECT_NE(dev, event);
    EXPECT_FALSE(win::SetEvent(dev));
    EXPECT_EQ(win::WaitForSingleObject(dev, 0), win::WAIT_FAILED);
    win::SCSI_ADDRESS a{};
    win::DWORD returned;
    EXPECT_FALSE(win::DeviceIoControl(event, win::IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &a, sizeof a, &returned, nullptr));
    EXPECT_TRUE(win::CloseHandle(dev));
    EXPECT_TRUE(win::CloseHandle(event));
}

TEST_F(Handles, ConcurrentCreateAndCloseGiveDistinctHandles) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 500;
    std::vector<std::vector<win::HANDLE>> created(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                win::HANDLE h = win::CreateEventA(nullptr, win::FALSE, win::FALSE, nullptr);
                created[t].push_back(h);
                if (i % 2 == 0) win::CloseHandle(h);
            }
        });
    }
    for (auto& th : threads) th.join();
    std::set<win::HANDLE> all;
    for (const auto& v : created) all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), std::size_t{kThreads * kPerThread}) << "handles are never reused";
    for (const auto& v : created)
        for (std::size_t i = 1; i < v.size(); i += 2) EXPECT_TRUE(win::CloseHandle(v[i]));
}

using Events = PlatformTest;

TEST_F(Events, ManualResetStaysSignalledUntilReset) {
    win::HANDLE e = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
    EXPECT_EQ(win::WaitForSingleObject(e, 0), win::WAIT_TIMEOUT);
    EXPECT_TRUE(win::SetEvent(e));
    EXPECT_EQ(win::WaitForSingleObject(e, 0), win::WAIT_OBJECT_0);
    EXPECT_EQ(win::WaitForSingleObject(e, win::INFINITE), win::WAIT_OBJECT_0);
    EXPECT_TRUE(win::ResetEvent(e));
    EXPECT_EQ(win::WaitForSingleObject(e, 1), win::WAIT_TIMEOUT);
    win::CloseHandle(e);

    win::HANDLE initiallySet = win::CreateEventA(nullptr, win::TRUE, win::TRUE, nullptr);
    EXPECT_EQ(win::WaitForSingleObject(initiallySet, 0), win::WAIT_OBJECT_0);
    win::CloseHandle(initiallySet);
}

TEST_F(Events, AutoResetReleasesOneWaitPerSignal) {
    win::HANDLE e = win::CreateEventA(nullptr, win::FALSE, win::TRUE, nullptr);
    EXPECT_EQ(win::WaitForSingleObject(e, 0), win::WAIT_OBJECT_0);
    EXPECT_EQ(win::WaitForSingleObject(e, 0), win::WAIT_TIMEOUT);
    win::SetEvent(e);
    win::SetEvent(e);
    EXPECT_EQ(win::WaitForSingleObject(e, 0), win::WAIT_OBJECT_0);
    EXPECT_EQ(win::WaitForSingleObject(e, 0), win::WAIT_TIMEOUT) << "signals do not count up";
    win::CloseHandle(e);
#ifndef _WIN32   // the stand-in refuses names; Windows makes named events
    EXPECT_EQ(win::CreateEventA(nullptr, win::FALSE, win::FALSE, "named"), nullptr);
#endif
}

TEST_F(Events, SignalFromAnotherThreadWakesAllManualWaiters) {
    win::HANDLE e = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
    std::atomic<int> woken{0};
    std::vector<std::future<win::DWORD>> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.push_back(std::async(std::launch::async, [&] {
            const win::DWORD r = win::WaitForSingleObject(e, win::INFINITE);
            ++woken;
            return r;
        }));
    std::thread signaller([&] { win::SetEvent(e); });
    signaller.join();
    for (auto& w : waiters) {
        ASSERT_EQ(w.wait_for(60s), std::future_status::ready);
        EXPECT_EQ(w.get(), win::WAIT_OBJECT_0);
    }
    EXPECT_EQ(woken.load(), 3);
    win::CloseHandle(e);
}

TEST_F(Events, AutoResetWaiterOnAnotherThreadConsumesTheSignal) {
    win::HANDLE e = win::CreateEventA(nullptr, win::FALSE, win::FALSE, nullptr);
    auto waiter = std::async(std::launch::async, [&] { return win::WaitForSingleObject(e, win::INFINITE); });
    win::SetEvent(e);
    ASSERT_EQ(waiter.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), win::WAIT_OBJECT_0);
    EXPECT_EQ(win::WaitForSingleObject(e, 0), win::WAIT_TIMEOUT) << "the waiter reset it";
    win::CloseHandle(e);
}

}  // namespace
