// What the drive reports about the disc: READ(10), READ TOC, READ DISC/TRACK INFORMATION,
// READ FORMAT CAPACITIES, GET CONFIGURATION and READ DVD STRUCTURE. Each reads the
// catalogue row of the medium, never a particular medium.
#include "vdrive/WriterImpl.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace vdrive {

void VirtualWriter::Impl::Read10(ScsiRequest& r) {
    const std::uint32_t lba = Load32(&r.cdb[2]);
    const std::uint32_t count = Load16(&r.cdb[7]);
    if (count == 0) return;
    const std::uint64_t bytes = static_cast<std::uint64_t>(count) * 2048u;
    if (r.dataLength < bytes) return CheckCondition(r, kInvalidField);
    if (disc->Overwritable() && disc->Formatted() && static_cast<std::uint64_t>(lba) + count <= disc->Capacity()) {
        // Formatted blocks never written read as zeros.
        const std::uint32_t written = disc->Tracks().empty() ? 0 : disc->Tracks().front().End();
        const std::uint32_t inTrack = lba < written ? std::min(count, written - lba) : 0;
        std::memset(r.data + static_cast<std::size_t>(inTrack) * 2048u, 0, static_cast<std::size_t>(count - inTrack) * 2048u);
        if (inTrack > 0 && disc->Read(lba, inTrack, r.data) != VirtualDisc::ReadResult::Ok)
            return CheckCondition(r, kReadError);
        r.residual = r.dataLength - static_cast<std::uint32_t>(bytes);
        return;
    }
    switch (disc->Read(lba, count, r.data)) {
    case VirtualDisc::ReadResult::Ok: r.residual = r.dataLength - static_cast<std::uint32_t>(bytes); return;
    case VirtualDisc::ReadResult::OutOfRange: return CheckCondition(r, kLbaOutOfRange);
    case VirtualDisc::ReadResult::AudioTrack: return CheckCondition(r, kIllegalModeForTrack);
    case VirtualDisc::ReadResult::IoError: return CheckCondition(r, kReadError);
    }
}

void VirtualWriter::Impl::ReadFormatCapacities(ScsiRequest& r) {
    const std::uint32_t allocation = Load16(&r.cdb[7]);
    std::vector<std::uint8_t> d(12, 0);
    auto descriptor = [](std::uint8_t* p, std::uint32_t blocks, std::uint8_t typeByte, std::uint32_t parameter) {
        Store32(p, blocks);
        p[4] = typeByte;
        p[5] = static_cast<std::uint8_t>(parameter >> 16);
        Store16(p + 6, parameter);
    };
    if (trayOpen || !disc) {
        descriptor(&d[4], 0xFFFFFFFF, 0x03, 2048);   // no medium: maximum capacity
    } else {
        // Current/maximum capacity: formatted for a written or formatted disc, unformatted
        // for a blank one (with what formatting would give).
        const bool formatted = disc->Overwritable() ? disc->Formatted() : disc->Status() != DiscStatus::Empty;
        descriptor(&d[4], disc->Capacity(), formatted ? 0x02 : 0x01, 2048);
        for (const kvcat::FormatOffer& f : FormatOffers()) {
            d.resize(d.size() + 8);
            descriptor(&d[d.size() - 8], disc->Capacity(), static_cast<std::uint8_t>(f.type << 2), f.parameter);
        }
    }
    d[3] = static_cast<std::uint8_t>(d.size() - 4);
    SendData(r, std::move(d), allocation);
}

std::vector<const DiscTrack*> VirtualWriter::Impl::TocTracks() const {
    std::vector<const DiscTrack*> t;
    for (const DiscTrack& track : disc->Tracks())
        if (track.closed || (disc->Overwritable() && track.blocks > 0)) t.push_back(&track);
    return t;
}

void VirtualWriter::Impl::ReadToc(ScsiRequest& r) {
    const bool msf = r.cdb[1] & 0x02;
    std::uint8_t format = r.cdb[2] & 0x0F;
    if (format == 0) format = r.cdb[9] >> 6;   // the older place of the format field
    const std::uint8_t from = r.cdb[6];
    const std::uint32_t allocation = Load16(&r.cdb[7]);
    const std::vector<const DiscTrack*> tracks = TocTracks();
    if (tracks.empty()) return CheckCondition(r, kInvalidField);   // nothing recorded yet
    auto address = [&](std::uint8_t* p, std::uint32_t lba) {
        if (msf) PutMsf(p, lba);
        else Store32(p, lba);
    };
    std::vector<std::uint8_t> d(4, 0);
    if (format == 0) {
        const int last = tracks.back()->number;
        if (from != 0xAA && from > last) return CheckCondition(r, kInvalidField);
        d[2] = 1;
        d[3] = static_cast<std::uint8_t>(last);
        auto descriptor = [&](std::uint8_t control, std::uint8_t number, std::uint32_t lba) {
            std::uint8_t e[8] = {0, static_cast<std::uint8_t>(0x10 | control), number, 0};
            address(e + 4, lba);
            d.insert(d.end(), e, e + 8);
        };
        for (const DiscTrack* t : tracks)
            if (from != 0xAA && t->number >= from) descriptor(t->control, static_cast<std::uint8_t>(t->number), t->start);
        descriptor(tracks.back()->control, 0xAA, tracks.back()->End());
    } else if (format == 1) {
        const int session = tracks.back()->session;
        const DiscTrack* first = *std::find_if(tracks.begin(), tracks.end(),
                                               [&](const DiscTrack* t) { return t->session == session; });
        d[2] = 1;
        d[3] = static_cast<std::uint8_t>(session);
        std::uint8_t e[8] = {0, static_cast<std::uint8_t>(0x10 | first->control), static_cast<std::uint8_t>(first->number), 0};
        address(e + 4, first->start);
        d.insert(d.end(), e, e + 8);
    } else {
        return CheckCondition(r, kInvalidField);
    }
    Store16(&d[0], static_cast<std::uint32_t>(d.size() - 2));
    SendData(r, std::move(d), allocation);
}

void VirtualWriter::Impl::ReadDiscInformation(ScsiRequest& r) {
    if (r.cdb[1] & 0x07) return CheckCondition(r, kInvalidField);   // only standard disc information
    const std::uint32_t allocation = Load16(&r.cdb[7]);
    std::vector<std::uint8_t> d(34, 0);
    Store16(&d[0], 32);
    const DiscStatus status = disc->Status();
    std::uint8_t sessionState = 3, discStatus = 2;
    int sessions = disc->ClosedSessions();
    int firstInLast = 1, lastInLast = 1;
    const auto& tracks = disc->Tracks();
    if (disc->Overwritable() || (status == DiscStatus::Complete && tracks.empty())) {
        // One session with one track: formatted (complete) or not yet (blank). A pressed
        // disc without tracks reads the same way.
        sessions = 1;
        if (status == DiscStatus::Empty) sessionState = 0, discStatus = 0;
    } else if (status == DiscStatus::Complete) {
        const int session = tracks.back().session;
        firstInLast = std::find_if(tracks.begin(), tracks.end(), [&](const DiscTrack& t) { return t.session == session; })->number;
        lastInLast = tracks.back().number;
    } else {
        discStatus = status == DiscStatus::Empty ? 0 : 1;
        sessions = disc->CurrentSession();
        const bool started = !tracks.empty() && tracks.back().session == sessions;
        sessionState = started ? 1 : 0;
        firstInLast = started ? std::find_if(tracks.begin(), tracks.end(), [&](const DiscTrack& t) { return t.session == sessions; })->number
                              : disc->NextTrackNumber();
        // The incomplete track, or the invisible one after the last closed track.
        lastInLast = (disc->OpenTrack() || !disc->NextWritableAddress()) ? static_cast<int>(tracks.size())
                                                                         : disc->NextTrackNumber();
        if (lastInLast == 0) lastInLast = 1;
    }
    d[2] = static_cast<std::uint8_t>((disc->Rewritable() ? 0x10 : 0) | sessionState << 2 | discStatus);
    d[3] = 1;
    d[4] = static_cast<std::uint8_t>(sessions);
    d[5] = static_cast<std::uint8_t>(firstInLast);
    d[6] = static_cast<std::uint8_t>(lastInLast);
    d[7] = 0x20;   // unrestricted use
    // Background format status (DVD+RW, BD-RE): completed once formatted.
    if (Medium().drive.backgroundFormat && disc->Formatted())
        d[7] |= 0x03;
    d[8] = 0x00;   // CD-DA or CD-ROM disc
    if (status == DiscStatus::Complete || !disc->IsCd()) {
        std::memset(&d[16], 0xFF, 8);
    } else {
        const std::optional<std::uint32_t> nwa = disc->NextWritableAddress();
        PutMsf(&d[16], nwa.value_or(disc->Capacity()));   // next session's lead-in, roughly
        PutMsf(&d[20], disc->Capacity());                 // last possible lead-out start
    }
    SendData(r, std::move(d), allocation);
}

void VirtualWriter::Impl::ReadTrackInformation(ScsiRequest& r) {
    const std::uint8_t addressType = r.cdb[1] & 0x03;
    const std::uint32_t value = Load32(&r.cdb[2]);
    const std::uint32_t allocation = Load16(&r.cdb[7]);
    if (disc->Overwritable()) return OverwritableTrackInformation(r, addressType, value, allocation);
    const auto& tracks = disc->Tracks();
    const std::optional<std::uint32_t> nwa = disc->NextWritableAddress();
    const bool invisible = nwa && !disc->OpenTrack();   // a blank track after the last one
    const DiscTrack* track = nullptr;
    bool blankTrack = false;
    switch (addressType) {
    case 0:   // LBA
        for (const DiscTrack& t : tracks)
            if (value >= t.start && value < t.End()) track = &t;
        if (!track && disc->OpenTrack() && value >= disc->OpenTrack()->start && value < disc->Capacity()) track = disc->OpenTrack();
        if (!track && invisible && value >= *nwa && value < disc->Capacity()) blankTrack = true;
        break;
    case 1:   // track number
        if (value == 0xFF) {
            if (disc->OpenTrack()) track = disc->OpenTrack();
            else if (invisible) blankTrack = true;
        } else if (value >= 1 && value <= tracks.size()) {
            track = &tracks[value - 1];
        } else if (invisible && value == tracks.size() + 1) {
            blankTrack = true;
        }
        break;
    case 2:   // session number: its first track
        for (const DiscTrack& t : tracks)
            if (!track && t.session == static_cast<int>(value)) track = &t;
        if (!track && invisible && value == static_cast<std::uint32_t>(disc->CurrentSession())) blankTrack = true;
        break;
    default:
        break;
    }
    if (!track && !blankTrack) return CheckCondition(r, kInvalidField);

    std::vector<std::uint8_t> d(36, 0);
    Store16(&d[0], 34);
    const std::uint32_t capacity = disc->Capacity();
    if (blankTrack) {
        const int number = disc->NextTrackNumber();
        d[2] = static_cast<std::uint8_t>(number);
        d[3] = static_cast<std::uint8_t>(disc->CurrentSession());
        d[5] = static_cast<std::uint8_t>(page05[3] & 0x0F);
        d[6] = 0x40 | 0x0F;   // blank, data mode unknown
        d[7] = 0x01;          // NWA valid
        Store32(&d[8], *nwa);
        Store32(&d[12], *nwa);
        Store32(&d[16], capacity - *nwa);
        Store32(&d[24], capacity - *nwa);
    } else {
        d[2] = static_cast<std::uint8_t>(track->number);
        d[3] = static_cast<std::uint8_t>(track->session);
        d[5] = track->control;
        d[6] = track->audio ? 0x0F : 0x01;   // data mode 1
        Store32(&d[8], track->start);
        if (!track->closed) {
            const std::uint32_t next = track->End();
            d[7] = 0x01;
            Store32(&d[12], next);
            Store32(&d[16], capacity - next);
            Store32(&d[24], capacity - track->start);
        } else {
            Store32(&d[24], track->blocks);
        }
        if (track->blocks > 0) {
            d[7] |= 0x02;   // LRA valid
            Store32(&d[28], track->End() - 1);
        }
    }
    SendData(r, std::move(d), allocation);
}

void VirtualWriter::Impl::OverwritableTrackInformation(ScsiRequest& r, std::uint8_t addressType, std::uint32_t value,
                                  std::uint32_t allocation) {
    const std::uint32_t capacity = disc->Capacity();
    const bool found = (addressType == 0 && value < capacity) || (addressType == 1 && (value == 1 || value == 0xFF)) ||
                       (addressType == 2 && value == 1);
    if (!found) return CheckCondition(r, kInvalidField);
    std::vector<std::uint8_t> d(36, 0);
    Store16(&d[0], 34);
    d[2] = 1;
    d[3] = 1;
    d[5] = 0x04;   // data, recorded uninterrupted
    Store32(&d[24], capacity);
    if (!disc->Formatted()) {
        d[6] = 0x40 | 0x01;   // blank, Mode 1
        Store32(&d[16], capacity);
    } else {
        d[6] = 0x01;
        d[7] = 0x01;          // NWA valid
        Store32(&d[12], 0);
        Store32(&d[16], capacity);
        const DiscTrack* t = disc->Tracks().empty() ? nullptr : &disc->Tracks().front();
        if (t && t->blocks > 0) {
            d[7] |= 0x02;     // LRA valid: the last block written
            Store32(&d[28], t->End() - 1);
        }
    }
    SendData(r, std::move(d), allocation);
}

std::uint16_t VirtualWriter::Impl::CurrentProfile() const {
    if (trayOpen || !disc) return 0x0000;
    return disc->Media().profile;
}

const std::vector<std::uint16_t>& VirtualWriter::Impl::Profiles() {
    static const std::vector<std::uint16_t> profiles = [] {
        std::vector<std::uint16_t> p;
        for (const kvcat::Medium& m : kvcat::Media()) p.push_back(m.profile);
        std::sort(p.begin(), p.end(), std::greater<>());
        p.erase(std::unique(p.begin(), p.end()), p.end());
        return p;
    }();
    return profiles;
}

void VirtualWriter::Impl::GetConfiguration(ScsiRequest& r) {
    const std::uint8_t rt = r.cdb[1] & 0x03;
    const std::uint16_t start = Load16(&r.cdb[2]);
    const std::uint32_t allocation = Load16(&r.cdb[7]);
    if (rt == 3) return CheckCondition(r, kInvalidField);
    const std::uint16_t profile = CurrentProfile();
    const bool present = profile != 0;
    const kvcat::Medium& medium = present ? disc->Media() : kvcat::NoMedium();
    const bool cd = present && medium.family == kvcat::Family::CD;
    const bool dvd = present && medium.family == kvcat::Family::DVD;
    const bool bd = present && medium.family == kvcat::Family::BD;
    // The features current with the medium beyond those of its family, as its row lists them.
    auto current = [&](std::uint16_t code) {
        const auto& f = medium.drive.features;
        return present && std::find(f.begin(), f.end(), code) != f.end();
    };
    const bool formatted = present && medium.Overwritable() && disc->Formatted();
    const std::uint8_t testWrite = options.noTestWrite ? 0x00 : 0x04;   // Test Write of 002Dh and 002Fh
    struct Feature {
        std::uint16_t code;
        bool current;
        std::uint8_t version;
        std::vector<std::uint8_t> data;
    };
    std::vector<std::uint8_t> profiles;
    for (std::uint16_t p : Profiles()) {
        profiles.push_back(static_cast<std::uint8_t>(p >> 8));
        profiles.push_back(static_cast<std::uint8_t>(p));
        profiles.push_back(p == profile ? 0x01 : 0x00);
        profiles.push_back(0);
    }
    std::vector<std::uint8_t> randomWritable(12, 0);
    // Without a disc the feature describes a single-layer DVD, as drives report it.
    Store32(&randomWritable[0], (present ? disc->Capacity() : kvcat::MediumByKey("dvd-rom")->capacity) - 1);   // last LBA
    Store32(&randomWritable[4], 2048);
    Store16(&randomWritable[8], medium.drive.randomBlocking);                                 // blocking
    randomWritable[10] = 0x01;                                                              // PP
    const std::uint8_t linkSize = cd ? 7 : 16;
    // BD class bitmaps: BD-RE version 2, BD-R version 1, BD-ROM version 1 of class 0.
    const std::vector<std::uint8_t> bdRead = {0, 0, 0, 0, 0, 0x04, 0, 0, 0, 0, 0, 0, 0, 0x02, 0, 0,
                                              0, 0, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0};
    const std::vector<std::uint8_t> bdWrite = {0, 0, 0, 0, 0, 0x04, 0, 0, 0, 0, 0, 0, 0, 0x02, 0, 0,
                                               0, 0, 0, 0};
    const std::vector<Feature> features = {
        {0x0000, true, 0, profiles},                                   // profile list
        {0x0001, true, 1, {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}},   // core: SCSI
        {0x0002, true, 1, {0x02, 0, 0, 0}},                            // morphing: OCEvent
        {0x0003, true, 0, {static_cast<std::uint8_t>(0x20 | 0x08 | 0x01 | (prevent ? 0x04 : 0)), 0, 0, 0}},   // removable: tray
        {0x0010, present, 0, {0x00, 0x00, 0x08, 0x00, 0x00, static_cast<std::uint8_t>(cd ? 1 : 16), 0x00, 0x00}},   // random readable, 2048
        {0x001E, cd, 1, {0x00, 0x00, 0x00, 0x00}},                     // CD read
        {0x001F, dvd, 0, {}},                                          // DVD read
        {0x0020, formatted, 0, randomWritable},                        // random writable
        {0x0021, current(0x0021), 1,                                   // incremental streaming writable
         {0x01, static_cast<std::uint8_t>(cd ? 0x01 : 0x00), 0x01, 0x01, linkSize, 0, 0, 0}},   // Mode 1 (and raw on CD), BUF
        {0x0023, current(0x0023), 0, {0, 0, 0, 0}},                    // formattable
        {0x0026, current(0x0026), 0, {0, 0, 0, 0}},                    // restricted overwrite
        {0x002A, current(0x002A), 1, {0x01, 0x00, 0, 0}},              // DVD+RW: write
        {0x002B, current(0x002B), 0, {0x01, 0, 0, 0}},                 // DVD+R: write
        {0x002D, current(0x002D), 2, {static_cast<std::uint8_t>(0x40 | testWrite), 0x00, 0x00, 0x00}},   // CD track at once, BUF
        {0x002F, current(0x002F), 1, {static_cast<std::uint8_t>(0x42 | testWrite), 0, 0, 0}},   // DVD-R/-RW write: BUF, DVD-RW
        {0x003B, current(0x003B), 0, {0x01, 0, 0, 0}},                 // DVD+R DL: write
        {0x0040, bd, 1, bdRead},                                       // BD read
        {0x0041, current(0x0041), 1, bdWrite},                         // BD write
    };
    std::vector<std::uint8_t> d(8, 0);
    Store16(&d[6], profile);
    for (const Feature& f : features) {
        if (f.code < start || (rt == 1 && !f.current) || (rt == 2 && f.code != start)) continue;
        d.push_back(static_cast<std::uint8_t>(f.code >> 8));
        d.push_back(static_cast<std::uint8_t>(f.code));
        d.push_back(static_cast<std::uint8_t>(f.version << 2 | (f.code <= 0x0003 ? 0x02 : 0) | (f.current ? 1 : 0)));
        d.push_back(static_cast<std::uint8_t>(f.data.size()));
        d.insert(d.end(), f.data.begin(), f.data.end());
    }
    Store32(&d[0], static_cast<std::uint32_t>(d.size() - 4));
    SendData(r, std::move(d), allocation);
}

void VirtualWriter::Impl::ReadDvdStructure(ScsiRequest& r) {
    if (!disc->IsDvd()) return CheckCondition(r, kCannotReadFormat);
    const std::uint8_t layer = r.cdb[6];
    const std::uint8_t format = r.cdb[7];
    const std::uint32_t allocation = Load16(&r.cdb[8]);
    std::vector<std::uint8_t> d;
    if (format == 0x00) {
        if (layer != 0) return CheckCondition(r, kInvalidField);
        d.assign(4 + 2048, 0);
        // Book type and part version; layers and layer type (1 embossed, 2 recordable,
        // 4 rewritable).
        d[4] = Medium().drive.dvdBook;
        d[5] = 0x02;                       // 120 mm, 10.08 Mbps
        d[6] = Medium().drive.dvdLayerType;
        d[7] = 0x00;                       // 0.267 um/bit, 0.74 um/track
        const std::uint32_t first = 0x030000;
        Store32(&d[8], first);
        Store32(&d[12], first + disc->Capacity() - 1);
    } else if (format == 0xFF) {   // the structure list: just format 0
        d = {0, 0, 0, 0, 0x00, 0x40, 0x08, 0x02};
    } else {
        return CheckCondition(r, kInvalidField);
    }
    Store16(&d[0], static_cast<std::uint32_t>(d.size() - 2));
    SendData(r, std::move(d), allocation);
}

}  // namespace vdrive
