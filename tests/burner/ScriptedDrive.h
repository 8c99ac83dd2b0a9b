// A small in-process SCSI device whose answers a test sets: INQUIRY, the capabilities page,
// READ BUFFER CAPACITY and TEST UNIT READY. Everything it receives is recorded.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "catalog/BigEndian.h"
#include "platform/VirtualDevice.h"
#include "support/ScriptedDevice.h"

class ScriptedDrive : public win::VirtualScsiDevice {
public:
    struct Sense {
        std::uint8_t key, asc, ascq;
    };

    // INQUIRY: vendor (8), product (16), revision (4) placed from byte 8, as given (not padded).
    std::array<std::uint8_t, 100> inquiry{};
    // Capabilities page 2Ah bytes 0..25 (page code and length are filled in).
    std::array<std::uint8_t, 26> capabilities{};
    bool rbcSupported = true;
    bool blankSupported = true;
    std::uint32_t bufferLength = 0;
    std::uint32_t bufferFree = 0;
    // Answers of TEST UNIT READY, used up front to back; GOOD once empty.
    std::deque<Sense> testUnitReady;
    // REQUEST SENSE progress while TEST UNIT READY answers busy (0..65535).
    std::uint16_t progress = 0;

    std::vector<std::vector<std::uint8_t>> cdbs;
    // When set, every command but INQUIRY appends "<name>:<opcode>" here (order across drives).
    std::vector<std::string>* journal = nullptr;
    std::string name;

    void SetIdentity(const std::string& vendorProductRevision)
    {
        inquiry.fill(0);
        inquiry[0] = 0x05;
        std::memcpy(inquiry.data() + 8, vendorProductRevision.data(),
                    std::min<std::size_t>(vendorProductRevision.size(), 92));
    }

    // What the writer sent, without the INQUIRY of the device-access layer's drive scan.
    std::vector<std::vector<std::uint8_t>> Commands() const
    {
        std::vector<std::vector<std::uint8_t>> out;
        for (const auto& c : cdbs)
            if (c[0] != 0x12)
                out.push_back(c);
        return out;
    }

    int Count(std::uint8_t opcode) const
    {
        int n = 0;
        for (const auto& c : cdbs)
            n += c[0] == opcode;
        return n;
    }

    bool Execute(win::ScsiRequest& r) override
    {
        std::lock_guard lock(mutex_);
        cdbs.emplace_back(r.cdb, r.cdb + r.cdbLength);
        if (journal && r.cdb[0] != 0x12)
            journal->push_back(name + ":" + std::to_string(r.cdb[0]));
        r.status = 0;
        r.senseLength = 0;
        r.residual = 0;
        switch (r.cdb[0]) {
        case 0x12: return In(r, inquiry.data(), inquiry.size());
        case 0x1E: return true;   // PREVENT ALLOW MEDIUM REMOVAL
        case 0xA1:                // BLANK
            if (!blankSupported)
                return Check(r, {5, 0x20, 0});
            return true;
        case 0x00:                // TEST UNIT READY
            if (!testUnitReady.empty()) {
                const Sense s = testUnitReady.front();
                testUnitReady.pop_front();
                lastBusy_ = s.key == 2 && s.asc == 4;
                return Check(r, s);
            }
            lastBusy_ = false;
            return true;
        case 0x03: {   // REQUEST SENSE
            std::uint8_t sense[18] = {0x70, 0, lastBusy_ ? std::uint8_t(2) : std::uint8_t(0), 0, 0, 0, 0, 10};
            if (lastBusy_) {
                sense[12] = 0x04;
                sense[13] = 0x07;
                sense[15] = 0x80;
                sense[16] = static_cast<std::uint8_t>(progress >> 8);
                sense[17] = static_cast<std::uint8_t>(progress);
            }
            return In(r, sense, sizeof sense);
        }
        case 0x5A: {   // MODE SENSE(10)
            if ((r.cdb[2] & 0x3F) != 0x2A)
                return Check(r, {5, 0x24, 0});
            std::uint8_t reply[8 + 26] = {};
            reply[1] = 6 + 26;
            std::memcpy(reply + 8, capabilities.data(), 26);
            reply[8] = 0x2A;
            reply[9] = 24;
            return In(r, reply, sizeof reply);
        }
        case 0x5C: {   // READ BUFFER CAPACITY
            if (!rbcSupported)
                return Check(r, {5, 0x20, 0});
            std::uint8_t reply[12] = {0, 10};
            kvbe::Store32(reply + 4, bufferLength);
            kvbe::Store32(reply + 8, bufferFree);
            return In(r, reply, sizeof reply);
        }
        default: return Check(r, {5, 0x20, 0});
        }
    }
    std::string DevicePath() const override { return "scripted"; }

private:
    static bool In(win::ScsiRequest& r, const std::uint8_t* data, std::size_t size)
    {
        const std::size_t n = std::min<std::size_t>(size, r.dataLength);
        if (r.data)
            std::memcpy(r.data, data, n);
        r.residual = static_cast<std::uint32_t>(r.dataLength - n);
        return true;
    }
    static bool Check(win::ScsiRequest& r, Sense s)
    {
        return kvtest::CheckCondition(r, s.key, s.asc, s.ascq);
    }

    std::mutex mutex_;
    bool lastBusy_ = false;
};
