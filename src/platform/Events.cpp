// Windows events over a mutex and a condition variable, held in the handle table.
#include <cerrno>
#include <chrono>

#include "platform/HandleTable.h"
#include "platform/WinApi.h"

namespace win {

namespace {

std::shared_ptr<detail::Event> EventOf(HANDLE handle) {
    detail::HandleObject object;
    if (detail::LookupHandle(handle, object))
        if (auto* event = std::get_if<std::shared_ptr<detail::Event>>(&object)) return *event;
    detail::SetLastFailure(ERROR_INVALID_HANDLE, EBADF);
    return nullptr;
}

}  // namespace

HANDLE CreateEventA(void* /*lpEventAttributes*/, BOOL bManualReset, BOOL bInitialState,
                    const char* lpName) {
    if (lpName != nullptr) {   // named (cross-process) events are not offered
        detail::SetLastFailure(ERROR_NOT_SUPPORTED, ENOTSUP);
        return nullptr;
    }
    auto event = std::make_shared<detail::Event>();
    event->manualReset = bManualReset != FALSE;
    event->state = bInitialState != FALSE;
    return detail::InsertHandle(std::move(event));
}

BOOL SetEvent(HANDLE hEvent) {
    const auto event = EventOf(hEvent);
    if (!event) return FALSE;
    {
        std::lock_guard lock(event->mutex);
        event->state = true;
    }
    if (event->manualReset)
        event->signalled.notify_all();
    else
        event->signalled.notify_one();
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    const auto event = EventOf(hEvent);
    if (!event) return FALSE;
    std::lock_guard lock(event->mutex);
    event->state = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    const auto event = EventOf(hHandle);
    if (!event) return WAIT_FAILED;
    std::unique_lock lock(event->mutex);
    const auto isSet = [&] { return event->state; };
    if (dwMilliseconds == INFINITE) {
        event->signalled.wait(lock, isSet);
    } else if (!event->signalled.wait_for(lock, std::chrono::milliseconds(dwMilliseconds), isSet)) {
        return WAIT_TIMEOUT;
    }
    if (!event->manualReset) event->state = false;
    return WAIT_OBJECT_0;
}

}  // namespace win
