#include "burner/DiscPlan.h"

#include <algorithm>

#include "burner/WriteSpeed.h"

namespace {

// READ TRACK INFORMATION address type 1, track FFh: the incomplete (invisible) track.
constexpr std::uint8_t kAddressTrack = 1;
constexpr std::uint32_t kInvisibleTrack = 0xFF;

// Profiles a drive may name that this program knows of but does not write: their names only.
struct TNamedProfile {
    std::uint16_t Profile;
    const char* Name;
};
constexpr TNamedProfile kNotWritten[] = {
    {prDVDRAM, "DVD-RAM"},
    {prDVDRDualLayerJump, "DVD-R DL (layer jump)"},
    {prDVDPlusRWDualLayer, "DVD+RW DL"},
    {prBDRRandom, "BD-R (random recording)"},
};

std::string SessionsText(std::uint16_t Sessions) {
    return std::to_string(Sessions) + (Sessions == 1 ? " session" : " sessions");
}

std::string DriveOf(const TCDBurner& Burner) { return std::string(1, Burner.Info.DriveLetter) + ":"; }

void Refuse(TDiscPlan& Plan, TPlanVerdict Verdict, std::string Message) {
    Plan.Verdict = Verdict;
    Plan.Refusal = std::move(Message);
}

constexpr std::uint8_t kWriteTypeIncremental = 0x00;

// Bit 2 of the first data byte of features 002Dh and 002Fh.
constexpr std::int16_t kFeatureTestWrite = 0x04;

// ISO 9660 and UDF put their first volume descriptor at sector 16.
constexpr std::uint32_t kFirstVolumeDescriptor = 16;

// A drive calls a formatted overwritable disc complete whatever it holds; what it holds is
// read from it, as the independent burners do: a disc whose sector 16 reads as zeros has no
// file system (never written, or blanked by zeroing its start).
bool HoldsNothing(TCDBurner& Burner) {
    std::vector<std::uint8_t> block(2048, 0xFF);
    if (ScsiRead10(Burner.Info, kFirstVolumeDescriptor, 1, block.data(), static_cast<std::uint32_t>(block.size()),
                   Burner.CommandSettings) != Err_None)
        return false;
    return std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0; });
}

// Sessions that hold data: an appendable disc counts its empty next session too.
std::uint16_t WrittenSessions(const TScsiDiscInformation& Disc) {
    if (Disc.DiscStatus == 0) return 0;
    if (Disc.LastSessionState == 0 && Disc.Sessions > 0) return static_cast<std::uint16_t>(Disc.Sessions - 1);
    return Disc.Sessions;
}

}  // namespace

std::string ProfileName(std::uint16_t Profile) {
    if (const kvcat::Medium* row = kvcat::MediumByProfile(Profile)) return row->name;
    for (const TNamedProfile& p : kNotWritten)
        if (p.Profile == Profile) return p.Name;
    char text[32];
    std::snprintf(text, sizeof text, "profile %04Xh", static_cast<unsigned>(Profile));
    return text;
}

const char* DiscStateText(TDiscState State) {
    switch (State) {
        case TDiscState::Unknown: return "unknown";
        case TDiscState::Blank: return "blank";
        case TDiscState::Appendable: return "appendable";
        case TDiscState::Closed: return "closed";
        case TDiscState::Unformatted: return "unformatted";
        case TDiscState::Written: return "written";
    }
    return "unknown";
}

std::string TDiscPlan::MediumName() const {
    if (ProfileKnown) return Medium != nullptr ? std::string(Medium->name) : ProfileName(Profile);
    return "unknown medium (the drive reports no profile)";
}

std::string TDiscPlan::StatusLine() const {
    std::string text = "Disc : " + MediumName() + ", " + DiscStateText(State);
    if (FreeBlocks >= 0) text += ", " + std::to_string(FreeBlocks) + " blocks free";
    return text;
}

std::string DiscProfileText(const TDiscPlan& Plan) {
    // Only what the drive said: a drive without profiles names no medium.
    return Plan.ProfileKnown ? Plan.MediumName() : "unknown (the drive reports no profile)";
}

std::vector<std::string> DiscInfoLines(const TDiscPlan& Plan) {
    const std::string nwa = Plan.NextWritableValid ? std::to_string(Plan.NextWritable) : "none";
    const std::string capacity =
        Plan.Capacity >= 0 ? std::to_string(Plan.Capacity) + " blocks (" + std::to_string(Plan.Capacity / 512) + " MiB)"
                           : "unknown";
    return {
        "Profile       : " + DiscProfileText(Plan),
        "Disc status   : " + std::string(DiscStateText(Plan.State)),
        "Erasable      : " + std::string(Plan.Erasable ? "yes" : "no"),
        "Sessions      : " + std::to_string(Plan.Sessions),
        "Tracks        : " + std::to_string(Plan.Tracks),
        "Next writable : " + nwa,
        "Free blocks   : " + (Plan.FreeBlocks >= 0 ? std::to_string(Plan.FreeBlocks) : std::string("unknown")),
        "Capacity      : " + capacity,
    };
}

namespace {

bool IsCD(const TDiscPlan& Plan) { return !Plan.Medium || Plan.Medium->family == kvcat::Family::CD; }

}  // namespace

std::string MediumWord(const TDiscPlan& Plan) { return IsCD(Plan) ? std::string("CD") : std::string(Plan.Medium->name); }

std::string CreationErrorText(const TDiscPlan& Plan) { return "Error creating " + MediumWord(Plan) + "."; }

std::string CreationCompleteText(const TDiscPlan& Plan, bool Bootable) {
    std::string text = MediumWord(Plan) + " Creation Complete!";
    // Boot advice only for an image that can start a computer.
    if (Bootable)
        text += std::string("\r\nBe sure your computer can boot from your ") +
                (IsCD(Plan) ? "CD" : FamilyName(Plan.Medium->family)) + " drive.";
    return text;
}

std::string DiscSummaryLine(const TDiscPlan& Plan) {
    // A probed plan always has a row or a profile: a drive that names none is a CD writer.
    if (!Plan.ProfileKnown && Plan.Medium == nullptr) return "no disc";
    std::string text = Plan.ProfileKnown ? Plan.MediumName() : "unknown medium";
    if (Plan.State != TDiscState::Unknown) text += ", " + std::string(DiscStateText(Plan.State));
    if (Plan.FreeBlocks >= 0) text += ", " + std::to_string(Plan.FreeBlocks / 512) + " MiB free";
    return text;
}

std::vector<std::uint16_t> WritableProfiles(const TScsiConfiguration& Config) {
    std::vector<std::uint16_t> out;
    for (const auto& p : Config.Profiles) {
        const kvcat::Medium* row = kvcat::MediumByProfile(p.Profile);
        if (row && row->Writable() && std::find(out.begin(), out.end(), p.Profile) == out.end())
            out.push_back(p.Profile);
    }
    return out;
}

void TCDBurner::AppendWritableProfiles(std::vector<std::string>& Lines) {
    TScsiConfiguration config;
    if (ScsiGetConfiguration(Info, config, CommandSettings) != Err_None) return;
    const std::vector<std::uint16_t> profiles = WritableProfiles(config);
    if (profiles.empty()) return;
    Lines.emplace_back("-- Device Writing Profiles --");
    for (std::uint16_t p : profiles) Lines.push_back("    Write " + ProfileName(p) + " media");
}

TDiscPlan ProbeDisc(TCDBurner& Burner, std::int64_t ImageBlocks) {
    TDiscPlan plan;
    plan.ImageBlocks = ImageBlocks;

    TScsiConfiguration config;
    const bool configured =
        ScsiGetConfiguration(Burner.Info, config, Burner.CommandSettings) == Err_None && config.CurrentProfile != 0;
    TScsiDiscInformation disc;
    const bool discKnown = ScsiReadDiscInformation(Burner.Info, disc, Burner.CommandSettings) == Err_None;

    if (configured) {
        plan.ProfileKnown = true;
        plan.Profile = config.CurrentProfile;
        plan.Medium = kvcat::MediumByProfile(plan.Profile);
    } else {
        // A CD writer of old names no medium. It is written as a CD, as it always was; the
        // disc information says only whether the disc is erasable (then a used one may be
        // blanked), and the medium is never called by a name the drive did not give.
        plan.Medium = kvcat::MediumByProfile(discKnown && disc.Erasable ? prCDRW : prCDR);
    }

    if (discKnown) {
        plan.Erasable = disc.Erasable;
        plan.Sessions = WrittenSessions(disc);
        plan.Tracks = disc.DiscStatus == 0 ? 0
                      : static_cast<std::uint16_t>(disc.LastTrackInLastSession -
                                                   (disc.LastSessionState == 0 ? 1 : 0));
        switch (disc.DiscStatus) {
            case 0: plan.State = TDiscState::Blank; break;
            case 1: plan.State = TDiscState::Appendable; break;
            case 2: plan.State = TDiscState::Closed; break;
            default: plan.State = TDiscState::Unknown; break;
        }
    }

    TScsiTrackInformation track;
    const bool trackKnown = ScsiReadTrackInformation(Burner.Info, kAddressTrack, kInvisibleTrack, track,
                                                     Burner.CommandSettings) == Err_None;
    if (trackKnown && track.NextWritableValid) {
        plan.NextWritableValid = true;
        plan.NextWritable = track.NextWritableAddress;
        if (track.TrackNumber > 0) plan.NextTrack = track.TrackNumber;
        plan.FreeBlocks = track.FreeBlocks;
        plan.Capacity = std::int64_t(track.NextWritableAddress) + track.FreeBlocks;
    } else if (trackKnown || plan.State == TDiscState::Closed) {
        // A closed disc has no writable track left.
        plan.FreeBlocks = 0;
    }

    const kvcat::Medium* row = plan.Medium;
    // A CD to write tells its room by its track; every other medium by its format capacities.
    const bool writtenCd = row && row->family == kvcat::Family::CD && row->Writable();
    if (plan.ProfileKnown && !writtenCd) {
        // DVD and BD media tell their size (and an overwritable one whether it is formatted).
        TScsiFormatCapacities caps;
        if (ScsiReadFormatCapacities(Burner.Info, caps, Burner.CommandSettings) == Err_None &&
            caps.DescriptorType != 3 && caps.CurrentBlocks > 0) {
            if (plan.Capacity < 0 || (row && row->Overwritable())) plan.Capacity = caps.CurrentBlocks;
            if (row && row->Overwritable()) {
                plan.FormatBlocks = caps.CurrentBlocks;
                for (const auto& d : caps.Formattable)
                    if (d.FormatType == row->steps.formatType) {
                        plan.FormatBlocks = d.Blocks;
                        plan.FormatParameter = d.Parameter;
                        break;
                    }
                if (caps.DescriptorType == 1 && row->steps.formatsWhenUnformatted) {
                    plan.State = TDiscState::Unformatted;
                    plan.Capacity = plan.FormatBlocks;
                } else {
                    plan.State = plan.State == TDiscState::Blank ? TDiscState::Blank : TDiscState::Written;
                }
            }
        }
        if (row && row->Overwritable()) {
            // Written over from the start: the whole disc is room.
            plan.FreeBlocks = plan.Capacity;
            if (plan.State != TDiscState::Unformatted && plan.State != TDiscState::Blank)
                plan.State = TDiscState::Written;
        }
        if (row && row->Overwritable() && plan.State == TDiscState::Written && HoldsNothing(Burner))
            plan.State = TDiscState::Blank;
    }

    // Of the rows sharing the profile (single and dual layer), the one whose capacity holds the
    // disc's: its name and steps are the disc's.
    if (plan.ProfileKnown && row != nullptr)
        plan.Medium = row = kvcat::MediumByProfileAndCapacity(plan.Profile, plan.Capacity);
    if (configured && row && row->steps.testWriteFeature != 0) {
        const TScsiFeatureDescriptor* feature = config.Feature(row->steps.testWriteFeature);
        if (feature && feature->Flags >= 0) plan.DriveTestWrite = (feature->Flags & kFeatureTestWrite) ? 1 : 0;
    }
    // A medium written incrementally, in a drive without Incremental Streaming Writable (0021h)
    // but with Disc At Once (002Fh).
    plan.DiscAtOnce = configured && row && row->steps.setsWriteParameters &&
                      row->steps.writeType == kWriteTypeIncremental && !config.HasFeature(0x0021, false) &&
                      config.HasFeature(0x002F, false);
    return plan;
}

namespace {

// The verdict on the disc: probed, decided, nothing said or changed.
TDiscPlan Judge(TCDBurner& Burner, std::int64_t ImageBlocks, bool BlankAsNeeded, bool Audio) {
    TDiscPlan plan = ProbeDisc(Burner, ImageBlocks);
    const std::string drive = DriveOf(Burner);
    const std::string medium = plan.MediumName();
    const kvcat::Medium* row = plan.Medium;

    if (row != nullptr && !row->Writable()) {
        Refuse(plan, TPlanVerdict::ReadOnly, "The disc in " + drive + " is a " + medium + " and cannot be written.");
    } else if (row == nullptr) {
        Refuse(plan, TPlanVerdict::Unsupported,
               "The disc in " + drive + " is a " + medium + ", which this program cannot write.");
    } else if (Audio && row->family != kvcat::Family::CD) {
        Refuse(plan, TPlanVerdict::Unsupported,
               "The disc in " + drive + " is a " + medium + "; audio tracks need a blank CD-R or CD-RW.");
    } else if (!plan.ProfileKnown && (plan.State == TDiscState::Appendable || plan.State == TDiscState::Closed)) {
        // Only what the drive said: its disc state, never a medium it did not name.
        const std::string said = "The drive reports the disc in " + drive + " as " + DiscStateText(plan.State) +
                                 (plan.Erasable ? " and erasable" : "") + ", " + SessionsText(plan.Sessions) +
                                 ", and names no medium (it reports no profile).";
        if (!plan.Erasable) {
            Refuse(plan, TPlanVerdict::NotBlank, said + " Insert a blank disc.");
        } else if (!BlankAsNeeded) {
            Refuse(plan, TPlanVerdict::NeedsBlank, said + " Blank it first.");
        } else {
            plan.BlankFirst = true;
            plan.FreeBlocks = plan.Capacity > 0 ? plan.Capacity : -1;
        }
    } else if (!row->Overwritable() && (plan.State == TDiscState::Appendable || plan.State == TDiscState::Closed)) {
        if (row->blanking != kvcat::Blanking::Blank) {
            Refuse(plan, TPlanVerdict::NotBlank,
                   "The disc in " + drive + " is not blank (" + DiscStateText(plan.State) + " " + medium + ", " +
                       SessionsText(plan.Sessions) + "). Insert a blank disc.");
        } else if (!BlankAsNeeded) {
            Refuse(plan, TPlanVerdict::NeedsBlank, "The disc in " + drive + " is not blank. Blank it first.");
        } else {
            // Blanked first: then the whole disc is free again.
            plan.BlankFirst = true;
            if (plan.Capacity > 0) plan.FreeBlocks = plan.Capacity;
            else plan.FreeBlocks = -1;
        }
    }
    if (plan.CanBurn() && ImageBlocks >= 0 && plan.FreeBlocks >= 0 && ImageBlocks > plan.FreeBlocks) {
        Refuse(plan, TPlanVerdict::TooSmall,
               "Image larger than disc (" + std::to_string(ImageBlocks) + " blocks needed, " +
                   std::to_string(plan.FreeBlocks) + " free)");
    }
    return plan;
}

TDiscPlan Decide(TCDBurner& Burner, std::int64_t ImageBlocks, bool BlankAsNeeded, bool Audio) {
    TDiscPlan plan = Judge(Burner, ImageBlocks, BlankAsNeeded, Audio);
    if (plan.CanBurn()) {
        if (Burner.OnStatus) Burner.OnStatus(plan.StatusLine());
        return plan;
    }
    Burner.UnlockMedium();
    Burner.LastOutcome.Step = plan.Verdict == TPlanVerdict::TooSmall ? TJobStep::Input : TJobStep::Medium;
    Burner.LastOutcome.Sector = -1;
    Burner.LastOutcome.Error = Err_None;
    if (Burner.OnStatus) Burner.OnStatus("Error : " + plan.Refusal);
    return plan;
}

}  // namespace

TDiscPlan PlanBurn(TCDBurner& Burner, std::int64_t ImageBlocks, bool BlankAsNeeded) {
    return Decide(Burner, ImageBlocks, BlankAsNeeded, false);
}

TDiscPlan JudgeBurn(TCDBurner& Burner, std::int64_t ImageBlocks, bool BlankAsNeeded) {
    return Judge(Burner, ImageBlocks, BlankAsNeeded, false);
}

TDiscPlan PlanAudioBurn(TCDBurner& Burner, bool BlankAsNeeded) { return Decide(Burner, -1, BlankAsNeeded, true); }

TBlankPlan PlanBlank(TCDBurner& Burner) {
    TBlankPlan blank;
    blank.Disc = ProbeDisc(Burner);
    const TDiscPlan& plan = blank.Disc;
    const std::string drive = DriveOf(Burner);
    const std::string medium = plan.MediumName();
    const kvcat::Medium* row = plan.Medium;
    auto refuse = [&](std::string message) {
        blank.Method = TBlankMethod::Refused;
        blank.Refusal = std::move(message);
    };
    if (!plan.ProfileKnown) {
        // A CD writer of old: what it says of the disc decides, as BLANK always did there.
        if (plan.State != TDiscState::Unknown && !plan.Erasable)
            refuse("The drive reports the disc in " + drive +
                   " as not erasable (it names no medium): it cannot be blanked.");
        else
            blank.Method = TBlankMethod::Blank;
    } else if (row == nullptr) {
        refuse("The disc in " + drive + " is a " + medium + ", which this program cannot blank.");
    } else {
        switch (row->blanking) {
            case kvcat::Blanking::Blank: blank.Method = TBlankMethod::Blank; break;
            case kvcat::Blanking::Overwrite:
                blank.Method = plan.State == TDiscState::Written ? TBlankMethod::Overwrite : TBlankMethod::AlreadyBlank;
                break;
            case kvcat::Blanking::None:
                refuse("The disc in " + drive + " is a " + medium + ", which " +
                       (row->Writable() ? "is written once" : "is read-only") + ": it cannot be blanked.");
                break;
        }
    }
    return blank;
}
