#include "burner/BurnJobSet.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The jobs' events wait here for Run's thread; the jobs never wait for it (but for a question).
// Run's thread takes them when it wakes each IdleInterval: a feed reports its drive's buffer
// about every millisecond, and waking a thread for each report would cost every job a switch of
// the processor per block. A question, and a job's end, wake it at once.
struct TBurnJobSet::Queue {
    std::mutex Mutex;
    std::condition_variable Posted;
    std::deque<std::function<void()>> Events;
    std::size_t Running = 0;
    bool Urgent = false;   // an event that must not wait for the interval is queued

    // A job reports its progress with every block; only the newest matters to a front end. A
    // report still waiting as its target's last event takes the newer one in its place, so that
    // a target's events keep their order and the queue holds a few per interval, not thousands.
    std::vector<std::shared_ptr<TJobProgress>> Waiting;   // per target: its last event, a report

    enum class Wake { AtNextIdle, Now };
    void Post(std::size_t Target, std::function<void()> Event, Wake When = Wake::AtNextIdle)
    {
        {
            std::lock_guard lock(Mutex);
            Events.push_back(std::move(Event));
            Waiting[Target].reset();   // a later report must come after this event
            Urgent = Urgent || When == Wake::Now;
        }
        if (When == Wake::Now) Posted.notify_one();
    }

    void PostProgress(std::size_t Target, const TJobProgress& Value,
                      const std::function<void(std::size_t, const TJobProgress&)>& Deliver)
    {
        std::lock_guard lock(Mutex);
        if (Waiting[Target]) {
            *Waiting[Target] = Value;
            return;
        }
        auto waiting = std::make_shared<TJobProgress>(Value);
        Waiting[Target] = waiting;
        Events.push_back([this, Target, waiting, &Deliver] {
            TJobProgress shown;
            {
                std::lock_guard taken(Mutex);
                shown = *waiting;
                if (Waiting[Target] == waiting) Waiting[Target].reset();
            }
            if (Deliver) Deliver(Target, shown);
        });
    }
};

TBurnJobSet::TBurnJobSet(TBurnJobOptions Options, std::vector<TBurnTarget> Targets, TBurnSetKind Kind)
    : FOptions(std::move(Options)), FTargets(std::move(Targets)), FKind(Kind), FQueue(std::make_unique<Queue>())
{
    FQueue->Waiting.resize(FTargets.size());
    for (std::size_t i = 0; i < FTargets.size(); ++i) {
        TBurnJobOptions options = FOptions;
        // Asked from the job's thread: a stop of the set, or of the front end (which must be
        // safe to ask from any thread).
        options.StopRequested = [this, asked = FOptions.StopRequested] {
            return StopFlag.load() || (asked && asked());
        };
        // A question is answered on Run's thread; the job waits for the answer.
        if (FOptions.ConfirmBlank)
            options.ConfirmBlank = [this, i](const TDiscPlan& Plan) {
                return AskOnRunThread(i, [this, Plan] { return FOptions.ConfirmBlank(Plan); });
            };
        FJobs.push_back(std::make_unique<TBurnJob>(std::move(options)));
    }
}

TBurnJobSet::~TBurnJobSet() = default;

bool TBurnJobSet::AskOnRunThread(std::size_t Target, std::function<bool()> Question)
{
    auto answer = std::make_shared<std::promise<bool>>();
    std::future<bool> answered = answer->get_future();
    FQueue->Post(
        Target, [this, Question = std::move(Question), answer] {
            // Nothing new is agreed to once the set is stopping.
            answer->set_value(!StopFlag.load() && Question());
        },
        Queue::Wake::Now);
    return answered.get();
}

std::atomic<bool>& TBurnJobSet::CheckStop() { return FJobs.front()->CheckStop; }

bool TBurnJobSet::CheckImage()
{
    if (FJobs.empty()) return false;
    TBurnJob& first = *FJobs.front();
    // The check runs on the caller's thread: its events go straight to the front end.
    first.OnStatus = [this](TJobPhase Phase, const std::string& Text) {
        if (OnStatus) OnStatus(0, Phase, Text);
    };
    first.OnProgress = [this](const TJobProgress& Progress) {
        if (OnProgress) OnProgress(0, Progress);
    };
    first.OnProgressEnd = [this] {
        if (OnProgressEnd) OnProgressEnd(0);
    };
    const bool ok = first.CheckImage();
    first.OnStatus = nullptr;
    first.OnProgress = nullptr;
    first.OnProgressEnd = nullptr;
    if (!ok) return false;
    for (std::size_t i = 1; i < FJobs.size(); ++i) FJobs[i]->ShareImageCheck(first);
    return true;
}

void TBurnJobSet::ShareImageCheck(const TBurnJob& Checked)
{
    for (auto& job : FJobs) job->ShareImageCheck(Checked);
}

void TBurnJobSet::Stop()
{
    StopFlag.store(true);
    for (std::size_t i = 0; i < FJobs.size(); ++i) {
        FJobs[i]->CheckStop.store(true);
        if (FTargets[i].Writer) FTargets[i].Writer->Cancel();
    }
}

void TBurnJobSet::RunTarget(std::size_t Index)
{
    TBurnJob& job = *FJobs[Index];
    Queue& queue = *FQueue;
    job.OnStatus = [this, Index, &queue](TJobPhase Phase, const std::string& Text) {
        queue.Post(Index, [this, Index, Phase, Text] {
            if (OnStatus) OnStatus(Index, Phase, Text);
        });
    };
    job.OnProgress = [this, Index, &queue](const TJobProgress& Progress) {
        queue.PostProgress(Index, Progress, OnProgress);
    };
    job.OnProgressEnd = [this, Index, &queue] {
        queue.Post(Index, [this, Index] {
            if (OnProgressEnd) OnProgressEnd(Index);
        });
    };
    job.OnWait = [this, Index, &queue](const TWaitInfo& Wait) {
        queue.Post(Index, [this, Index, Wait] {
            if (OnWait) OnWait(Index, Wait);
        });
    };
    job.OnPhase = [this, Index, &queue](TJobPhase Phase) {
        queue.Post(Index, [this, Index, Phase] {
            if (OnPhase) OnPhase(Index, Phase);
        });
    };
    job.OnReport = [this, Index, &queue](const TBurnJobResult& Result) {
        queue.Post(Index, [this, Index, Result] {
            if (OnReport) OnReport(Index, Result);
        });
    };
    if (OnConfirmBlank)
        job.FOptions.ConfirmBlank = [this, Index](const TDiscPlan& Plan) {
            return AskOnRunThread(Index, [this, Index, Plan] { return OnConfirmBlank(Index, Plan); });
        };
    const TBurnTarget& target = FTargets[Index];
    try {
        if (target.Stick) job.BurnStick(*target.Stick);
        else if (FKind == TBurnSetKind::Blank) job.Blank(*target.Writer);
        else job.Burn(*target.Writer);
    } catch (const std::exception& e) {
        // Nothing a job raises may end the other targets' jobs with the program.
        job.FResult.Raised = true;
        job.FResult.Message = e.what();
        job.Fail(TBurnJobEnd::Raised, TJobStep::None);
    }
    queue.Post(
        Index, [this, Index] {
            if (OnEnded) OnEnded(Index);
        },
        Queue::Wake::Now);
    {
        std::lock_guard lock(queue.Mutex);
        --queue.Running;
    }
    queue.Posted.notify_one();
}

bool TBurnJobSet::Run()
{
    Queue& queue = *FQueue;
    queue.Running = FJobs.size();
    std::vector<std::thread> threads;
    threads.reserve(FJobs.size());
    for (std::size_t i = 0; i < FJobs.size(); ++i) threads.emplace_back([this, i] { RunTarget(i); });

    bool stopped = false;
    for (;;) {
        std::deque<std::function<void()>> events;
        bool done = false;
        {
            std::unique_lock lock(queue.Mutex);
            // Woken early only for a question or a job's end; the rest waits for the interval.
            queue.Posted.wait_for(lock, std::chrono::milliseconds(IdleIntervalMs),
                                  [&] { return queue.Urgent || queue.Running == 0; });
            queue.Urgent = false;
            events.swap(queue.Events);
            done = queue.Running == 0;
        }
        for (auto& event : events) event();
        // A stop request reaches every job from here (a signal handler only sets the flag).
        if (!stopped && StopFlag.load()) {
            stopped = true;
            Stop();
        }
        if (OnIdle) OnIdle();
        if (done) {
            std::lock_guard lock(queue.Mutex);
            if (queue.Events.empty()) break;
        }
    }
    for (auto& thread : threads) thread.join();
    return FirstFailure() == FJobs.size();
}

std::size_t TBurnJobSet::FirstFailure() const
{
    for (std::size_t i = 0; i < FJobs.size(); ++i)
        if (!FJobs[i]->Result().Succeeded()) return i;
    return FJobs.size();
}
