// Mode pages 05h (write parameters) and 2Ah (capabilities), and the write speed the drive
// offers and takes.
#include "vdrive/WriterImpl.h"

#include <algorithm>

namespace vdrive {

void VirtualWriter::Impl::ResetPage05() {
    page05 = DefaultPage05();
    reservedBlocks = 0;
    closedByDiscAtOnce = false;
}

std::array<std::uint8_t, kPage05Length> VirtualWriter::Impl::DefaultPage05() const {
    std::array<std::uint8_t, kPage05Length> p{};
    p[0] = 0x05;
    p[1] = kPage05Length - 2;
    p[2] = (Medium().drive.writeTypes & Bit(1)) || Medium().drive.writeTypes == 0 ? 0x01 : 0x00;
    p[3] = 0x04;   // data track, no next session
    p[4] = 0x08;   // Mode 1, 2048 bytes
    Store16(&p[14], 150);   // audio pause length: 2 seconds
    return p;
}

std::array<std::uint8_t, kPage05Length> VirtualWriter::Impl::ChangeablePage05() {
    std::array<std::uint8_t, kPage05Length> m{};
    m[0] = 0x05;
    m[1] = kPage05Length - 2;
    m[2] = 0x5F;   // BUFE, test write and write type
    m[3] = 0xFF;   // multisession, FP, copy, track mode
    m[4] = 0x0F;   // data block type
    m[7] = 0x3F;   // host application code
    m[8] = 0xFF;   // session format
    for (std::size_t i = 10; i < kPage05Length; ++i) m[i] = 0xFF;   // packet size .. subheader
    return m;
}

void VirtualWriter::Impl::PutSpeed(std::uint8_t* at, unsigned x) const {
    Store16(at, static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{x} * KBsPerX(), 0xFFFF)));
}

std::vector<std::uint8_t> VirtualWriter::Impl::Page2A(bool changeable) const {
    const std::vector<unsigned> speeds = OfferedSpeeds();
    const unsigned top = speeds.front();
    std::vector<std::uint8_t> p(32 + 4 * speeds.size(), 0);
    p[0] = 0x2A;
    p[1] = static_cast<std::uint8_t>(p.size() - 2);
    if (changeable) return p;
    p[2] = 0x1F;   // reads CD-R, CD-RW, method 2, DVD-ROM, DVD-R
    p[3] = options.noTestWrite ? 0x03 : 0x07;   // writes CD-R, CD-RW; test write
    p[4] = 0xF0;   // BUF, multi-session, mode 2 form 2 and form 1
    p[5] = 0x00;
    p[6] = static_cast<std::uint8_t>(0x20 | 0x08 | 0x01 | (prevent ? 0x02 : 0x00));   // tray, eject, lock
    p[7] = 0x00;
    // Speeds in kB/s of the disc in the drive, as drives report them: 1x is 176 kB/s on a CD,
    // 1385 on a DVD, 4495 on a BD.
    const unsigned read = std::max(MaxSpeed(), top);
    PutSpeed(&p[8], read);       // maximum read speed
    Store16(&p[10], 256);          // volume levels
    Store16(&p[12], kBufferBytes / 1024);
    PutSpeed(&p[14], read);      // current read speed
    PutSpeed(&p[18], top);       // maximum write speed
    PutSpeed(&p[20], SelectedSpeed());   // current write speed
    PutSpeed(&p[28], SelectedSpeed());   // current write speed selected
    Store16(&p[30], static_cast<std::uint32_t>(speeds.size()));
    for (std::size_t i = 0; i < speeds.size(); ++i) PutSpeed(&p[32 + 4 * i + 2], speeds[i]);
    return p;
}

void VirtualWriter::Impl::ModeSense10(ScsiRequest& r) {
    const std::uint8_t pc = r.cdb[2] >> 6;
    const std::uint8_t page = r.cdb[2] & 0x3F;
    const std::uint32_t allocation = Load16(&r.cdb[7]);
    if (r.cdb[3] != 0) return CheckCondition(r, kInvalidField);   // no subpages
    if (pc == 3) return CheckCondition(r, kSavingNotSupported);
    if (page != 0x05 && page != 0x2A && page != 0x3F) return CheckCondition(r, kInvalidField);
    std::vector<std::uint8_t> d(8, 0);
    if (page == 0x05 || page == 0x3F) {
        const auto p = pc == 0 ? page05 : pc == 1 ? ChangeablePage05() : DefaultPage05();
        d.insert(d.end(), p.begin(), p.end());
    }
    if (page == 0x2A || page == 0x3F) {
        const auto p = Page2A(pc == 1);
        d.insert(d.end(), p.begin(), p.end());
    }
    Store16(&d[0], static_cast<std::uint32_t>(d.size() - 2));
    SendData(r, std::move(d), allocation);
}

void VirtualWriter::Impl::ModeSelect10(ScsiRequest& r) {
    const std::uint32_t listLength = Load16(&r.cdb[7]);
    if (listLength == 0) return;
    if (r.cdb[1] & 0x01) return CheckCondition(r, kInvalidField);     // SP: nothing is saved
    if (!(r.cdb[1] & 0x10)) return CheckCondition(r, kInvalidField);  // pages must be in MMC format
    if (r.dataLength < listLength || !DataFlowsAsCommanded(r)) return CheckCondition(r, kParameterListLength);
    const std::uint8_t* p = r.data;
    if (listLength < 8) return CheckCondition(r, kParameterListLength);
    const std::uint32_t bdl = Load16(&p[6]);
    if (bdl != 0 && bdl != 8) return CheckCondition(r, kInvalidParameter);
    if (8 + bdl > listLength) return CheckCondition(r, kParameterListLength);

    auto newPage05 = page05;
    const auto mask05 = ChangeablePage05();
    std::uint32_t pos = 8 + bdl;
    while (pos < listLength) {
        if (pos + 2 > listLength) return CheckCondition(r, kParameterListLength);
        const std::uint8_t code = p[pos] & 0x3F;
        const std::uint32_t length = p[pos + 1];
        if (p[pos] & 0x40) return CheckCondition(r, kInvalidParameter);   // no subpage format
        if (pos + 2 + length > listLength) return CheckCondition(r, kParameterListLength);
        const std::uint8_t* page = p + pos;
        if (code == 0x05) {
            // DVD+R and BD are written without write parameters; these drives refuse the page.
            if (disc && !trayOpen && Medium().drive.writeTypes == 0) return CheckCondition(r, kInvalidParameter);
            if (length != kPage05Length - 2) return CheckCondition(r, kInvalidParameter);
            for (std::size_t i = 2; i < kPage05Length; ++i)
                if ((page[i] ^ newPage05[i]) & ~mask05[i]) return CheckCondition(r, kInvalidParameter);
            std::copy(page + 2, page + kPage05Length, newPage05.begin() + 2);
        } else if (code == 0x2A) {
            const auto current = Page2A(false);
            if (length + 2 != current.size() || !std::equal(page + 2, page + 2 + length, current.begin() + 2))
                return CheckCondition(r, kInvalidParameter);
        } else {
            return CheckCondition(r, kInvalidParameter);
        }
        pos += 2 + length;
    }
    // Values this drive can write with: the medium's write types (track at once or session
    // at once on a CD; incremental or disc at once on DVD-R/-RW, where track at once is
    // refused), Mode 1 or raw audio blocks (Mode 1 only on DVD-R/-RW), CD-DA/CD-ROM, CD-I
    // or XA sessions, a valid multisession field.
    const std::uint8_t writeType = newPage05[2] & 0x0F;
    const std::uint8_t blockType = newPage05[4] & 0x0F;
    const std::uint8_t trackMode = newPage05[3] & 0x0F;
    const std::uint8_t session = newPage05[8];
    const kvcat::DriveSide& medium = (disc && !trayOpen) ? Medium().drive : kvcat::NoMedium().drive;
    const bool dash = medium.writeTypes == (Bit(0) | Bit(2));
    if (writeType > 7 || !(medium.writeTypes & Bit(writeType)) || (dash && blockType != 8) ||
        (blockType != 0 && blockType != 8) ||
        (session != 0x00 && session != 0x10 && session != 0x20) || (newPage05[3] >> 6) == 2 ||
        ((trackMode & 0x04) && (trackMode & 0x08)))
        return CheckCondition(r, kInvalidParameter);
    page05 = newPage05;
}

unsigned VirtualWriter::Impl::TimedSpeed() const {
    if (setSpeed == 0) return options.speed;
    return options.speed == 0 ? setSpeed : std::min(options.speed, setSpeed);
}

std::vector<unsigned> VirtualWriter::Impl::OfferedSpeeds() const {
    const unsigned top = ReportedSpeed();
    std::vector<unsigned> speeds{top};
    for (unsigned x : Speeds().offered)
        if (x != 0 && x < top) speeds.push_back(x);
    return speeds;
}

void VirtualWriter::Impl::ChooseSpeed(std::uint64_t kbs) {
    if (kbs >= 0xFFFF) {
        setSpeed = 0;
        return;
    }
    const std::vector<unsigned> offered = OfferedSpeeds();
    setSpeed = offered.back();
    for (unsigned x : offered) {
        if (static_cast<std::uint64_t>(x) * KBsPerX() <= kbs + KBsPerX() / 50) {
            setSpeed = x;
            break;
        }
    }
    if (setSpeed == offered.front()) setSpeed = 0;
}

void VirtualWriter::Impl::SetCdSpeed(ScsiRequest& r) {
    ChooseSpeed(Load16(&r.cdb[4]));
}

void VirtualWriter::Impl::SetStreaming(ScsiRequest& r) {
    const std::uint32_t listLength = Load16(&r.cdb[9]);
    if (r.cdb[8] != 0) return CheckCondition(r, kInvalidField);   // only performance descriptors
    if (listLength == 0) return;
    if (listLength < 28 || r.dataLength < listLength || !DataFlowsAsCommanded(r))
        return CheckCondition(r, kParameterListLength);
    const std::uint8_t* d = r.data;
    if (d[0] & 0x04) {   // RDD: back to the drive's own speeds
        setSpeed = 0;
        return;
    }
    const std::uint32_t size = Load32(&d[20]), time = Load32(&d[24]);
    if (time == 0) return CheckCondition(r, kInvalidParameter);
    ChooseSpeed(static_cast<std::uint64_t>(size) * 1000u / time);
}

void VirtualWriter::Impl::GetPerformance(ScsiRequest& r) {
    const std::uint32_t allocation = 8 + 16u * Load16(&r.cdb[8]);
    if (r.cdb[10] != 0x03) return CheckCondition(r, kInvalidField);   // write speed descriptors only
    const std::vector<unsigned> offered = OfferedSpeeds();
    std::vector<std::uint8_t> d(8 + 16 * offered.size(), 0);
    Store32(&d[0], static_cast<std::uint32_t>(d.size() - 4));
    const std::uint32_t read = std::max(MaxSpeed(), offered.front()) * KBsPerX();
    for (std::size_t i = 0; i < offered.size(); ++i) {
        std::uint8_t* e = &d[8 + 16 * i];
        Store32(e + 4, disc->Capacity() - 1);
        Store32(e + 8, read);
        Store32(e + 12, offered[i] * KBsPerX());
    }
    SendData(r, std::move(d), allocation);
}

}  // namespace vdrive
