#include <cstring>
#include <thread>

#include "PlatformFixture.h"

namespace {

using System = PlatformTest;

TEST_F(System, VersionIsNt51UnlessOverridden) {
    win::OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(win::GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, win::VER_PLATFORM_WIN32_NT);
    EXPECT_EQ(info.dwMajorVersion, 5u);
    EXPECT_EQ(info.dwMinorVersion, 1u);

    win::SetVersionForTesting(win::VER_PLATFORM_WIN32_WINDOWS, 4, 10);
    ASSERT_TRUE(win::GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, win::VER_PLATFORM_WIN32_WINDOWS);
    EXPECT_EQ(info.dwMajorVersion, 4u);
    EXPECT_EQ(info.dwMinorVersion, 10u);
    win::ResetVersionForTesting();
    ASSERT_TRUE(win::GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, win::VER_PLATFORM_WIN32_NT);
}

TEST_F(System, VersionRecordSizeIsChecked) {
    win::OSVERSIONINFOA info{};
    for (win::DWORD size : {0u, 147u, 149u, 1000u}) {
        info.dwOSVersionInfoSize = size;
        EXPECT_FALSE(win::GetVersionExA(&info)) << size;
    }
    EXPECT_FALSE(win::GetVersionExA(nullptr));
}

TEST_F(System, LibrariesLoadByBareNameAndResolveEntries) {
    win::HMODULE libm = win::LoadLibraryA("libm.so.6");
    ASSERT_NE(libm, nullptr);
    auto cosine = reinterpret_cast<double (*)(double)>(win::GetProcAddress(libm, "cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
    EXPECT_EQ(win::GetProcAddress(libm, "NoSuchEntryPoint"), nullptr);
    EXPECT_EQ(win::GetLastError(), win::ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(win::FreeLibrary(libm));

    EXPECT_EQ(win::LoadLibraryA("kv-no-such-library.dll"), nullptr);
    EXPECT_EQ(win::GetLastError(), win::ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(win::LoadLibraryA(nullptr), nullptr);
    EXPECT_EQ(win::GetProcAddress(nullptr, "cos"), nullptr);
    EXPECT_FALSE(win::FreeLibrary(nullptr));
}

TEST_F(System, LastErrorIsPerThread) {
    win::SetLastError(win::ERROR_ACCESS_DENIED);
    std::thread other([] {
        EXPECT_EQ(win::GetLastError(), win::ERROR_SUCCESS);
        win::SetLastError(win::ERROR_GEN_FAILURE);
    });
    other.join();
    EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
}

}  // namespace
