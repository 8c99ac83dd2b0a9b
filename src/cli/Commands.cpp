#include "cli/Commands.h"

#include "platform/Posix.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "burner/BurnJob.h"
#include "burner/DriveAccess.h"
#include "burner/RescueImage.h"
#include "burner/WaveTracks.h"
#include "cli/JobWording.h"
#include "burner/JobScope.h"
#include "burner/WriteSpeed.h"
#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"
#include "cli/Session.h"
#include "cli/Trace.h"
#include "platform/VirtualDevice.h"
#include "vdrive/VirtualWriter.h"

namespace cli {

// Why a drive did not become ready: NOT READY is a missing or spinning-up disc; anything else
// (a drive or driver that refuses the question, a hardware error) is not about the disc.
std::string NotReadyText(TScsiError error) {
    const std::string result = ScsiErrorToText(error);
    return error == Err_SenseNotReady ? "the drive is not ready (no disc?): " + result
                                      : "the drive did not become ready: " + result;
}

std::string SearchedFolders(const std::string& program) {
    const std::vector<TImageFolder> folders = RescueImageFolders(program);
    std::string text;
    for (std::size_t i = 0; i < folders.size(); ++i)
        text += (i == 0 ? "" : i + 1 == folders.size() ? " or " : ", ") + folders[i].Folder;
    return text;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string current;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(current);
            current.clear();
            // "\r\n" and "\n\r" are one line break each.
            if (i + 1 < text.size() && (text[i + 1] == '\r' || text[i + 1] == '\n') && text[i + 1] != c) ++i;
        } else {
            current += c;
        }
    }
    if (!current.empty()) lines.push_back(current);
    return lines;
}

// Keeps the virtual writers attached for the run and detaches them (which flushes their
namespace {

// Keeps the virtual writers attached for the run and detaches them (which flushes their
// discs) after the writer list is gone.
class VirtualDrives {
public:
    ~VirtualDrives() {
        for (auto& writer : writers_) vdrive::DetachVirtualDrive(writer);
    }
    // Only a command that changes a disc holds it alone; a query reads it beside other queries
    // (and in a folder it cannot write).
    int Attach(const std::vector<std::string>& driveSpecs, Command command, Output& out) {
        const bool changesDisc = command == Command::Burn || command == Command::BurnAudio || command == Command::Blank;
        for (const auto& driveSpec : driveSpecs) {
            vdrive::VirtualDriveOptions parsed;
            std::string error;
            if (!vdrive::ParseVirtualDriveSpec(driveSpec, parsed, error)) {
                out.Error("--virtual-drive " + driveSpec + ": " + error);
                return kExitUsage;
            }
            parsed.access = changesDisc ? vdrive::DiscAccess::Exclusive : vdrive::DiscAccess::Shared;
            vdrive::AttachFailure failure = vdrive::AttachFailure::None;
            auto writer = vdrive::AttachVirtualDrive(parsed, error, failure);
            if (!writer) {
                out.Error("cannot attach the virtual drive " + driveSpec + ": " + error);
                return failure == vdrive::AttachFailure::InUse ? kExitInUse : kExitNoWriter;
            }
            writers_.push_back(std::move(writer));
        }
        return kExitOk;
    }

    // The drive letter of the first virtual writer given; 0 when none.
    char FirstLetter() const { return writers_.empty() ? 0 : writers_.front()->DriveLetter(); }

private:
    std::vector<std::shared_ptr<vdrive::VirtualWriter>> writers_;
};
}  // namespace

int Session::Run() {
    // Where the rescue image is needs no drive.
    if (options_.command == Command::Image) return Image();
    VirtualDrives virtualDrives;
    if (int rc = virtualDrives.Attach(options_.virtualDrives, options_.command, out_); rc != kExitOk) {
        Finish(rc);
        return rc;
    }
    if (int rc = AttachSticks(); rc != kExitOk) {
        Finish(rc);
        return rc;
    }
    if (options_.SeveralTargets()) return RunTargets();
    // A stick: refused before anything else when it is no stick or in use, then the image
    // check, the question, and the burn; the optical drives are not scanned.
    if (BurnsStick()) {
        if (const int rc = ResolveStick(); rc != kExitOk) return rc;
        if (const int rc = CheckImage(); rc != kExitOk) return rc;
        if (const int rc = ConfirmAndUnmount(); rc != kExitOk) return rc;
        return BurnStick();
    }
    // A damaged or wrong image is refused before the drives are even scanned.
    if (options_.command == Command::Burn) {
        if (const int rc = CheckImage(); rc != kExitOk) return rc;
    }
    // The list releases every tray when it goes, before the virtual drives are detached.
    list_ = std::make_unique<TCDBurnerList>();
    struct ListReset {
        std::unique_ptr<TCDBurnerList>& list;
        ~ListReset() { list.reset(); }
    } listReset{list_};

    if (options_.command == Command::Drives) return Drives();

    int rc = kExitOk;
    firstVirtualLetter_ = virtualDrives.FirstLetter();
    TCDBurner* burner = SelectWriter(rc);
    if (!burner) {
        Finish(rc);
        return rc;
    }
    // Nothing reaches a drive another program holds (a mounted disc, another burner), not even
    // a query: its commands would come between that program's. The hold keeps the device open,
    // exclusively, for the whole command. The burns say so themselves, with their own fields.
    TDeviceHold hold(burner->Info);
    if (hold.InUse() && options_.command != Command::Burn && options_.command != Command::BurnAudio) {
        out_.Error(hold.InUseText());
        Finish(kExitInUse);
        return kExitInUse;
    }
    switch (options_.command) {
    case Command::Burn: return Burn(*burner);
    case Command::BurnAudio: return BurnAudio(*burner);
    case Command::Blank: return Blank(*burner);
    case Command::Capabilities: return Capabilities(*burner);
    case Command::Speeds: return Speeds(*burner);
    case Command::WriterParams: return WriterParams(*burner);
    case Command::Toc: return Toc(*burner);
    case Command::DvdStructure: return DvdStructure(*burner);
    case Command::Buffer: return Buffer(*burner);
    case Command::WriteMode: return WriteMode(*burner);
    case Command::Eject: return Eject(*burner);
    case Command::DiscInfo: return DiscInfo(*burner);
    case Command::Load: return Load(*burner);
    case Command::Drives:
    case Command::Image:
    case Command::None: break;
    }
    return kExitUsage;
}

TCDBurner* Session::SelectWriter(int& exitCode) {
    exitCode = kExitNoWriter;
    if (list_->Count() == 0) {
        out_.Hint("No CD burners found on this computer.");
        return nullptr;
    }
    int position = -1;
    const DriveSelector& d = options_.drive;
    switch (d.kind) {
    case DriveSelector::Kind::Default:
        // A virtual drive asked for on the command line is the one meant, not a real drive
        // that happens to come first.
        position = 0;
        for (int i = 0; firstVirtualLetter_ != 0 && i < list_->Count(); ++i)
            if (list_->Burners(i)->Info.DriveLetter == firstVirtualLetter_) position = i;
        break;
    case DriveSelector::Kind::Index:
    case DriveSelector::Kind::Letter:
        position = WriterPosition(d);
        break;
    case DriveSelector::Kind::Path:
        // Only a burn takes a stick, and it never reaches the optical writers.
        out_.Error("--drive " + d.path + " names a stick: only burn writes to one");
        break;
    }
    if (position < 0 || !CheckAccess(position, exitCode)) return nullptr;
    exitCode = kExitOk;
    return list_->Burners(position);
}

int Session::WriterPosition(const DriveSelector& d) {
    int position = -1;
    if (d.kind == DriveSelector::Kind::Index) {
        if (d.index < list_->Count()) position = d.index;
        else out_.Error("there is no writer at index " + std::to_string(d.index) + " (see: keelvane-cli drives)");
        return position;
    }
    for (int i = 0; i < list_->Count(); ++i)
        if (list_->Burners(i)->Info.DriveLetter == d.letter) position = i;
    if (position < 0)
        out_.Error(std::string("there is no writer at drive ") + d.letter + ": (see: keelvane-cli drives)");
    return position;
}

bool Session::CheckAccess(int position, int& exitCode) {
    const TDriveAccessProblem problem = DriveAccessProblem(*list_, position, kProgramName);
    if (!problem.Exists()) return true;
    exitCode = kExitNoWriter;
    out_.Error(problem.Reason);
    if (problem.PermissionDenied) out_.Hint(problem.Advice);
    return false;
}

namespace {

// The phase of a job as scripts see it.
const char* PhaseName(TJobPhase phase) {
    switch (phase) {
    case TJobPhase::Setup: return "setup";
    case TJobPhase::Checksum: return "checksum";
    case TJobPhase::Check: return "check";
    case TJobPhase::Blank: return "blank";
    case TJobPhase::Format: return "format";
    case TJobPhase::Write: return "write";
    case TJobPhase::Close: return "close";
    case TJobPhase::Verify: return "verify";
    case TJobPhase::Eject: return "eject";
    }
    return "setup";
}

}  // namespace

// A drive cannot be stopped once it blanks: Ctrl-C stops the waiting only.
const char kBlankMessage[] =
    "\nInterrupted: stopping; the drive finishes a blank it has started by itself "
    "(press Ctrl-C again to quit at once)\n";

namespace {

int ExitCodeOf(const TBurnJobResult& result) {
    return result.Succeeded() ? kExitOk : ExitCodeOfFailure(result.Step, InterruptExitCode());
}

bool Stopped(const TBurnJobResult& result) { return !result.Succeeded() && result.Step == TJobStep::Interrupted; }

std::string TrayText(const TBurnJobResult& result) {
    return result.TrayUnlocked ? std::string("the tray is unlocked")
                               : "the tray could not be unlocked: " + ScsiErrorToText(result.UnlockError);
}

}  // namespace

std::string Session::ImagePath() const {
    return options_.image.empty() ? RescueImagePath(ProgramFolder()) : options_.image;
}

TBurnJobOptions Session::JobOptions() const {
    TBurnJobOptions o;
    o.Image = ImagePath();
    o.Force = options_.force;
    o.ExpectedSha256 = options_.sha256;
    o.Simulate = options_.simulate;
    o.SpeedGiven = options_.speedGiven;
    o.Speed = options_.speed;
    o.Verify = !options_.noVerify;
    o.Eject = !options_.noEject;
    o.KeepSessionOpen = options_.keepSessionOpen;
    o.BlankAsNeeded = options_.blankAsNeeded;
    o.FastBlank = options_.fastBlank;
    o.AllowNonHybrid = options_.allowNonHybrid;
    o.StopRequested = [] { return Interrupted(); };
    return o;
}

std::shared_ptr<TBurnJob> Session::MakeJob() {
    auto job = std::make_shared<TBurnJob>(JobOptions());
    job->OnStatus = [this](TJobPhase phase, const std::string& text) { ShowStatus(phase, text); };
    job->OnProgress = [this](const TJobProgress& p) { ShowProgress(p); };
    job->OnProgressEnd = [this] { out_.EndProgress(); };
    job->OnWait = [this](const TWaitInfo& wait) { ShowWait(wait); };
    return job;
}

void Session::ShowStatus(TJobPhase phase, const std::string& text) { out_.Status(PhaseName(phase), text); }

void Session::ShowProgress(const TJobProgress& p) {
    ProgressSample sample;
    sample.percent = p.Percent;
    sample.sector = p.Sector;
    sample.total = p.Sector >= 0 ? p.Total : 0;
    sample.driveBuffer = p.DriveBuffer;
    sample.fileBuffer = p.FileBuffer;
    sample.blocksPerSecond = p.BlocksPerSecond;
    sample.megabytes = stick_.has_value();
    out_.Progress(PhaseName(p.Phase), sample, Output::Now());
}

void Session::ShowWait(const TWaitInfo& wait) {
    out_.Wait(WaitPhaseName(wait.Phase), WaitPhaseLabel(wait.Phase), wait.Step,
              static_cast<double>(wait.Elapsed.count()) / 1000.0, Output::Now());
}

int Session::CheckImage() {
    job_ = MakeJob();
    // Ctrl-C and SIGTERM stop the reading of the checksum files and the hash.
    SetCancelTarget(&job_->CheckStop);
    const bool ok = job_->CheckImage();
    SetCancelTarget(nullptr);
    if (ok) return kExitOk;
    JsonObject fields;
    fields.Add("image", ImagePath());
    AddImageCheckFields(fields);
    if (job_->Result().End == TBurnJobEnd::CheckStopped) {
        out_.Error("interrupted while checking the image; nothing was written");
        Finish(InterruptExitCode(), fields);
        return InterruptExitCode();
    }
    const TImageCheck& check = *job_->ImageCheck();
    out_.Text(CreationError());
    out_.Error(check.Message);
    if (check.Verdict == TImageVerdict::NotIso) out_.Hint("Give --force to burn it as it is.");
    Finish(kExitImage, fields);
    return kExitImage;
}

void Session::AddImageCheckFields(JsonObject& fields) const {
    if (!job_ || !job_->ImageCheck()) return;
    const TImageCheck& c = *job_->ImageCheck();
    fields.Add("image_format", ImageFormatName(c.Inspection.Format)).Add("bootable", c.Inspection.Bootable);
    if (c.Published.Found) {
        fields.Add("checksum", c.ActualHex.empty() ? "unchecked" : c.ActualHex == c.Published.Hex ? "ok" : "mismatch")
            .Add("checksum_kind", DigestName(c.Published.Kind))
            .Add("checksum_source", c.Published.Source)
            .Add("checksum_expected", c.Published.Hex)
            .Add("checksum_actual", c.ActualHex);
    } else {
        fields.Add("checksum", "none");
    }
    // The checksum files present but not used, and why.
    std::string skipped = "[";
    for (const TSkippedSums& file : c.Published.Skipped)
        skipped += (skipped.size() > 1 ? "," : "") + JsonObject().Add("file", file.File).Add("reason", file.Reason).Str();
    fields.AddRaw("checksum_skipped", skipped + "]");
}

int Session::Blank(TCDBurner& burner) {
    job_ = MakeJob();
    SetCancelTarget(&burner.CancelRequested, kBlankMessage);
    job_->Blank(burner);
    SetCancelTarget(nullptr);
    return BlankEnded(burner);
}

int Session::BlankEnded(TCDBurner& burner) {
    out_.EndProgress();
    const TBurnJobResult& r = job_->Result();
    const bool ok = r.Succeeded();
    JsonObject fields;
    fields.Add("fast", options_.fastBlank);
    int rc = kExitOk;
    if (r.End == TBurnJobEnd::StoppedBeforeStart || r.End == TBurnJobEnd::NotReady) {
        fields.Add("result", ScsiErrorToText(r.ReadyError));
        if (r.End == TBurnJobEnd::StoppedBeforeStart) {
            out_.Error("interrupted before anything was blanked");
            rc = InterruptExitCode();
        } else if (r.NoDisc) {
            out_.Error(std::string("There is no disc in ") + burner.Info.DriveLetter + ": to blank.");
            rc = kExitDiscUnusable;
        } else {
            out_.Text(ScsiErrorToText(r.ReadyError));
            if (out_.json()) out_.Error("blank: " + NotReadyText(r.ReadyError));
            rc = kExitCommandFailed;
        }
        Finish(rc, fields);
        return rc;
    }
    const TDiscPlan& disc = r.Plan;
    fields.Add("disc", disc.MediumName()).Add("disc_state", DiscStateText(disc.State));
    if (r.End == TBurnJobEnd::BlankRefused) {
        out_.Error(r.BlankRefusal + " Nothing was blanked.");
        fields.Add("result", ScsiErrorToText(Err_None)).Add("refusal", r.BlankRefusal);
        rc = kExitDiscUnusable;
    } else if (r.BlankMethod == TBlankMethod::AlreadyBlank) {
        out_.Text(std::string("The disc in ") + burner.Info.DriveLetter + ": is already blank (" + disc.MediumName() +
                  ", " + DiscStateText(disc.State) + "); nothing was changed.");
        fields.Add("result", ScsiErrorToText(Err_None)).Add("method", "none");
    } else if (r.End == TBurnJobEnd::SpeedRefused) {
        out_.Error("the drive refused the write speed " +
                   (options_.speed ? std::to_string(options_.speed) + "x" : std::string("max")) + ": " +
                   ScsiErrorToText(r.SpeedError));
        fields.Add("result", ScsiErrorToText(r.LastError));
        rc = kExitCommandFailed;
    } else {
        const std::string result = ScsiErrorToText(r.LastError);
        fields.Add("method", r.BlankMethod == TBlankMethod::Overwrite ? "overwrite" : "blank").Add("result", result);
        if (ok) {
            out_.Text("Blanking Finished!");
        } else if (r.Step == TJobStep::InUse) {
            rc = kExitInUse;
        } else if (r.Step == TJobStep::Interrupted) {
            out_.Error("interrupted; the drive finishes a blank it has started by itself");
            rc = InterruptExitCode();
        } else {
            out_.Text(result);
            if (out_.json()) out_.Error("blank: " + result);
            // Scripts have always seen 1 for a blank the drive refused, whatever the disc.
            rc = kExitCommandFailed;
        }
    }
    Finish(rc, fields);
    return rc;
}

int Session::EndedBeforeWriting(const TBurnJobResult& r, JsonObject fields) {
    switch (r.End) {
    case TBurnJobEnd::InUse: out_.Error(r.InUseText); break;
    case TBurnJobEnd::NotReady:
        out_.Error(NotReadyText(r.ReadyError));
        fields.Add("last_error", ScsiErrorToText(r.ReadyError));
        break;
    case TBurnJobEnd::StoppedBeforeStart:
        out_.Error("interrupted before anything was written; " + TrayText(r));
        fields.Add("tray_unlocked", r.TrayUnlocked);
        break;
    case TBurnJobEnd::PlanRefused:
        out_.Error(r.Plan.Refusal);
        if (r.Plan.Verdict == TPlanVerdict::NeedsBlank) out_.Hint("Give --blank-as-needed to blank it and burn.");
        fields.Add("disc", r.Plan.MediumName())
            .Add("disc_state", DiscStateText(r.Plan.State))
            .Add("free_blocks", r.Plan.FreeBlocks)
            .Add("refusal", r.Plan.Refusal)
            .Add("tray_unlocked", true);
        break;
    case TBurnJobEnd::CannotSimulate:
        out_.Error("cannot simulate: " + r.Message + "; nothing was sent to write");
        fields.Add("simulated", true);
        break;
    case TBurnJobEnd::SpeedRefused:
        out_.Error("the drive refused the write speed " +
                   (options_.speed ? std::to_string(options_.speed) + "x" : std::string("max")) + ": " +
                   ScsiErrorToText(r.SpeedError));
        fields.Add("last_error", ScsiErrorToText(r.LastError));
        break;
    default: return kExitOk;
    }
    const int rc = ExitCodeOf(r);
    Finish(rc, fields);
    return rc;
}

int Session::Burn(TCDBurner& burner) {
    TBurnJob& job = *job_;
    job.OnReport = [this](const TBurnJobResult& r) { SayBurnResult(r); };
    SetCancelTarget(&burner.CancelRequested);
    job.Burn(burner);
    SetCancelTarget(nullptr);
    return BurnEnded();
}

int Session::BurnEnded() {
    const std::string image = ImagePath();
    TBurnJob& job = *job_;
    const TBurnJobResult& r = job.Result();
    // A missing image is refused before the drive is touched (the check could not open it).
    if (r.End == TBurnJobEnd::ImageMissing) {
        struct stat st;
        const bool found = ::stat(image.c_str(), &st) == 0;
        const int err = errno;
        const std::string why = !found ? std::strerror(err)
                                : !S_ISREG(st.st_mode) ? "not a regular file"
                                : ::access(image.c_str(), R_OK) != 0 ? std::strerror(errno)
                                                                     : r.ImageOpenError;
        out_.Text("Error creating CD.");
        out_.Error("cannot read the image " + image + ": " + why);
        if (options_.image.empty() && !FindRescueImage(ProgramFolder()).Found)
            out_.Hint("No rescue image found: put Keelvane.iso into " + SearchedFolders(ProgramFolder()) +
                      ", or name an image: keelvane-cli burn IMAGE");
        Finish(kExitImage, JsonObject().Add("image", image));
        return kExitImage;
    }
    // A burn refused on the way still reports what the image check found, as a finished one does.
    JsonObject imageFields;
    imageFields.Add("image", image);
    AddImageCheckFields(imageFields);
    if (const int rc = EndedBeforeWriting(r, imageFields); rc != kExitOk) return rc;

    const TPublishedDigest& published = job.Published();
    JsonObject fields;
    fields.Add("image", image)
        .Add("sectors", r.Sectors)
        .Add("sectors_sent", r.SectorsSent)
        .Add("last_error", ScsiErrorToText(r.LastError))
        .Add("verified", r.Verified)
        .Add("tray_unlocked", r.TrayUnlocked)
        .Add("ejected", r.Ejected)
        .Add("simulated", options_.simulate);
    if (r.Verified || !r.ReadBackSha256.empty()) fields.Add("read_back_sha256", r.ReadBackSha256);
    // What was handed to the drive, to hold against the published sum and the disc.
    if (!r.BurntSha256.empty()) fields.Add("burnt_sha256", r.BurntSha256);
    if (published.Found && !r.BurntPublishedHex.empty()) fields.Add("checksum_burnt", r.BurntPublishedHex);
    if (!r.PublishedComparison.empty()) fields.Add("checksum_disc", r.PublishedComparison);
    fields.Add("image_changed", r.ImageChanged);
    if (r.WriteSpeedKBs >= 0) fields.Add("write_speed_kbs", r.WriteSpeedKBs);
    if (r.LowestDriveBuffer >= 0) fields.Add("lowest_drive_buffer", r.LowestDriveBuffer);
    else fields.AddNull("lowest_drive_buffer");
    fields.Add("drive_buffer_emptied", r.DriveBufferEmptied);
    AddImageCheckFields(fields);
    if (r.FirstDifferentSector >= 0) fields.Add("first_different_sector", r.FirstDifferentSector);
    else fields.AddNull("first_different_sector");
    const int rc = ExitCodeOf(r);
    Finish(rc, fields);
    return rc;
}

void Session::SayBurnResult(const TBurnJobResult& r) {
    const int rc = ExitCodeOf(r);
    if (r.Raised) {
        out_.Text(CreationErrorText(r.Plan));
        out_.Error(r.Message);
    }
    if (r.VerifyRaised) out_.Error("cannot read the image again: " + r.Message);
    if (rc == kExitOk && options_.simulate) {
        out_.Text(kSimulationFinished);
    } else if (rc == kExitOk) {
        // The boot advice as the command line has always given it; the check's warning above
        // already said when an image does not boot.
        for (const auto& line : SplitLines(CreationCompleteText(r.Plan, true)))
            out_.Text(line);
    }
    SayBufferHealth(r);
    const std::string image = ImagePath();
    const TPublishedDigest& published = job_->Published();
    const std::string tray = TrayText(r);
    const bool stopped = Stopped(r);
    if (stopped && r.EndPhase == TJobPhase::Verify) {
        out_.Error("interrupted while reading the track back: the disc is complete but not verified; " + tray);
    } else if (stopped && r.EndPhase == TJobPhase::Close) {
        // A close sent with IMMED goes on in the drive: the disc may still end up closed.
        out_.Error("interrupted while the disc was being closed, after all " + std::to_string(r.Sectors) +
                   " sectors were sent; the drive finishes a close it has started by itself; " + tray);
    } else if (stopped) {
        out_.Error("interrupted after " + std::to_string(r.SectorsSent) + " of " + std::to_string(r.Sectors) +
                   " sectors; " + tray);
    } else if (!r.Written && !r.Raised && r.Outcome.Step == TJobStep::ImageChanged) {
        const std::string now = job_->ImageChangeText();
        out_.Error("the image changed while it was burnt: " +
                   (now.empty() ? std::string("the ") + DigestName(published.Kind) + " of the bytes burnt is " +
                                      r.BurntPublishedHex + ", the published one (" + published.Source + ") " +
                                      published.Hex
                                : "the image " + image + " is no longer as it was checked (" + now + ")") +
                   "; the disc holds the bytes read then and was not verified" +
                   (r.ReadBackSha256.empty() ? std::string() : " (read back, its SHA-256 is " + r.ReadBackSha256 + ")"));
    } else if (!r.Written && !r.Raised && rc != kExitOk) {
        out_.Error("the burn failed: Error : " + JobOutcomeText(r.Outcome));
    } else if (rc == kExitVerify && r.ChangedAtVerify) {
        out_.Error("the image " + image + " changed (size or modification time) since the burn started; "
                   "the disc holds what was read then and was not verified");
    } else if (rc == kExitVerify && r.FirstDifferentSector < 0 && !r.PublishedComparison.empty()) {
        out_.Error("the burnt track does not read back equal to the published image: " + r.PublishedComparison);
    } else if (rc == kExitVerify) {
        out_.Error("the burnt track does not read back equal to the image");
    }
    if (!r.TrayUnlocked && !stopped) out_.Error("the tray could not be unlocked: " + ScsiErrorToText(r.UnlockError));
}

// The drive buffer's health while the write fed it, as independent burners end with it.
void Session::SayBufferHealth(const TBurnJobResult& r) {
    if (r.LowestDriveBuffer >= 0) out_.Text("Lowest drive buffer fill: " + std::to_string(r.LowestDriveBuffer) + "%");
    if (r.DriveBufferEmptied > 0)
        out_.Text("The drive's buffer ran empty " + std::to_string(r.DriveBufferEmptied) +
                  (r.DriveBufferEmptied == 1 ? " time" : " times") + " while writing");
}

bool Session::LoadWaveTracks(TCDBurner& burner, std::string& refused) {
    for (const auto& file : options_.waveFiles) {
        TCDTrackItem* item = nullptr;
        try {
            item = &AddWaveFileTrack(burner.Tracks, file);
        } catch (const std::exception& e) {
            refused = file;
            out_.Error(std::string("cannot read the wave file ") + file + ": " + e.what());
            return false;
        }
        TCDTrack& track = *item->CDTrack();
        if (!track.IsValid() || track.AvailableDataSize() == 0) {
            refused = file;
            out_.Error(file + " is not a wave file with samples (" + item->DisplayName() + ")");
            return false;
        }
        if (IsCDAudioFormat(track)) continue;
        // The drive takes the bytes as they are: anything but CD audio plays as noise.
        if (!options_.force) {
            refused = file;
            out_.Error(file + " is " + track.FormatText() +
                       ", not CD audio (PCM 44.100 kHz, 16 Bit, Stereo): its samples would play as noise");
            out_.Hint("Convert it first, for example: sox '" + file +
                      "' -r 44100 -b 16 -c 2 converted.wav\nor give --force to burn its bytes as they are.");
            return false;
        }
        out_.Status("setup", "Warning : " + file + " is " + track.FormatText() + ", not CD audio; burnt as it is");
    }
    return true;
}

int Session::BurnAudio(TCDBurner& burner) {
    const std::int32_t count = static_cast<std::int32_t>(options_.waveFiles.size());
    std::string refused;
    if (!LoadWaveTracks(burner, refused)) {
        Finish(kExitImage, JsonObject().Add("file", refused));
        return kExitImage;
    }
    std::string tracks = "[";
    for (std::int32_t t = 0; t < count; ++t) {
        TCDTrack& track = *burner.Tracks.Items(t).CDTrack();
        if (t) tracks += ',';
        tracks += JsonObject()
                      .Add("file", options_.waveFiles[static_cast<std::size_t>(t)])
                      .Add("title", track.TrackTitle)
                      .Add("format", track.FormatText())
                      .Add("blocks", AudioBlocksOfTrack(track))
                      .Str();
    }
    tracks += "]";

    job_ = MakeJob();
    job_->OnReport = [this](const TBurnJobResult& r) { SayAudioResult(r); };
    SetCancelTarget(&burner.CancelRequested);
    job_->BurnAudio(burner, count);
    SetCancelTarget(nullptr);
    const TBurnJobResult& r = job_->Result();
    if (const int rc = EndedBeforeWriting(r, JsonObject().AddRaw("tracks", tracks)); rc != kExitOk) return rc;
    const int rc = ExitCodeOf(r);
    Finish(rc, JsonObject()
                   .AddRaw("tracks", tracks)
                   .Add("sectors", r.Sectors)
                   .Add("sectors_sent", r.SectorsSent)
                   .Add("last_error", ScsiErrorToText(r.LastError))
                   .Add("tray_unlocked", r.TrayUnlocked)
                   .Add("ejected", r.Ejected)
                   .Add("simulated", options_.simulate));
    return rc;
}

void Session::SayAudioResult(const TBurnJobResult& r) {
    const int rc = ExitCodeOf(r);
    if (r.Raised) out_.Error(r.Message);
    if (rc == kExitOk) out_.Text(options_.simulate ? kSimulationFinished : "Audio Tracks Finished!");
    if (Stopped(r)) {
        out_.Error("interrupted after " + std::to_string(r.SectorsSent) + " of " + std::to_string(r.Sectors) +
                   " blocks; " + TrayText(r));
    } else if (rc != kExitOk) {
        out_.Error("the audio burn failed: Error : " + JobOutcomeText(r.Outcome));
        if (!r.TrayUnlocked) out_.Error(TrayText(r));
    } else if (!r.TrayUnlocked) {
        out_.Error(TrayText(r));
    }
}


int ExitCodeOfFailure(TJobStep step, int interruptCode) {
    switch (step) {
    case TJobStep::None: return kExitWrite;   // a failed job that named no step
    case TJobStep::Interrupted: return interruptCode;
    case TJobStep::NotReady: return kExitCommandFailed;
    case TJobStep::Medium: return kExitDiscUnusable;
    case TJobStep::WriteParameters: return kExitWriteParameters;
    case TJobStep::Input: return kExitImage;
    case TJobStep::Write:
    case TJobStep::BufferStall: return kExitWrite;
    case TJobStep::SyncCache:
    case TJobStep::CloseTrack:
    case TJobStep::CloseSession: return kExitClosing;
    case TJobStep::Blank:
    case TJobStep::Format: return kExitCommandFailed;
    case TJobStep::Verify: return kExitVerify;
    case TJobStep::InUse: return kExitInUse;
    case TJobStep::ImageChanged: return kExitVerify;
    }
    return kExitWrite;
}

int Run(const Options& options, Output& output) {
    EnableScsiTrace(options.trace);
    Session session(options, output);
    const int rc = session.Run();
    EnableScsiTrace(false);
    return rc;
}

}  // namespace cli