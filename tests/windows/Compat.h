// Included ahead of every test source in the Windows build: the few POSIX calls the tests use
// that MinGW-w64 does not provide, with the same contracts.
#pragma once

#ifdef _WIN32
#include <direct.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

// The CRT's environment, which child processes inherit too.
inline int setenv(const char* name, const char* value, int overwrite) {
    if (overwrite == 0 && std::getenv(name) != nullptr) return 0;
    return ::_putenv_s(name, value) == 0 ? 0 : -1;
}
inline int unsetenv(const char* name) { return ::_putenv_s(name, "") == 0 ? 0 : -1; }

// Replaces the trailing XXXXXX of tmpl and creates that directory (mode bits do not apply).
inline char* mkdtemp(char* tmpl) {
    const std::size_t n = std::strlen(tmpl);
    if (n < 6 || std::strcmp(tmpl + n - 6, "XXXXXX") != 0) {
        errno = EINVAL;
        return nullptr;
    }
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (std::size_t i = n - 6; i < n; ++i) tmpl[i] = kChars[random() % (sizeof kChars - 1)];
        if (::_mkdir(tmpl) == 0) return tmpl;
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}
#endif
