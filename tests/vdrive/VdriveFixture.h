// A virtual writer in a scratch folder, reached either by calling Execute directly or through
// CreateFileA/DeviceIoControl like a kernel device, with small helpers for raw CDBs.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "burner/TempDir.h"
#include "catalog/BigEndian.h"
#include "platform/VirtualDevice.h"
#include "platform/WinApi.h"
#include "vdrive/VirtualWriter.h"

namespace vdtest {

using Bytes = std::vector<std::uint8_t>;

using ::TempDir;   // the burner tests' scratch folder

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::string ReadFileText(const std::string& path) {
    const Bytes b = ReadFile(path);
    return std::string(b.begin(), b.end());
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

struct Reply {
    bool ok = false;            // reached the device
    std::uint8_t status = 0xFF;
    std::uint8_t key = 0, asc = 0, ascq = 0;
    Bytes sense;
    Bytes data;                 // the whole buffer offered
    std::uint32_t moved = 0;    // bytes the device transferred

    bool Good() const { return ok && status == 0; }
    // "05/24/00" style, for readable failures.
    std::string Sense() const {
        char s[16];
        std::snprintf(s, sizeof s, "%02X/%02X/%02X", key, asc, ascq);
        return status == 0 ? std::string("GOOD") : std::string(s);
    }
    // Big-endian fields of the reply, bounds-checked.
    std::uint32_t Be16(std::size_t at) const { return (void)data.at(at + 1), kvbe::Load16(&data[at]); }
    std::uint32_t Be32(std::size_t at) const { return (void)data.at(at + 3), kvbe::Load32(&data[at]); }
};

enum class Route { Direct, PassThrough };

inline std::string RouteName(const testing::TestParamInfo<Route>& info) {
    return info.param == Route::Direct ? "Direct" : "PassThrough";
}

class Drive {
public:
    Drive(Route route, const std::string& driveSpec, std::shared_ptr<vdrive::VirtualClock> clock = nullptr) : route_(route) {
        std::string error;
        if (route == Route::PassThrough) {
            writer_ = vdrive::AttachVirtualDrive(driveSpec, error, clock);
            if (!writer_) throw std::runtime_error(error);
            const std::string device = std::string("\\\\.\\") + writer_->DriveLetter() + ":";
            handle_ = win::CreateFileA(device.c_str(), win::GENERIC_READ | win::GENERIC_WRITE,
                                       win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr,
                                       win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
            if (handle_ == win::INVALID_HANDLE_VALUE) throw std::runtime_error("CreateFileA failed on " + device);
        } else {
            vdrive::VirtualDriveOptions options;
            if (!vdrive::ParseVirtualDriveSpec(driveSpec, options, error)) throw std::runtime_error(error);
            writer_ = vdrive::VirtualWriter::Open(options, error, clock);
            if (!writer_) throw std::runtime_error(error);
        }
    }
    ~Drive() {
        if (handle_ != win::INVALID_HANDLE_VALUE) win::CloseHandle(handle_);
        if (route_ == Route::PassThrough) vdrive::DetachVirtualDrive(writer_);
    }

    vdrive::VirtualWriter& Writer() { return *writer_; }

    Reply Send(const Bytes& cdb, win::ScsiRequest::Direction direction, Bytes buffer) {
        Reply reply;
        if (route_ == Route::Direct) {
            win::ScsiRequest r;
            std::memcpy(r.cdb, cdb.data(), cdb.size());
            r.cdbLength = static_cast<std::uint8_t>(cdb.size());
            r.direction = direction;
            r.data = buffer.empty() ? nullptr : buffer.data();
            r.dataLength = static_cast<std::uint32_t>(buffer.size());
            reply.ok = writer_->Execute(r);
            reply.status = r.status;
            reply.sense.assign(r.sense, r.sense + r.senseLength);
            reply.moved = r.dataLength - r.residual;
        } else {
            win::SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER b{};
            b.sptd.Length = sizeof(win::SCSI_PASS_THROUGH_DIRECT);
            b.sptd.CdbLength = static_cast<std::uint8_t>(cdb.size());
            b.sptd.SenseInfoLength = sizeof b.SenseBuf;
            b.sptd.DataIn = direction == win::ScsiRequest::Direction::In    ? win::SCSI_IOCTL_DATA_IN
                            : direction == win::ScsiRequest::Direction::Out ? win::SCSI_IOCTL_DATA_OUT
                                                                            : win::SCSI_IOCTL_DATA_UNSPECIFIED;
            b.sptd.DataTransferLength = static_cast<win::DWORD>(buffer.size());
            b.sptd.TimeOutValue = 10;
            b.sptd.DataBuffer = buffer.empty() ? nullptr : buffer.data();
            b.sptd.SenseInfoOffset = offsetof(win::SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, SenseBuf);
            std::memcpy(b.sptd.Cdb, cdb.data(), cdb.size());
            win::DWORD returned = 0;
            reply.ok = win::DeviceIoControl(handle_, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &b, sizeof b, &b, sizeof b,
                                            &returned, nullptr) != 0;
            reply.status = b.sptd.ScsiStatus;
            reply.sense.assign(b.SenseBuf, b.SenseBuf + b.sptd.SenseInfoLength);
            reply.moved = b.sptd.DataTransferLength;
        }
        if (reply.sense.size() >= 14) {
            reply.key = reply.sense[2] & 0x0F;
            reply.asc = reply.sense[12];
            reply.ascq = reply.sense[13];
        }
        reply.data = std::move(buffer);
        return reply;
    }
    Reply In(const Bytes& cdb, std::size_t length) { return Send(cdb, win::ScsiRequest::Direction::In, Bytes(length, 0)); }
    Reply Out(const Bytes& cdb, Bytes data) { return Send(cdb, win::ScsiRequest::Direction::Out, std::move(data)); }
    Reply None(const Bytes& cdb) { return Send(cdb, win::ScsiRequest::Direction::None, {}); }

    // A 10-byte CDB: byte 1, a 32-bit address at 2, byte 6 and a 16-bit length at 7.
    static Bytes Cdb10(std::uint8_t opcode, std::uint8_t byte1, std::uint32_t address, std::uint8_t byte6, std::size_t length) {
        Bytes cdb = {opcode, byte1, 0, 0, 0, 0, byte6, 0, 0, 0};
        kvbe::Store32(&cdb[2], address), kvbe::Store16(&cdb[7], static_cast<std::uint32_t>(length));
        return cdb;
    }
    // Commands the burner sends, as it builds them.
    Reply Write(std::uint32_t lba, const Bytes& blocks, std::uint16_t count) { return Out(Cdb10(0x2A, 0, lba, 0, count), blocks); }
    Reply CloseTrack(std::uint8_t track, bool immediate = true) {
        return None({0x5B, static_cast<std::uint8_t>(immediate ? 1 : 0), 0x01, 0, 0, track, 0, 0, 0, 0});
    }
    Reply CloseSession(bool immediate = true) {
        return None({0x5B, static_cast<std::uint8_t>(immediate ? 1 : 0), 0x02, 0, 0, 0, 0, 0, 0, 0});
    }
    Reply SyncCache(bool immediate = false) {
        return None({0x35, static_cast<std::uint8_t>(immediate ? 0x02 : 0x01), 0, 0, 0, 0, 0, 0, 0, 0});
    }
    Reply TestUnitReady() { return None({0x00, 0, 0, 0, 0, 0}); }
    Reply RequestSense() { return In({0x03, 0, 0, 0, 18, 0}, 18); }
    Reply ReadToc(bool msf = false, std::uint8_t from = 0, std::uint16_t length = 804) {
        return In(Cdb10(0x43, msf ? 2 : 0, 0, from, length), length);
    }
    Reply DiscInfo() { return In({0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, 34); }
    Reply TrackInfo(std::uint8_t type, std::uint32_t value) { return In(Cdb10(0x52, type, value, 0, 36), 36); }
    Reply ModeSense(std::uint8_t pageByte, std::uint16_t length = 200) {
        return In(Cdb10(0x5A, 0x08, std::uint32_t{pageByte} << 24, 0, length), length);
    }
    Reply ModeSelect(const Bytes& list) { return Out(Cdb10(0x55, 0x10, 0, 0, list.size()), list); }
    Reply ReadBufferCapacity() { return In({0x5C, 0, 0, 0, 0, 0, 0, 0, 12, 0}, 12); }
    Reply Blank(std::uint8_t byte1) { return None({0xA1, byte1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}); }
    // SET CD SPEED with the write speed in kB/s (FFFFh: the best).
    Reply SetCdSpeed(std::uint16_t writeKBs) {
        return None({0xBB, 0, 0xFF, 0xFF, static_cast<std::uint8_t>(writeKBs >> 8), static_cast<std::uint8_t>(writeKBs), 0, 0, 0, 0, 0, 0});
    }
    // GET PERFORMANCE, write speed descriptors (type 03h), room for `count`.
    Reply WriteSpeeds(std::uint8_t count = 16) {
        return In({0xAC, 0, 0, 0, 0, 0, 0, 0, 0, count, 0x03, 0}, 8 + 16u * count);
    }

    // The write parameters page as the data burn sends it (write type 1, BUFE, Mode 1 data
    // track; or raw audio blocks with track mode 2: copy permitted, no pre-emphasis), with Test
    // Write when asked.
    Reply SetWriteParameters(bool audio, std::uint8_t multisession = 0, bool testWrite = false) {
        Bytes list(8 + 52, 0);
        list[1] = 58;
        std::uint8_t* p = &list[8];
        p[0] = 0x05;
        p[1] = 0x32;
        p[2] = testWrite ? 0x51 : 0x41;
        p[3] = static_cast<std::uint8_t>((audio ? 0x02 : 0x04) | multisession << 6);
        p[4] = audio ? 0x00 : 0x08;
        p[14] = 0x00;
        p[15] = 0x96;
        return ModeSelect(list);
    }

private:
    Route route_;
    std::shared_ptr<vdrive::VirtualWriter> writer_;
    win::HANDLE handle_ = win::INVALID_HANDLE_VALUE;
};

// Blocks whose bytes say where they belong, so misplaced data shows.
inline Bytes Pattern(std::uint32_t firstBlock, std::uint32_t blocks, std::uint32_t blockSize = 2048) {
    Bytes b(static_cast<std::size_t>(blocks) * blockSize);
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<std::uint8_t>((firstBlock + i / blockSize) * 7 + i % blockSize % 251);
    return b;
}

class PlatformClean : public testing::Test {
protected:
    void SetUp() override {
        win::DetachAllVirtualDevices();
        win::SetKernelDevicePathsForTesting({});
    }
    void TearDown() override {
        win::DetachAllVirtualDevices();
        win::ResetKernelDevicePathsForTesting();
    }
    TempDir dir_;
};

}  // namespace vdtest
