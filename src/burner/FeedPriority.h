// While a write keeps a drive's buffer full, the thread that feeds it runs with real-time
// (round-robin) scheduling, as cdrecord raises its writer: a busy machine (a build, a virus scan)
// must not make the drive wait for data, and a feeder that sleeps between commands costs the
// others nothing. Without the privilege (Linux: root or CAP_SYS_NICE) nothing changes.
#pragma once

class TFeedPriority {
public:
    // Raises the calling thread; the destructor, on the same thread, gives back what it had.
    TFeedPriority();
    ~TFeedPriority();
    TFeedPriority(const TFeedPriority&) = delete;
    TFeedPriority& operator=(const TFeedPriority&) = delete;

    bool Raised() const { return FRaised; }

private:
    bool FRaised = false;
    int FPolicy = 0;
    int FPriority = 0;
};
