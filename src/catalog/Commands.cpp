#include "catalog/Commands.h"

namespace kvcat {

namespace {

constexpr const Command* kCommands[] = {
    &cmd::TestUnitReady,        &cmd::RequestSense,     &cmd::FormatUnit,          &cmd::Inquiry,
    &cmd::ModeSelect6,          &cmd::ModeSense6,       &cmd::StartStopUnit,       &cmd::PreventAllow,
    &cmd::ReadFormatCapacities, &cmd::ReadCapacity,     &cmd::Read10,              &cmd::Write10,
    &cmd::SynchronizeCache,     &cmd::ReadToc,          &cmd::GetConfiguration,    &cmd::GetEventStatus,
    &cmd::ReadDiscInformation,  &cmd::ReadTrackInformation, &cmd::ReserveTrack,    &cmd::ModeSelect10,
    &cmd::ModeSense10,          &cmd::CloseTrackSession, &cmd::ReadBufferCapacity, &cmd::Blank,
    &cmd::GetPerformance,       &cmd::ReadDvdStructure, &cmd::SetStreaming,        &cmd::SetCdSpeed,
};

}  // namespace

std::span<const Command* const> Commands() { return kCommands; }

const Command* CommandByOpcode(std::uint8_t opcode) {
    for (const Command* c : kCommands)
        if (c->opcode == opcode) return c;
    return nullptr;
}

}  // namespace kvcat
