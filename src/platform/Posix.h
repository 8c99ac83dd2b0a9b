// The POSIX file calls the engine uses: on Linux the system's own; on Windows the C runtime's,
// plus the few it lacks, made from Win32 calls in PosixWin32.cpp. Included instead of
// <fcntl.h>, <sys/stat.h>, <unistd.h> and friends by the code outside the platform layer.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#ifdef _WIN32
#include <io.h>

// Not inherited by child programs (the O_CLOEXEC meaning), and binary: without it the C runtime
// would translate line ends in every byte written or read.
#define O_CLOEXEC (_O_NOINHERIT | _O_BINARY)
// Opens that must not wait on a FIFO: Windows files have none.
#define O_NONBLOCK 0
// Windows has no symbolic links among the files the programs write; the virtual disc checks
// its file names instead.
#define O_NOFOLLOW 0
#define O_DIRECTORY 0
#define S_ISLNK(mode) 0

#define LOCK_SH 1
#define LOCK_EX 2
#define LOCK_NB 4
#define LOCK_UN 8

ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset);
ssize_t pwrite(int fd, const void* buffer, std::size_t count, off_t offset);
int fsync(int fd);
int fdatasync(int fd);
// An advisory whole-file lock (LOCK_SH, LOCK_EX, LOCK_NB, LOCK_UN) that never hinders reads or writes:
// the byte locked lies far past any end of file.
int flock(int fd, int operation);
// The absolute path of an existing file (no links to follow on Windows).
char* realpath(const char* path, char* resolved);
// Random bytes from the system (BCryptGenRandom).
ssize_t getrandom(void* buffer, std::size_t count, unsigned flags);
inline int lstat(const char* path, struct stat* st) { return ::stat(path, st); }
#else
#include <langinfo.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#endif

namespace kvsys {

// Replaces `to` by `from` in one step, as rename(2) does (Windows' rename refuses an existing
// target; MoveFileEx replaces it).
#ifdef _WIN32
int RenameReplacing(const char* from, const char* to);
#else
inline int RenameReplacing(const char* from, const char* to) { return std::rename(from, to); }
#endif

// The file's identity as stat reports it (device, inode). Windows' C runtime gives no inode
// and fills the device differently for stat and fstat, so there the identity is left to the
// size and modification time alone.
inline std::uint64_t StatDevice([[maybe_unused]] const struct stat& st) {
#ifdef _WIN32
    return 0;
#else
    return static_cast<std::uint64_t>(st.st_dev);
#endif
}
inline std::uint64_t StatInode([[maybe_unused]] const struct stat& st) {
#ifdef _WIN32
    return 0;
#else
    return static_cast<std::uint64_t>(st.st_ino);
#endif
}

// stat of a file by name, with the times fstat of an open descriptor reports: the Windows C
// runtime reads them differently for the two (by name through the local time), so identities
// taken with fstat compare only with these.
#ifdef _WIN32
int StatLikeFstat(const char* path, struct stat* st);
#else
inline int StatLikeFstat(const char* path, struct stat* st) { return ::stat(path, st); }
#endif

// The last modification time: seconds and the nanoseconds within the second (0 where the
// system keeps whole seconds only).
inline std::int64_t ModifiedSeconds(const struct stat& st) {
#ifdef _WIN32
    return static_cast<std::int64_t>(st.st_mtime);
#else
    return static_cast<std::int64_t>(st.st_mtim.tv_sec);
#endif
}
inline std::int64_t ModifiedNanoseconds([[maybe_unused]] const struct stat& st) {
#ifdef _WIN32
    return 0;
#else
    return static_cast<std::int64_t>(st.st_mtim.tv_nsec);
#endif
}

// Makes reads on fd wait for data again after an O_NONBLOCK open (which only kept the open from
// waiting on a FIFO). Windows files open blocking anyway.
inline void ClearNonBlocking([[maybe_unused]] int fd) {
#ifndef _WIN32
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
#endif
}

// The locale's time layout in strftime terms ("%H:%M:%S").
#ifdef _WIN32
std::string TimeLayout();
#else
inline std::string TimeLayout() {
    const char* layout = ::nl_langinfo(T_FMT);
    return layout != nullptr ? layout : "";
}
#endif

// The directory separators of path names: '/' everywhere, '\' too on Windows.
#ifdef _WIN32
constexpr const char* kPathSeparators = "/\\";
#else
constexpr const char* kPathSeparators = "/";
#endif

// The running program's own file, or empty.
#ifdef _WIN32
std::string ProgramPath();
#else
inline std::string ProgramPath() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}
#endif

// Whether fd is a terminal that understands the cursor controls of a live progress line
// ("\r" and erase to end of line). On Windows this switches the console to them.
// TerminalColumns: its width, 0 when unknown.
#ifdef _WIN32
bool IsLiveTerminal(int fd);
int TerminalColumns(int fd);
#else
inline bool IsLiveTerminal(int fd) { return ::isatty(fd) != 0; }
inline int TerminalColumns(int fd) {
    winsize size{};
    return ::ioctl(fd, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}
#endif

}  // namespace kvsys
