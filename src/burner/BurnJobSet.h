// One image onto several targets at once (writers and sticks): the image is opened and checked
// once, then one burn job per target runs on a thread of its own, holding its own drive; every
// job reads the one checked descriptor. A failure ends its own target only; a stop ends all.
//
// The events of every job reach the front end on the thread that called Run, in the order each
// job sent them, tagged with the target's index: a front end's output and widgets are never
// touched from a job's thread, and a job never waits for a front end (only a question, such as
// whether to blank a disc, waits for its answer).
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "burner/BurnJob.h"
#include "stick/StickWriter.h"

// One target: a writer of the list, or a stick. Name is how the front ends call it ("D:",
// "/dev/sdb").
struct TBurnTarget {
    std::string Name;
    TCDBurner* Writer = nullptr;
    std::optional<TStickTarget> Stick;
};

// What a set does with each target.
enum class TBurnSetKind : std::uint8_t { Burn, Blank };

class TBurnJobSet {
public:
    TBurnJobSet(TBurnJobOptions Options, std::vector<TBurnTarget> Targets, TBurnSetKind Kind = TBurnSetKind::Burn);
    ~TBurnJobSet();
    TBurnJobSet(const TBurnJobSet&) = delete;
    TBurnJobSet& operator=(const TBurnJobSet&) = delete;

    // Events, each with the index of its target; delivered on the thread that runs Run (the
    // image check's on the thread that runs CheckImage, with index 0).
    std::function<void(std::size_t Target, TJobPhase Phase, const std::string& Text)> OnStatus;
    std::function<void(std::size_t Target, const TJobProgress& Progress)> OnProgress;
    std::function<void(std::size_t Target)> OnProgressEnd;
    std::function<void(std::size_t Target, const TWaitInfo& Wait)> OnWait;
    std::function<void(std::size_t Target, TJobPhase Phase)> OnPhase;
    // A target's result is complete but for the eject (after its tray was unlocked).
    std::function<void(std::size_t Target, const TBurnJobResult& Result)> OnReport;
    // A target's job has ended (Job(Target).Result() is complete).
    std::function<void(std::size_t Target)> OnEnded;
    // Asked on Run's thread when a target's disc must be blanked before the burn, with the
    // target's index, so that the question can name the drive; the job waits for the answer.
    // Takes the place of the options' ConfirmBlank when set before Run.
    std::function<bool(std::size_t Target, const TDiscPlan& Plan)> OnConfirmBlank;
    // Called on Run's thread at least every IdleInterval while the jobs run (a desktop keeps its
    // window alive here; a front end checks for its stop request).
    std::function<void()> OnIdle;
    static constexpr int IdleIntervalMs = 50;

    // Opens the image once and checks it (the first job's check; the others share its
    // descriptor and verdict). False when the set cannot go on: Job(0).Result() says why.
    bool CheckImage();
    std::atomic<bool>& CheckStop();
    // Or takes a check a front end made already with a job of its own.
    void ShareImageCheck(const TBurnJob& Checked);

    // Runs every target's job to its end, each on its own thread; returns when all have ended.
    // True when every one succeeded.
    bool Run();
    // Stops every job at its next safe point (safe from any thread, and from a signal handler's
    // target: StopFlag is polled on Run's thread).
    void Stop();
    std::atomic<bool> StopFlag{false};

    std::size_t Count() const { return FTargets.size(); }
    const TBurnTarget& Target(std::size_t Index) const { return FTargets[Index]; }
    TBurnJob& Job(std::size_t Index) { return *FJobs[Index]; }
    const TBurnJob& Job(std::size_t Index) const { return *FJobs[Index]; }
    // The index of the first target (in the given order) whose job failed; Count() when none.
    std::size_t FirstFailure() const;

private:
    struct Queue;
    void RunTarget(std::size_t Index);
    // Asks Question on Run's thread for a job's thread, and waits for its answer.
    bool AskOnRunThread(std::size_t Target, std::function<bool()> Question);

    TBurnJobOptions FOptions;
    std::vector<TBurnTarget> FTargets;
    TBurnSetKind FKind;
    std::vector<std::unique_ptr<TBurnJob>> FJobs;
    std::unique_ptr<Queue> FQueue;
};
