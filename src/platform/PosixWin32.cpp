// The POSIX file calls the Windows C runtime lacks.
#include "platform/Posix.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <bcrypt.h>

namespace {

HANDLE OsHandle(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

int ErrnoOf(DWORD code) {
    switch (code) {
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_LOCK_VIOLATION:
    case ERROR_SHARING_VIOLATION: return EWOULDBLOCK;
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL: return ENOSPC;
    case ERROR_INVALID_HANDLE: return EBADF;
    default: return EIO;
    }
}

OVERLAPPED At(off_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xffffffffu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    return at;
}

// The handle of fd for a transfer at offset, or INVALID_HANDLE_VALUE with errno set.
HANDLE PositionedHandle(int fd, off_t offset) {
    if (offset < 0) {
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE h = OsHandle(fd);
    if (h == INVALID_HANDLE_VALUE) errno = EBADF;
    return h;
}

// One DWORD-sized piece at most per call, as the POSIX calls may move less than asked.
DWORD Piece(std::size_t count) { return static_cast<DWORD>(std::min<std::size_t>(count, 0x40000000u)); }

}  // namespace

ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset) {
    const HANDLE h = PositionedHandle(fd, offset);
    if (h == INVALID_HANDLE_VALUE) return -1;
    OVERLAPPED at = At(offset);
    DWORD got = 0;
    if (!::ReadFile(h, buffer, Piece(count), &got, &at)) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_HANDLE_EOF) return 0;
        errno = ErrnoOf(code);
        return -1;
    }
    return static_cast<ssize_t>(got);
}

ssize_t pwrite(int fd, const void* buffer, std::size_t count, off_t offset) {
    const HANDLE h = PositionedHandle(fd, offset);
    if (h == INVALID_HANDLE_VALUE) return -1;
    OVERLAPPED at = At(offset);
    DWORD put = 0;
    if (!::WriteFile(h, buffer, Piece(count), &put, &at)) {
        errno = ErrnoOf(::GetLastError());
        return -1;
    }
    return static_cast<ssize_t>(put);
}

int fsync(int fd) {
    const HANDLE h = OsHandle(fd);
    if (h == INVALID_HANDLE_VALUE || !::FlushFileBuffers(h)) {
        errno = h == INVALID_HANDLE_VALUE ? EBADF : ErrnoOf(::GetLastError());
        return -1;
    }
    return 0;
}

int fdatasync(int fd) { return fsync(fd); }

int flock(int fd, int operation) {
    const HANDLE h = OsHandle(fd);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    // Windows locks are mandatory for the bytes they cover: the lock takes the last byte a file
    // offset can name, which no read or write ever reaches.
    OVERLAPPED at{};
    at.Offset = 0xfffffffeu;
    at.OffsetHigh = 0x7fffffffu;
    BOOL ok;
    if ((operation & LOCK_UN) != 0) {
        ok = ::UnlockFileEx(h, 0, 1, 0, &at);
    } else {
        DWORD flags = (operation & LOCK_EX) != 0 ? LOCKFILE_EXCLUSIVE_LOCK : 0;
        if ((operation & LOCK_NB) != 0) flags |= LOCKFILE_FAIL_IMMEDIATELY;
        ok = ::LockFileEx(h, flags, 0, 1, 0, &at);
    }
    if (!ok) {
        errno = ErrnoOf(::GetLastError());
        return -1;
    }
    return 0;
}

char* realpath(const char* path, char* resolved) {
    struct stat st {};
    if (path == nullptr || ::stat(path, &st) != 0) {
        if (path == nullptr) errno = EINVAL;
        return nullptr;
    }
    char* full = ::_fullpath(resolved, path, PATH_MAX);
    if (full == nullptr) errno = ENAMETOOLONG;
    return full;
}

ssize_t getrandom(void* buffer, std::size_t count, unsigned /*flags*/) {
    const ULONG bytes = static_cast<ULONG>(std::min<std::size_t>(count, 0x7fffffffu));
    if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), bytes,
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        errno = EIO;
        return -1;
    }
    return static_cast<ssize_t>(bytes);
}

namespace kvsys {

int RenameReplacing(const char* from, const char* to) {
    if (!::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        errno = ErrnoOf(::GetLastError());
        return -1;
    }
    return 0;
}

}  // namespace kvsys

namespace kvsys {

std::string ProgramPath() {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        if (path.size() >= 32768) return {};
        path.resize(path.size() * 2);
    }
}

bool IsLiveTerminal(int fd) {
    if (!::_isatty(fd)) return false;
    const HANDLE h = OsHandle(fd);
    DWORD mode = 0;
    if (!::GetConsoleMode(h, &mode)) return false;
    // The console understands the escape sequences of the live line only when asked to.
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           ::SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int StatLikeFstat(const char* path, struct stat* st) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const int result = ::fstat(fd, st);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return result;
}

std::string TimeLayout() {
    // The user's time separator (LOCALE_STIME), in the layout the separator is read from.
    char separator[8] = {};
    if (::GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIME, separator, sizeof separator) <= 1) return "%H:%M:%S";
    return std::string("%H") + separator + "%M" + separator + "%S";
}

int TerminalColumns(int fd) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!::GetConsoleScreenBufferInfo(OsHandle(fd), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

}  // namespace kvsys
