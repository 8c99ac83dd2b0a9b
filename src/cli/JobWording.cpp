#include "cli/JobWording.h"

namespace cli {

const char* WaitPhaseName(TWaitPhase Phase)
{
    switch (Phase) {
    case TWaitPhase::DriveReady: return "drive-ready";
    case TWaitPhase::Buffer: return "buffer";
    case TWaitPhase::SyncCache: return "sync-cache";
    case TWaitPhase::CloseTrack: return "close-track";
    case TWaitPhase::CloseSession: return "close-session";
    case TWaitPhase::Blank: return "blank";
    case TWaitPhase::Format: return "format";
    }
    return "wait";
}

const char* WaitPhaseLabel(TWaitPhase Phase)
{
    switch (Phase) {
    case TWaitPhase::DriveReady: return "waiting for the drive";
    case TWaitPhase::Buffer: return "waiting for the drive's buffer";
    case TWaitPhase::SyncCache: return "flushing the drive's cache";
    case TWaitPhase::CloseTrack: return "closing track";
    case TWaitPhase::CloseSession: return "closing session";
    case TWaitPhase::Blank: return "blanking";
    case TWaitPhase::Format: return "formatting";
    }
    return "waiting";
}

std::string JobStepName(TJobStep Step)
{
    switch (Step) {
    case TJobStep::None: return "Done";
    case TJobStep::Interrupted: return "Cancelled";
    case TJobStep::NotReady: return "Drive Not Ready";
    case TJobStep::Medium: return "Unusable Disc";
    case TJobStep::WriteParameters: return "Set Write Mode Error";
    case TJobStep::Input: return "Input Error";
    case TJobStep::Write: return "Write Error";
    case TJobStep::BufferStall: return "Buffer Wait Timeout";
    case TJobStep::SyncCache: return "Sync Cache Error";
    case TJobStep::CloseTrack: return "Close Track Error";
    case TJobStep::CloseSession: return "Close Session Error";
    case TJobStep::Blank: return "Blank Error";
    case TJobStep::Format: return "Format Error";
    case TJobStep::Verify: return "Verify Error";
    case TJobStep::InUse: return "Drive In Use";
    case TJobStep::ImageChanged: return "Image Changed";
    }
    return "Error";
}

std::string JobOutcomeText(const TJobOutcome& Outcome)
{
    std::string text = JobStepName(Outcome.Step);
    if (Outcome.Sector >= 0)
        text += " at sector " + std::to_string(Outcome.Sector);
    if (Outcome.Error != Err_None)
        text += " : " + ScsiErrorToText(Outcome.Error);
    return text;
}

}  // namespace cli
