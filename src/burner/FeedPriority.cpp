#include "burner/FeedPriority.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <sched.h>
#endif

TFeedPriority::TFeedPriority()
{
#ifdef _WIN32
    FPriority = ::GetThreadPriority(::GetCurrentThread());
    FRaised = FPriority != THREAD_PRIORITY_ERROR_RETURN &&
              ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) != 0;
#else
    sched_param old{};
    if (::pthread_getschedparam(::pthread_self(), &FPolicy, &old) != 0) return;
    FPriority = old.sched_priority;
    if (FPolicy == SCHED_FIFO || FPolicy == SCHED_RR) return;   // real-time already: left as it is
    // The lowest real-time priority is above every ordinary thread, and below anything the
    // system itself runs in real time.
    sched_param raised{};
    raised.sched_priority = ::sched_get_priority_min(SCHED_RR);
    FRaised = ::pthread_setschedparam(::pthread_self(), SCHED_RR, &raised) == 0;
#endif
}

TFeedPriority::~TFeedPriority()
{
    if (!FRaised) return;
#ifdef _WIN32
    ::SetThreadPriority(::GetCurrentThread(), FPriority);
#else
    sched_param old{};
    old.sched_priority = FPriority;
    ::pthread_setschedparam(::pthread_self(), FPolicy, &old);
#endif
}
