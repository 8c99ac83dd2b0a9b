// keelvane-cli's commands in-process, where the platform layer can be pointed at a kernel
// device the user may not open.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "platform/VirtualDevice.h"

namespace fs = std::filesystem;

namespace cli {
namespace {

struct ChildResult {
    int exitCode = -1;
    std::string out, err;
};

std::string Drain(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return text;
}

// Runs `command` in a child process that cannot open `device` (it drops root first), with
// `device` standing in as the machine's only optical drive.
ChildResult RunWithoutAccess(const std::string& device, Command command) {
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(60);   // bounded whatever happens
        close(outPipe[0]);
        close(errPipe[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
        win::SetKernelDevicePathsForTesting({device});
        FILE* out = fdopen(outPipe[1], "w");
        FILE* err = fdopen(errPipe[1], "w");
        int rc;
        {
            Output output(Output::Mode::Plain, out, err);
            Options options;
            options.command = command;
            rc = Run(options, output);
        }
        std::fclose(out);
        std::fclose(err);
        _exit(rc);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    ChildResult result;
    result.out = Drain(outPipe[0]);
    result.err = Drain(errPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TEST(CliSession, ADriveWithoutPermissionIsNamedWithAdvice) {
    char pattern[] = "/tmp/kv-cli-perm.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    chmod(dir.c_str(), 0755);
    const std::string device = (dir / "sr0").string();
    const int fd = open(device.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    if (geteuid() != 0) chmod(device.c_str(), 0);

    const ChildResult toc = RunWithoutAccess(device, Command::Toc);
    EXPECT_EQ(toc.exitCode, kExitNoWriter) << toc.out << toc.err;
    EXPECT_NE(toc.err.find("cannot open " + device), std::string::npos) << toc.err;
    EXPECT_NE(toc.err.find("Permission denied"), std::string::npos) << toc.err;
    // The device belongs to no usable group: never advise joining root's group.
    EXPECT_NE(toc.err.find("\"cdrom\" group"), std::string::npos) << toc.err;
    EXPECT_EQ(toc.err.find("usermod -aG root"), std::string::npos) << toc.err;
    EXPECT_EQ(toc.out.find("No   Num"), std::string::npos) << "no report from a drive that was never opened";

    const ChildResult drives = RunWithoutAccess(device, Command::Drives);
    EXPECT_EQ(drives.exitCode, kExitOk) << drives.out << drives.err;
    EXPECT_NE(drives.out.find("D:\\  [ "), std::string::npos) << drives.out;
    EXPECT_NE(drives.out.find("device " + device), std::string::npos) << drives.out;
    EXPECT_NE(drives.out.find("cannot be opened: Permission denied"), std::string::npos) << drives.out;
    EXPECT_NE(drives.err.find("\"cdrom\" group"), std::string::npos) << drives.err;

    fs::remove_all(dir);
}

TEST(CliSession, PermissionAdviceNamesTheGroupToJoin) {
    const std::string advice = PermissionAdvice("/dev/sr0", "cdrom");
    EXPECT_NE(advice.find("/dev/sr0"), std::string::npos);
    EXPECT_NE(advice.find("sudo usermod -aG cdrom \"$USER\""), std::string::npos) << advice;
}

TEST(CliSession, RescueImageRule) {
    char pattern[] = "/tmp/kv-cli-img.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string folder = std::string(pattern) + "/";
    EXPECT_EQ(RescueImagePath(folder), folder + "KeelvaneDemo.iso") << "the demo name even when missing";
    std::fclose(std::fopen((folder + "Keelvane.iso").c_str(), "w"));
    EXPECT_EQ(RescueImagePath(folder), folder + "Keelvane.iso");
    std::fclose(std::fopen((folder + "KeelvaneDemo.iso").c_str(), "w"));
    EXPECT_EQ(RescueImagePath(folder), folder + "Keelvane.iso") << "the own image wins";
    fs::remove_all(pattern);
    EXPECT_EQ(ProgramFolder().back(), '/');
}

}  // namespace
}  // namespace cli
