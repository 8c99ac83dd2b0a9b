// libFuzzer target for the MMC decoders, fed through the real frame: a drive attached to the
// platform layer answers every command from the fuzz input, so each reply passes
// ExecScsiCommand, the device-access object and the pass-through emulation on its way to the
// mode page, TOC, DVD structure, disc/track information, configuration, format capacity and
// sense decoders.
//
// Input: a few bytes choosing the callers' arguments, then one reply per command, in order:
//   control byte C, then by C mod 8:
//     0       CHECK CONDITION; one length byte (mod 33) and that many sense bytes
//     1       the transport fails (the command never reached the drive)
//     2       BUSY status, no data
//     3..7    GOOD; a 16-bit big-endian count and up to that many data bytes (bounded by what
//             the command asked for and by what is left of the input)
// An exhausted input answers GOOD without data. INQUIRY (the frame's drive scan) always gets
// a well-formed CD-ROM reply, so that the drive is found and the commands reach it.
//
// Nothing may read or write outside a buffer (ASan), the settings record must come back as it
// was, and the decoded values must stay inside their documented ranges.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "mmc/SCSIUnit.h"
#include "platform/VirtualDevice.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    std::size_t Left() const { return size_ - pos_; }
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t Word() {
        const std::uint16_t hi = Byte();
        return static_cast<std::uint16_t>((hi << 8) | Byte());
    }
    std::size_t Take(std::uint8_t* out, std::size_t count) {
        const std::size_t n = count < Left() ? count : Left();
        if (n) std::memcpy(out, data_ + pos_, n);
        pos_ += n;
        return n;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

class FuzzedDrive final : public win::VirtualScsiDevice {
public:
    Input* input = nullptr;

    bool Execute(win::ScsiRequest& r) override {
        r.status = 0;
        r.senseLength = 0;
        r.residual = r.dataLength;
        if (r.cdb[0] == 0x12) {
            static const std::uint8_t inquiry[36] = {
                0x05, 0x80, 0x05, 0x32, 31, 0, 0, 0,
                'K', 'V', 'F', 'U', 'Z', 'Z', ' ', ' ',
                'F', 'u', 'z', 'z', 'e', 'd', ' ', 'W', 'r', 'i', 't', 'e', 'r', ' ', ' ', ' ',
                '1', '.', '0', ' '};
            const std::uint32_t n = r.dataLength < sizeof inquiry ? r.dataLength : sizeof inquiry;
            if (r.direction == win::ScsiRequest::Direction::In && r.data) std::memcpy(r.data, inquiry, n);
            r.residual = r.dataLength - n;
            return true;
        }
        if (input == nullptr || input->Empty()) return true;
        const std::uint8_t control = input->Byte();
        switch (control % 8) {
        case 0: {
            r.status = 2;
            const std::size_t n = input->Byte() % (sizeof r.sense + 1);
            r.senseLength = static_cast<std::uint8_t>(input->Take(r.sense, n));
            return true;
        }
        case 1:
            return false;
        case 2:
            r.status = 8;
            return true;
        default: {
            std::size_t count = input->Word();
            if (r.direction != win::ScsiRequest::Direction::In || r.data == nullptr) return true;
            if (count > r.dataLength) count = r.dataLength;
            const std::size_t n = input->Take(r.data, count);
            r.residual = r.dataLength - static_cast<std::uint32_t>(n);
            return true;
        }
        }
    }
    std::string DevicePath() const override { return "fuzzed-drive"; }
};

struct Rig {
    std::shared_ptr<FuzzedDrive> drive = std::make_shared<FuzzedDrive>();
    TCDBurnerInfo info;

    Rig() {
        win::SetKernelDevicePathsForTesting({});
        const char letter = win::AttachVirtualDevice(drive);
        Check(letter != 0);
        const win::ScsiDeviceAddress a = win::VirtualDeviceAddress(*drive);
        info.DriveLetter = letter;
        info.HaId = a.port;
        info.Target = a.target;
        info.Lun = a.lun;
        info.PackedAddress = (std::uint32_t{a.port} << 24) | (std::uint32_t{a.target} << 16) |
                             (std::uint32_t(((a.lun & 7) << 5) | (letter & 0x1F)) << 8);
    }
};

Rig& TheRig() {
    static Rig rig;   // attached once: the platform keeps its devices for the process
    return rig;
}

bool SameDefaults(const TScsiDefaults& a, const TScsiDefaults& b) {
    return a.Timeout == b.Timeout && a.LongTimeout == b.LongTimeout && a.UnitTimeout == b.UnitTimeout &&
           a.PageControl == b.PageControl;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    Rig& rig = TheRig();
    Input input(Data, Size);
    rig.drive->input = &input;

    const std::uint8_t pageCode = input.Byte();
    const std::uint32_t getLength = input.Word() % 513;
    const std::uint32_t setLength = input.Word() % 513;
    const std::uint8_t trackAddressType = input.Byte() % 4;
    const std::uint32_t trackAddress = input.Byte();

    TScsiDefaults defaults;
    const TScsiDefaults before = defaults;
    const TCDBurnerInfo info = rig.info;

    {
        // Exactly the bytes the caller offers, so a copy past Length is caught.
        std::unique_ptr<std::uint8_t[]> page(new std::uint8_t[getLength ? getLength : 1]);
        std::uint32_t length = getLength;
        ScsiGetModePage(info, pageCode, page.get(), length, defaults);
        Check(length <= getLength);
    }
    {
        std::unique_ptr<std::uint8_t[]> page(new std::uint8_t[setLength ? setLength : 1]);
        std::memset(page.get(), 0x5A, setLength ? setLength : 1);
        std::uint32_t length = setLength;
        ScsiSetModePage(info, pageCode, page.get(), length, defaults);
        Check(length <= setLength);
    }
    TScsiDeviceCapabilities caps;
    ScsiGetCapabilities(info, caps, defaults);
    Check((caps.Bytes[4] & 0xE0) == 0);   // only 37 elements exist
    TScsiDriveSpeeds speeds;
    ScsiGetSpeeds(info, speeds, defaults);
    std::string text;
    ScsiGetWriterParametersText(info, text, defaults);
    ScsiSetWriteParameters(info, 1, 8, 4, 0, 0, 150, false, true, defaults);
    TScsiTOC toc;
    ScsiReadTOCInfo(info, toc, defaults);
    Check(toc.EntryCount >= 0 && toc.EntryCount <= 100);
    TScsiDVDLayerDescriptorInfo dvd;
    ScsiReadDVDLayerDescriptor(info, dvd, defaults);
    TScsiDiscInformation disc;
    ScsiReadDiscInformation(info, disc, defaults);
    TScsiTrackInformation track;
    ScsiReadTrackInformation(info, trackAddressType, trackAddress, track, defaults);
    TScsiSense sense;
    ScsiRequestSense(info, sense, defaults);
    Check(sense.Key <= 0x0F);
    const TScsiSense left = ScsiDecodeSense(defaults.SenseArea, 14);
    Check(left.Key <= 0x0F);
    std::uint8_t capacity[12];
    ScsiReadBufferCapacity(info, capacity, defaults);
    // The media commands: a profile list and capacity descriptors never outgrow their reply.
    TScsiConfiguration config;
    ScsiGetConfiguration(info, config, defaults);
    Check(config.Profiles.size() <= 4096 / 4 && config.Features.size() <= 4096 / 4);
    TScsiFormatCapacities formats;
    ScsiReadFormatCapacities(info, formats, defaults);
    Check(formats.DescriptorType <= 3 && formats.Formattable.size() <= 31);

    Check(SameDefaults(defaults, before));
    rig.drive->input = nullptr;
    return 0;
}
