// Burning onto a removable drive: the stick the user named (a virtual stick's file, or a disk
// the kernel lists as removable or on USB or a card reader, never the system's), the question
// before it is erased, its own mounted partitions, and the job.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#ifdef __linux__
#include <sys/mount.h>
#include <unistd.h>
#endif

#include "burner/StopRequest.h"
#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"
#include "cli/Session.h"

namespace cli {

int ExitCodeOfFailure(TJobStep step, int interruptCode);

namespace {

TStickDiscoveryOptions DiscoveryOptions(const Options& options) {
    TStickDiscoveryOptions d;
    d.AllowLarge = options.allowLarge;
    return d;
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ea, eb;
    const auto ca = std::filesystem::weakly_canonical(a, ea);
    const auto cb = std::filesystem::weakly_canonical(b, eb);
    return !ea && !eb && ca == cb;
}

// Every mount of the stick: "/dev/sdb1 on /media/u/DATA".
std::vector<std::pair<std::string, std::string>> MountsOf(const TBlockDisk& disk) {
    std::vector<std::pair<std::string, std::string>> mounts;
    for (const auto& point : disk.MountPoints) mounts.emplace_back(disk.DevicePath, point);
    for (const auto& part : disk.Partitions)
        for (const auto& point : part.MountPoints) mounts.emplace_back(part.DevicePath, point);
    return mounts;
}

bool AskOnTerminal(const std::string& question) {
#ifdef __linux__
    if (!::isatty(STDIN_FILENO)) return false;
    std::fprintf(stderr, "%s [y/N] ", question.c_str());
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
#else
    (void)question;
    return false;
#endif
}

bool HaveTerminal() {
#ifdef __linux__
    return ::isatty(STDIN_FILENO) != 0;
#else
    return false;
#endif
}

}  // namespace

int Session::AttachSticks() {
    for (const auto& given : options_.virtualSticks) {
        TVirtualStick stick;
        std::string error;
        if (!ParseVirtualStick(given, stick, error)) {
            out_.Error("--virtual-stick " + given + ": " + error);
            return kExitUsage;
        }
        TStickTarget target;
        if (!AttachVirtualStick(stick, target, error)) {
            out_.Error("cannot attach the virtual stick " + given + ": " + error);
            return kExitNoWriter;
        }
        virtualSticks_.push_back(target);
    }
    return kExitOk;
}

bool Session::BurnsStick() const {
    if (options_.command != Command::Burn) return false;
    if (options_.drive.kind == DriveSelector::Kind::Path) return true;
    // With no --drive, the first virtual target: a writer first, as the help says.
    return options_.drive.kind == DriveSelector::Kind::Default && options_.virtualDrives.empty() &&
           !virtualSticks_.empty();
}

std::string Session::CreationError() const {
    return stick_ ? "Error creating the " + StickKind(*stick_) + "." : std::string("Error creating CD.");
}

int Session::ResolveStick() {
    return ResolveStick(options_.drive.kind == DriveSelector::Kind::Path ? options_.drive.path
                                                                          : virtualSticks_.front().DevicePath);
}

int Session::ResolveStick(const std::string& path) {
    for (const auto& stick : virtualSticks_)
        if (SameFile(stick.DevicePath, path)) {
            stick_ = stick;
            return kExitOk;
        }
    // Whatever was typed, only a disk the discovery offers is taken.
    const TBlockDisk disk = StickForPath(path, DiscoveryOptions(options_));
    if (!disk.Offered) {
        const std::string note = StickSupportNote();
        out_.Error("cannot burn onto " + path + ": " + (note.empty() ? disk.Refusal : note));
        if (disk.Refusal.find("larger than") != std::string::npos)
            out_.Hint("Give --allow-large if it really is the stick to erase.");
        Finish(kExitNoWriter, JsonObject().Add("device", path).Add("refusal", note.empty() ? disk.Refusal : note));
        return kExitNoWriter;
    }
    stickDisk_ = disk;
    stick_ = StickTargetOf(disk);
    // Its own mounts are unmounted only with --unmount, and only after the user agreed.
    const auto mounts = MountsOf(disk);
    if (!mounts.empty() && !options_.unmount) {
        std::string list;
        for (const auto& [device, point] : mounts) list += (list.empty() ? "" : ", ") + device + " on " + point;
        out_.Error(disk.DevicePath + " has mounted partitions (" + list + "); nothing was written");
        out_.Hint("Unmount them, or give --unmount to have them unmounted before the burn.");
        Finish(kExitInUse, JsonObject().Add("device", disk.DevicePath));
        return kExitInUse;
    }
    return kExitOk;
}

std::string Session::ListSticks() {
    std::string array = "[";
    const auto add = [&](const TStickTarget& t, bool isVirtual) {
        out_.Text(t.DevicePath + "  " + t.Description);
        out_.Text(std::string("    ") + (isVirtual ? "virtual stick (a file)" : StickKind(t)) +
                  ": burn onto it with --drive " + t.DevicePath);
        if (array.size() > 1) array += ',';
        array += JsonObject()
                     .Add("device", t.DevicePath)
                     .Add("description", t.Description)
                     .Add("size_bytes", t.SizeBytes)
                     .Add("transport", t.Transport)
                     .Add("virtual", isVirtual)
                     .Str();
    };
    for (const auto& stick : virtualSticks_) add(stick, true);
    for (const TBlockDisk& disk : OfferedSticks(DiscoveryOptions(options_))) add(StickTargetOf(disk), false);
    return array + "]";
}

int Session::ConfirmAndUnmount() {
    const std::string what = "Everything on " + stick_->Description + " will be erased.";
    if (options_.yes) {
        out_.Text(what);
    } else if (!HaveTerminal() || out_.json()) {
        out_.Error(what + " Nothing was written: there is no terminal to ask.");
        out_.Hint("Give --yes to erase it without asking.");
        Finish(kExitUsage, JsonObject().Add("device", stick_->DevicePath));
        return kExitUsage;
    } else if (!AskOnTerminal(what + " Go on?")) {
        out_.Error("not confirmed; nothing was written");
        Finish(kExitUsage, JsonObject().Add("device", stick_->DevicePath));
        return kExitUsage;
    }
    for (const auto& [device, point] : MountsOf(stickDisk_)) {
#ifdef __linux__
        if (::umount2(point.c_str(), 0) != 0) {
            out_.Error("cannot unmount " + device + " from " + point + ": " + std::strerror(errno) +
                       "; nothing was written");
            Finish(kExitInUse, JsonObject().Add("device", stick_->DevicePath));
            return kExitInUse;
        }
        out_.Text("Unmounted " + device + " from " + point);
#else
        (void)device;
        (void)point;
#endif
    }
    return kExitOk;
}

int Session::BurnStick() {
    TBurnJob& job = *job_;
    // Ctrl-C stops the job between two pieces; the stick is then incomplete.
    SetCancelTarget(&job.CheckStop);
    job.BurnStick(*stick_);
    SetCancelTarget(nullptr);
    return StickEnded();
}

int Session::StickEnded() {
    TBurnJob& job = *job_;
    out_.EndProgress();
    const TBurnJobResult& r = job.Result();
    const bool ok = r.Succeeded();
    const std::string kind = StickKind(*stick_);
    JsonObject fields;
    fields.Add("image", ImagePath())
        .Add("device", stick_->DevicePath)
        .Add("target", "stick")
        .Add("sectors", r.Sectors)
        .Add("sectors_sent", r.SectorsSent)
        .Add("verified", r.Verified);
    if (r.Verified || !r.ReadBackSha256.empty()) fields.Add("read_back_sha256", r.ReadBackSha256);
    if (!r.PublishedComparison.empty()) fields.Add("checksum_stick", r.PublishedComparison);
    if (!r.Warning.empty()) fields.Add("warning", r.Warning);
    AddImageCheckFields(fields);
    if (r.FirstDifferentSector >= 0) fields.Add("first_different_sector", r.FirstDifferentSector);
    int rc = kExitOk;
    if (ok) {
        const bool bootable = job.ImageCheck() && job.ImageCheck()->Inspection.Bootable;
        for (const auto& line : SplitLines(StickCreationCompleteText(*stick_, bootable))) out_.Text(line);
        if (r.Verified) out_.Text("The " + kind + " was read back: it equals the image.");
    } else {
        switch (r.End) {
        case TBurnJobEnd::NotHybrid:
            rc = kExitImage;
            out_.Text(CreationError());
            out_.Error(r.Message);
            out_.Hint("Give --allow-non-hybrid to write it all the same.");
            break;
        case TBurnJobEnd::TooSmall:
            rc = kExitImage;
            out_.Text(CreationError());
            out_.Error(r.Message);
            break;
        case TBurnJobEnd::CannotOpen:
            rc = kExitNoWriter;
            out_.Error(r.Message);
            break;
        case TBurnJobEnd::InUse:
            rc = kExitInUse;
            out_.Error(r.Message);
            break;
        case TBurnJobEnd::CannotSimulate:
            rc = kExitDiscUnusable;
            out_.Error(r.Message);
            break;
        case TBurnJobEnd::StoppedBeforeStart:
            rc = InterruptExitCode();
            out_.Error("interrupted before anything was written");
            break;
        default:
            rc = r.End == TBurnJobEnd::Raised ? kExitImage : ExitCodeOfFailure(r.Step, InterruptExitCode());
            out_.Text(CreationError());
            if (r.Step == TJobStep::Interrupted && r.EndPhase == TJobPhase::Verify)
                out_.Error("interrupted while reading the " + kind + " back: it is complete but not verified");
            else if (r.Step == TJobStep::Interrupted)
                out_.Error("interrupted after " + std::to_string(r.SectorsSent) + " of " + std::to_string(r.Sectors) +
                           " sectors: the " + kind + " is incomplete and will not start a computer");
            else if (r.Step == TJobStep::Verify && r.FirstDifferentSector >= 0)
                out_.Error("the " + kind + " does not read back equal to the image: sector " +
                           std::to_string(r.FirstDifferentSector) + " differs");
            else if (!r.Message.empty())
                out_.Error(r.Message);
            break;
        }
    }
    Finish(rc, fields);
    return rc;
}

}  // namespace cli
