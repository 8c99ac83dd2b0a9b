// One virtual writer (behind a fault injector) attached to the platform layer in a private
// folder, images made for the test, and keelvane-cli's commands run in-process against it,
// with what the user would see captured.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "FaultyDrive.h"
#include "burner/TempDir.h"
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "platform/VirtualDevice.h"
#include "vdrive/VirtualWriter.h"

namespace robust {

namespace fs = std::filesystem;

inline std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A private folder, removed with everything in it.
using TempFolder = ::TempDir;

// Blocks of 2048 bytes that differ from each other and from those of other images (seed).
inline std::string MakeImage(const std::string& path, std::uint32_t blocks, std::uint32_t seed = 1) {
    std::vector<std::uint8_t> data(std::size_t(blocks) * 2048);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : data) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                static_cast<std::streamsize>(data.size()));
    return path;
}

struct CliRun {
    int rc = -1;
    std::string out;   // status lines and texts
    std::string err;   // "keelvane-cli: ..." errors
    bool Says(const std::string& text) const {
        return out.find(text) != std::string::npos || err.find(text) != std::string::npos;
    }
};

// keelvane-cli's commands in this process, plain output captured.
inline CliRun RunCli(const std::vector<std::string>& args) {
    CliRun run;
    const cli::ParseResult parsed = cli::ParseCommandLine(args);
    if (!parsed.ok()) {
        run.err = parsed.error;
        return run;
    }
    char* outText = nullptr;
    char* errText = nullptr;
    std::size_t outSize = 0, errSize = 0;
    std::FILE* out = ::open_memstream(&outText, &outSize);
    std::FILE* err = ::open_memstream(&errText, &errSize);
    {
        cli::Output output(cli::Output::Mode::Plain, out, err);
        run.rc = cli::Run(parsed.options, output);
    }
    std::fclose(out);
    std::fclose(err);
    run.out.assign(outText, outSize);
    run.err.assign(errText, errSize);
    std::free(outText);
    std::free(errText);
    return run;
}

class Rig {
public:
    // options: the attach options after the path ("media=cd-rw,capacity=100"), may be empty.
    explicit Rig(const std::string& options = "") {
        win::SetKernelDevicePathsForTesting({});
        vdrive::VirtualDriveOptions parsed;
        std::string error;
        const std::string driveSpec = folder_ / "disc.cue" + (options.empty() ? "" : "," + options);
        if (!vdrive::ParseVirtualDriveSpec(driveSpec, parsed, error)) throw std::runtime_error(error);
        writer_ = vdrive::VirtualWriter::Open(parsed, error);
        if (!writer_) throw std::runtime_error(error);
        drive_ = std::make_shared<FaultyDrive>(writer_);
        letter_ = win::AttachVirtualDevice(drive_);
        writer_->SetDriveLetter(letter_);
    }
    ~Rig() {
        win::DetachVirtualDevice(drive_);
        writer_->Flush();
        win::ResetKernelDevicePathsForTesting();
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    FaultyDrive& Drive() { return *drive_; }
    vdrive::VirtualWriter& Writer() { return *writer_; }
    char Letter() const { return letter_; }
    const TempFolder& Folder() const { return folder_; }
    std::string Image(std::uint32_t blocks, std::uint32_t seed = 1) {
        return MakeImage(folder_ / ("image" + std::to_string(seed) + ".iso"), blocks, seed);
    }

    // The disc as the drive keeps it once what it buffered is written out (what a program
    // ending after the job leaves).
    vdrive::DiscState Disc() {
        writer_->Flush();
        return writer_->State();
    }
    // Track 1 holds exactly the first `blocks` blocks of the image.
    ::testing::AssertionResult TrackHolds(const std::string& image, std::uint32_t blocks) {
        const vdrive::DiscState disc = Disc();
        if (disc.tracks.empty()) return ::testing::AssertionFailure() << "no track on the disc";
        const vdrive::TrackState& t = disc.tracks.front();
        if (t.blocks != blocks)
            return ::testing::AssertionFailure() << "track 1 has " << t.blocks << " blocks, expected " << blocks;
        std::vector<std::uint8_t> want = ReadFile(image);
        want.resize(std::size_t(blocks) * 2048);
        if (ReadFile(t.file) != want) return ::testing::AssertionFailure() << "track 1 differs from the image";
        return ::testing::AssertionSuccess();
    }

private:
    TempFolder folder_;
    std::shared_ptr<vdrive::VirtualWriter> writer_;
    std::shared_ptr<FaultyDrive> drive_;
    char letter_ = 0;
};

}  // namespace robust
