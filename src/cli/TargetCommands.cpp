// One image onto several writers and sticks at once (burn), or several discs blanked at once: the
// image is checked once, every target gets a session of its own on an output of its own (its
// name before its lines, "target" in its JSON events), the engine's job set runs one job per
// target, and the end lists every target. The exit code is 0 when all succeeded, else that of
// the first target (in the order given) that failed.
#include <memory>
#include <optional>
#include <vector>

#include "burner/BurnJobSet.h"
#include "burner/DriveAccess.h"
#include "burner/StopRequest.h"
#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"
#include "cli/Session.h"
#include "mmc/SCSIUnit.h"

namespace cli {

struct Session::Target {
    std::string name;
    std::unique_ptr<Output> out;
    std::unique_ptr<Session> session;
    TCDBurner* writer = nullptr;
    int exitCode = kExitOk;
};

bool Session::ResolveTargets(std::vector<Target>& targets, int& exitCode) {
    const auto add = [&](const std::string& name) -> Target& {
        Target t;
        t.name = name;
        t.out = std::make_unique<Output>(out_.mode(), out_.OutStream(), out_.ErrStream());
        t.out->SetColumns(out_.Columns());
        t.session = std::make_unique<Session>(options_, *t.out);
        t.session->virtualSticks_ = virtualSticks_;
        targets.push_back(std::move(t));
        return targets.back();
    };
    const auto chosen = [&](TCDBurner* writer) {
        for (const Target& t : targets)
            if (t.writer == writer) return true;
        return false;
    };
    const auto addWriter = [&](int position) {
        TCDBurner* writer = list_->Burners(position);
        if (chosen(writer)) return;
        add(std::string(1, writer->Info.DriveLetter) + ":").writer = writer;
    };
    const auto addStick = [&](const std::string& path) {
        Target& t = add(path);
        if (const int rc = t.session->ResolveStick(path); rc != kExitOk) {
            exitCode = rc;
            return false;
        }
        return true;
    };

    for (const DriveSelector& d : options_.drives) {
        if (d.kind == DriveSelector::Kind::Path) {
            if (!addStick(d.path)) return false;
            continue;
        }
        const int position = WriterPosition(d);
        if (position < 0) {
            exitCode = kExitNoWriter;
            return false;
        }
        if (!CheckAccess(position, exitCode)) return false;
        addWriter(position);
    }
    if (!options_.allDrives) return true;

    // Every writer whose disc can take the job; the others are named with the reason.
    const bool burn = options_.command == Command::Burn;
    const std::int64_t imageBlocks =
        job_ && job_->ImageCheck() ? (job_->ImageCheck()->Inspection.Size + 2047) / 2048 : -1;
    int writers = 0;
    for (int i = 0; list_ && i < list_->Count(); ++i) {
        TCDBurner* writer = list_->Burners(i);
        if (chosen(writer)) continue;
        ++writers;
        const std::string name = std::string(1, writer->Info.DriveLetter) + ":";
        std::string skipped;
        const TDriveAccessProblem problem = DriveAccessProblem(*list_, i, kProgramName);
        if (problem.Exists()) {
            skipped = problem.Reason;
        } else {
            TDeviceHold hold(writer->Info);
            if (hold.InUse()) {
                skipped = hold.InUseText();
            } else if (ScsiTestUnitReady(writer->Info, writer->CommandSettings) != Err_None) {
                skipped = "no disc, or the drive is not ready";
            } else if (burn) {
                // The burn's own verdict: a probe alone judges nothing, and would take a pressed
                // or closed disc.
                const TDiscPlan plan = JudgeBurn(*writer, imageBlocks, options_.blankAsNeeded);
                if (!plan.CanBurn()) skipped = plan.Refusal;
            } else {
                const TBlankPlan plan = PlanBlank(*writer);
                if (plan.Method == TBlankMethod::Refused) skipped = plan.Refusal;
                else if (plan.Method == TBlankMethod::AlreadyBlank) skipped = "the disc is already blank";
            }
        }
        if (skipped.empty()) addWriter(i);
        else out_.Text(name + " skipped: " + skipped);
    }
    if (burn)
        for (const TStickTarget& stick : virtualSticks_) {
            bool named = false;
            for (const Target& t : targets) named = named || t.name == stick.DevicePath;
            if (!named && !addStick(stick.DevicePath)) return false;
        }
    if (targets.empty()) {
        out_.Error(writers == 0 ? std::string("No CD burners found on this computer.")
                   : burn       ? "no writer has a disc that can take the image; nothing was written"
                                : "no writer has a disc that can be blanked; nothing was blanked");
        exitCode = writers == 0 ? kExitNoWriter : kExitDiscUnusable;
        return false;
    }
    return true;
}

int Session::RunTargets() {
    const bool burn = options_.command == Command::Burn;
    // A damaged or wrong image is refused before the drives are even scanned, once for all.
    if (burn) {
        if (const int rc = CheckImage(); rc != kExitOk) return rc;
    }
    bool writersNamed = options_.allDrives;
    for (const DriveSelector& d : options_.drives) writersNamed = writersNamed || d.kind != DriveSelector::Kind::Path;
    if (writersNamed) list_ = std::make_unique<TCDBurnerList>();
    struct ListReset {
        std::unique_ptr<TCDBurnerList>& list;
        ~ListReset() { list.reset(); }
    } listReset{list_};

    std::vector<Target> targets;
    int rc = kExitOk;
    if (!ResolveTargets(targets, rc)) {
        Finish(rc);
        return rc;
    }
    // Each stick is erased only when the user agreed (or gave --yes), before anything is written.
    for (Target& t : targets)
        if (t.session->stick_) {
            if (const int asked = t.session->ConfirmAndUnmount(); asked != kExitOk) {
                Finish(asked);
                return asked;
            }
        }

    std::optional<TargetBoard> board;
    if (out_.mode() == Output::Mode::Terminal) board.emplace(out_.OutStream(), targets.size(), out_.Columns());
    std::vector<TBurnTarget> setTargets;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        targets[i].out->SetTarget(targets[i].name, board ? &*board : nullptr, i);
        TBurnTarget target;
        target.Name = targets[i].name;
        target.Writer = targets[i].writer;
        target.Stick = targets[i].session->stick_;
        setTargets.push_back(std::move(target));
    }
    out_.Text(std::string(burn ? "Burning onto " : "Blanking ") + std::to_string(targets.size()) + " targets at once");

    TBurnJobSet set(JobOptions(), std::move(setTargets), burn ? TBurnSetKind::Burn : TBurnSetKind::Blank);
    if (burn) set.ShareImageCheck(*job_);
    for (std::size_t i = 0; i < targets.size(); ++i)
        targets[i].session->job_ = std::shared_ptr<TBurnJob>(std::shared_ptr<TBurnJob>(), &set.Job(i));
    set.OnStatus = [&](std::size_t i, TJobPhase phase, const std::string& text) {
        targets[i].session->ShowStatus(phase, text);
    };
    set.OnProgress = [&](std::size_t i, const TJobProgress& p) { targets[i].session->ShowProgress(p); };
    set.OnProgressEnd = [&](std::size_t i) { targets[i].out->EndProgress(); };
    set.OnWait = [&](std::size_t i, const TWaitInfo& wait) { targets[i].session->ShowWait(wait); };
    set.OnReport = [&](std::size_t i, const TBurnJobResult& r) {
        if (burn && targets[i].writer) targets[i].session->SayBurnResult(r);
    };
    set.OnEnded = [&](std::size_t i) {
        Session& s = *targets[i].session;
        targets[i].exitCode = !burn ? s.BlankEnded(*targets[i].writer) : targets[i].writer ? s.BurnEnded() : s.StickEnded();
    };
    // Ctrl-C and SIGTERM stop every job; the set passes the request on from its own thread.
    SetCancelTarget(&set.StopFlag, burn ? nullptr : kBlankMessage);
    set.Run();
    SetCancelTarget(nullptr);

    // The end: every target with its result, the exit code of the first that failed.
    int exitCode = kExitOk;
    std::string summary = "[";
    out_.Text("Results:");
    for (const Target& t : targets) {
        const TBurnJobResult& r = t.session->job_->Result();
        if (exitCode == kExitOk) exitCode = t.exitCode;
        std::string line = "  " + t.name + " ";
        if (t.exitCode == kExitOk) {
            line += !burn ? "blanked" : options_.simulate ? "simulated" : r.Verified ? "done, read back equal to the image" : "done";
            if (r.LowestDriveBuffer >= 0) line += "; lowest drive buffer fill " + std::to_string(r.LowestDriveBuffer) + "%";
        } else {
            line += "failed (exit code " + std::to_string(t.exitCode) + ")";
            if (!t.out->FirstError().empty()) line += ": " + t.out->FirstError();
        }
        out_.Text(line);
        if (summary.size() > 1) summary += ',';
        summary += JsonObject().Add("target", t.name).Add("exit_code", t.exitCode).Add("ok", t.exitCode == kExitOk).Str();
    }
    Finish(exitCode, JsonObject().AddRaw("targets", summary + "]"));
    return exitCode;
}

}  // namespace cli
