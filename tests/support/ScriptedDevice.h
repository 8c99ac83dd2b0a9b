// A scripted in-process SCSI device for tests: it records every command it receives and
// answers from canned replies (one-shot replies first, then per-opcode replies, then a
// handler, else GOOD without data). Thread-safe, so a command may arrive from another thread.
//
// One-shot replies queued with QueueReply skip INQUIRY: the device-access object's drive scan
// sends an INQUIRY to every drive (when the set of drives changes), and those must not eat the
// reply meant for the command under test. QueueReplyFor(opcode, ...) targets one opcode,
// INQUIRY included.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/VirtualDevice.h"

namespace kvtest {

// Ends a request with CHECK CONDITION and fixed-format sense data, nothing moved.
inline bool CheckCondition(win::ScsiRequest& r, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq = 0) {
    r.status = 2;
    std::fill(std::begin(r.sense), std::end(r.sense), std::uint8_t(0));
    r.sense[0] = 0x70;
    r.sense[2] = key;
    r.sense[7] = 10;
    r.sense[12] = asc;
    r.sense[13] = ascq;
    r.senseLength = 18;
    r.residual = r.dataLength;
    return true;
}

struct ScriptedReply {
    std::vector<std::uint8_t> data;    // data-in bytes delivered (cut to the request's length)
    std::uint8_t status = 0;           // SCSI status byte
    std::vector<std::uint8_t> sense;   // sense bytes delivered (at most 32)
    bool transportFailure = false;     // Execute returns false: the command never arrived

    static ScriptedReply Good(std::vector<std::uint8_t> bytes = {}) {
        ScriptedReply r;
        r.data = std::move(bytes);
        return r;
    }
    // CHECK CONDITION with fixed-format sense data (response code 70h, 18 bytes).
    static ScriptedReply CheckCondition(std::uint8_t key, std::uint8_t asc = 0, std::uint8_t ascq = 0) {
        ScriptedReply r;
        r.status = 0x02;
        r.sense.assign(18, 0);
        r.sense[0] = 0x70;
        r.sense[2] = key & 0x0f;
        r.sense[7] = 10;
        r.sense[12] = asc;
        r.sense[13] = ascq;
        return r;
    }
    static ScriptedReply Status(std::uint8_t status) {
        ScriptedReply r;
        r.status = status;
        return r;
    }
    static ScriptedReply TransportFailure() {
        ScriptedReply r;
        r.transportFailure = true;
        return r;
    }
};

// What the device saw of one command.
struct RecordedCommand {
    std::vector<std::uint8_t> cdb;
    win::ScsiRequest::Direction direction = win::ScsiRequest::Direction::None;
    std::uint32_t dataLength = 0;
    std::uint32_t timeoutSeconds = 0;
    std::vector<std::uint8_t> dataOut;   // the bytes a data-out command carried
};

// Standard INQUIRY data of a CD/DVD device (peripheral type 05h), 96 bytes; the texts are
// blank-padded to their field widths (vendor 8, product 16, revision 4, vendor-specific 20).
inline std::vector<std::uint8_t> InquiryData(const std::string& vendor, const std::string& product,
                                             const std::string& revision = "1.00",
                                             const std::string& vendorSpecific = "") {
    std::vector<std::uint8_t> d(96, 0);
    d[0] = 0x05;
    d[1] = 0x80;   // removable medium
    d[2] = 0x05;
    d[3] = 0x02;
    d[4] = 91;     // additional length: 96 - 5
    auto put = [&](std::size_t offset, std::size_t width, const std::string& text) {
        for (std::size_t i = 0; i < width; ++i)
            d[offset + i] = static_cast<std::uint8_t>(i < text.size() ? text[i] : ' ');
    };
    put(8, 8, vendor);
    put(16, 16, product);
    put(32, 4, revision);
    put(36, 20, vendorSpecific);
    return d;
}

class ScriptedDevice : public win::VirtualScsiDevice {
public:
    using Handler = std::function<ScriptedReply(const win::ScsiRequest&)>;

    explicit ScriptedDevice(std::string path = "scripted:0") : path_(std::move(path)) {
        byOpcode_[0x12] = ScriptedReply::Good(InquiryData("KEELVANE", "Scripted Drive"));
    }

    // A standing reply to every command with this operation code.
    void OnOpcode(std::uint8_t opcode, ScriptedReply reply) {
        std::lock_guard lock(mutex_);
        byOpcode_[opcode] = std::move(reply);
    }
    // One-shot replies, used in order before anything else (see above for INQUIRY).
    void QueueReply(ScriptedReply reply) {
        std::lock_guard lock(mutex_);
        queue_.push_back(Queued{std::nullopt, std::move(reply)});
    }
    void QueueReplyFor(std::uint8_t opcode, ScriptedReply reply) {
        std::lock_guard lock(mutex_);
        queue_.push_back(Queued{opcode, std::move(reply)});
    }
    // Answers every command no queued or per-opcode reply covers.
    void SetHandler(Handler handler) {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }
    void SetReportsAddress(bool reports) {
        std::lock_guard lock(mutex_);
        reportsAddress_ = reports;
    }

    std::vector<RecordedCommand> Commands() const {
        std::lock_guard lock(mutex_);
        return commands_;
    }
    std::size_t CommandCount() const {
        std::lock_guard lock(mutex_);
        return commands_.size();
    }
    void ClearCommands() {
        std::lock_guard lock(mutex_);
        commands_.clear();
    }

    bool Execute(win::ScsiRequest& request) override {
        ScriptedReply reply;
        Handler handler;
        {
            std::lock_guard lock(mutex_);
            RecordedCommand rec;
            rec.cdb.assign(request.cdb, request.cdb + std::min<std::size_t>(request.cdbLength, 16));
            rec.direction = request.direction;
            rec.dataLength = request.dataLength;
            rec.timeoutSeconds = request.timeoutSeconds;
            if (request.direction == win::ScsiRequest::Direction::Out && request.data != nullptr)
                rec.dataOut.assign(request.data, request.data + request.dataLength);
            commands_.push_back(std::move(rec));

            const std::uint8_t opcode = request.cdb[0];
            const auto queued = std::find_if(queue_.begin(), queue_.end(), [&](const Queued& q) {
                return q.opcode ? *q.opcode == opcode : opcode != kInquiry;
            });
            if (queued != queue_.end()) {
                reply = std::move(queued->reply);
                queue_.erase(queued);
            } else if (auto it = byOpcode_.find(request.cdb[0]); it != byOpcode_.end()) {
                reply = it->second;
            } else {
                handler = handler_;
            }
        }
        if (handler) reply = handler(request);   // outside the lock: it may script the device
        if (reply.transportFailure) return false;
        std::uint32_t moved = 0;
        if (request.direction == win::ScsiRequest::Direction::In && request.data != nullptr) {
            moved = std::min<std::uint32_t>(request.dataLength, static_cast<std::uint32_t>(reply.data.size()));
            if (moved > 0) std::memcpy(request.data, reply.data.data(), moved);
        } else if (request.direction == win::ScsiRequest::Direction::Out) {
            moved = request.dataLength;
        }
        request.residual = request.dataLength - moved;
        request.status = reply.status;
        request.senseLength = static_cast<std::uint8_t>(std::min<std::size_t>(reply.sense.size(), sizeof request.sense));
        if (request.senseLength > 0) std::memcpy(request.sense, reply.sense.data(), request.senseLength);
        return true;
    }

    std::string DevicePath() const override { return path_; }
    bool ReportsAddress() const override {
        std::lock_guard lock(mutex_);
        return reportsAddress_;
    }

private:
    static constexpr std::uint8_t kInquiry = 0x12;
    struct Queued {
        std::optional<std::uint8_t> opcode;
        ScriptedReply reply;
    };
    mutable std::mutex mutex_;
    std::string path_;
    std::map<std::uint8_t, ScriptedReply> byOpcode_;
    std::deque<Queued> queue_;
    Handler handler_;
    bool reportsAddress_ = true;
    std::vector<RecordedCommand> commands_;
};

}  // namespace kvtest
