// A virtual writer behind a fault injector: every command goes to the real virtual writer
// except the one a fault names, which gets the sense data of the fault instead (or first runs
// an action, such as shrinking the image being burnt). A fault can also leave the drive in
// that state from then on, as a drive whose disc is gone answers every later command alike.
// INQUIRY always passes: the device-access layer's drive scan sends it before each command,
// and a real drive answers it in any state.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/VirtualDevice.h"
#include "support/ScriptedDevice.h"
#include "vdrive/VirtualWriter.h"

namespace robust {

struct Sense {
    std::uint8_t key = 0, asc = 0, ascq = 0;
};
constexpr Sense kMediumNotPresent{0x02, 0x3A, 0x00};
constexpr Sense kMediumError{0x03, 0x0C, 0x00};
constexpr Sense kRemovalPrevented{0x05, 0x53, 0x02};

struct Fault {
    std::uint8_t opcode = 0;
    int nth = 1;                          // the nth command with this opcode (1-based)
    std::optional<Sense> sense;           // the answer instead of the drive's
    bool fromThenOn = false;              // every later command gets the same answer
    std::function<void()> before;         // run before the command reaches the drive
};

class FaultyDrive final : public win::VirtualScsiDevice {
public:
    explicit FaultyDrive(std::shared_ptr<vdrive::VirtualWriter> writer) : writer_(std::move(writer)) {}

    void Add(Fault fault) {
        std::lock_guard lock(mutex_);
        faults_.push_back(std::move(fault));
    }
    // Opcodes of the commands that reached the drive or the fault (INQUIRY left out).
    std::vector<std::uint8_t> Opcodes() const {
        std::lock_guard lock(mutex_);
        return opcodes_;
    }
    int Count(std::uint8_t opcode) const {
        int n = 0;
        for (auto op : Opcodes()) n += op == opcode;
        return n;
    }

    bool Execute(win::ScsiRequest& r) override {
        if (r.cdb[0] == 0x12) return writer_->Execute(r);
        std::function<void()> action;
        std::optional<Sense> answer;
        {
            std::lock_guard lock(mutex_);
            opcodes_.push_back(r.cdb[0]);
            const int seen = ++seen_[r.cdb[0]];
            answer = dead_;
            for (const Fault& f : faults_) {
                if (f.opcode != r.cdb[0] || f.nth != seen) continue;
                if (f.before) action = f.before;
                if (f.sense) {
                    answer = f.sense;
                    if (f.fromThenOn) dead_ = f.sense;
                }
            }
        }
        if (action) action();
        if (!answer) return writer_->Execute(r);
        return kvtest::CheckCondition(r, answer->key, answer->asc, answer->ascq);
    }
    std::string DevicePath() const override { return writer_->DevicePath(); }

private:
    std::shared_ptr<vdrive::VirtualWriter> writer_;
    mutable std::mutex mutex_;
    std::vector<Fault> faults_;
    std::vector<std::uint8_t> opcodes_;
    int seen_[256] = {};
    std::optional<Sense> dead_;
};

}  // namespace robust
