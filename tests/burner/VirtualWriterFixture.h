// One virtual writer in a private folder, and the writer object of its drive letter: the
// setting of the end-to-end burner tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "TempDir.h"
#include "burner/CDBurners.h"
#include "platform/VirtualDevice.h"
#include "vdrive/VirtualWriter.h"

// What a job reported through the writer's events.
struct Reports {
    std::vector<std::string> status;
    std::vector<std::pair<int, int>> progress;
    std::int64_t bytesRead = -1;
    int bufferProgressCalls = 0;
    int bufferStatusCalls = 0;
    int fileBufferCalls = 0;
    bool outOfRange = false;

    void Subscribe(TCDBurner& b)
    {
        b.OnStatus = [this](const std::string& s) { status.push_back(s); };
        b.OnProgress = [this](int i, int p) {
            progress.emplace_back(i, p);
            outOfRange |= p < 0 || p > 100;
        };
        b.OnBytesRead = [this](std::int64_t total) { bytesRead = total; };
        b.OnBufferProgress = [this](int p) {
            ++bufferProgressCalls;
            outOfRange |= p < 0 || p > 100;
        };
        b.OnBufferStatus = [this](int, int) { ++bufferStatusCalls; };
        b.OnFileBufferProgress = [this](int p) {
            ++fileBufferCalls;
            outOfRange |= p < 0 || p > 100;
        };
    }
};

class VirtualWriterFixture : public ::testing::Test {
protected:
    // The drive of <dir>/<cue>[,options]; with a clock, the drive keeps the test's time.
    void AttachWriter(const std::string& cue, const std::string& options,
                      std::shared_ptr<vdrive::ManualClock> clock = nullptr)
    {
        win::SetKernelDevicePathsForTesting({});
        std::string error;
        writer = vdrive::AttachVirtualDrive(dir / cue + (options.empty() ? "" : "," + options), error, clock);
        ASSERT_TRUE(writer) << error;
        list = std::make_unique<TCDBurnerList>();
        for (int i = 0; i < list->Count(); ++i)
            if (list->Burners(i)->Info.DriveLetter == writer->DriveLetter())
                burner = list->Burners(i);
        ASSERT_NE(burner, nullptr);
        burner->ReadyPollInterval = std::chrono::milliseconds(5);
        reports.Subscribe(*burner);
    }
    void TearDown() override
    {
        list.reset();
        win::SetScsiTraceSink(nullptr);
        if (writer)
            vdrive::DetachVirtualDrive(writer);
        // Released, not only detached: the disc's files (its lock among them) are closed, so a
        // case may remove them, which Windows refuses for a file that is still open.
        writer.reset();
        win::ResetKernelDevicePathsForTesting();
    }

    TempDir dir;
    std::shared_ptr<vdrive::VirtualWriter> writer;
    std::unique_ptr<TCDBurnerList> list;
    TCDBurner* burner = nullptr;
    Reports reports;
};
