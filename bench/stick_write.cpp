// kv_stick_bench [--drop-caches] IMAGE DEVICE: writes IMAGE onto DEVICE with the stick writer,
// reads it back and compares, and prints one line of figures for bench/run.sh:
//   bytes=N direct=0|1 open_s=S write_s=S write_cpu_s=S verify_s=S verify_cpu_s=S hwm_kib=K
// The command line refuses loop devices (they are never sticks), so the writer is driven here
// as the stick job drives it, without the job's image check and events around it.
// kv_stick_bench --hash IMAGE: hash_s=S, the SHA-256 of the image alone, in the writer's pieces.
// --drop-caches (root): between the write and the verify the page cache is dropped and the
// image read into it again, as the script does before its peer's compare, so that both read
// the device's data from where it is kept, and the image from the cache.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "burner/CDBufferedStream.h"
#include "stick/StickWriter.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point From)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - From).count();
}

double CpuSeconds()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return s(usage.ru_utime) + s(usage.ru_stime);
}

long PeakResidentKib()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

bool DropCaches(const TImageFile& Image)
{
    ::sync();
    const int fd = ::open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
    const bool dropped = fd >= 0 && ::write(fd, "3", 1) == 1;
    if (fd >= 0) ::close(fd);
    static char buffer[1 << 16];
    for (std::int64_t at = 0; at < Image.Size();) {
        const std::int64_t got = Image.ReadAt(buffer, sizeof buffer, at);
        if (got <= 0) return false;
        at += got;
    }
    return dropped;
}

}  // namespace

int HashOnly(const char* Path)
{
    const TImageFile image(Path);
    std::vector<std::uint8_t> piece(static_cast<std::size_t>(TStickWriter::kPieceBytes));
    const auto t = std::chrono::steady_clock::now();
    TDigest sha256(TDigestKind::Sha256);
    for (std::int64_t at = 0; at < image.Size();) {
        const std::int64_t got = image.ReadAt(piece.data(), piece.size(), at);
        if (got <= 0) {
            std::fprintf(stderr, "cannot read %s\n", Path);
            return 1;
        }
        sha256.Update(piece.data(), static_cast<std::size_t>(got));
        at += got;
    }
    sha256.FinalHex();
    std::printf("hash_s=%.4f\n", Seconds(t));
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--hash") == 0) {
        try {
            return HashOnly(argv[2]);
        } catch (const std::system_error& e) {
            std::fprintf(stderr, "%s\n", e.what());
            return 1;
        }
    }
    const bool drop = argc == 4 && std::strcmp(argv[1], "--drop-caches") == 0;
    if (argc != 3 + drop) {
        std::fprintf(stderr, "usage: %s [--drop-caches] IMAGE DEVICE | --hash IMAGE\n", argv[0]);
        return 2;
    }
    try {
        const TImageFile image(argv[1 + drop]);
        TStickTarget target;
        target.DevicePath = argv[2 + drop];
        TStickWriter writer(target);
        // As the job writes by default: the read-back checks the bytes, so the write hashes none.
        writer.HashWrites = false;

        auto t = std::chrono::steady_clock::now();
        if (!writer.Open()) {
            std::fprintf(stderr, "open: %s\n", writer.Error.c_str());
            return 1;
        }
        const double open = Seconds(t);

        double cpu = CpuSeconds();
        t = std::chrono::steady_clock::now();
        if (!writer.Write(image)) {
            std::fprintf(stderr, "write: %s\n", writer.Error.c_str());
            return 1;
        }
        const double write = Seconds(t);
        const double writeCpu = CpuSeconds() - cpu;
        if (!writer.Warning.empty()) std::fprintf(stderr, "write: %s\n", writer.Warning.c_str());
        if (drop && !DropCaches(image)) {
            std::fprintf(stderr, "drop caches: %s\n", std::strerror(errno));
            return 1;
        }

        cpu = CpuSeconds();
        t = std::chrono::steady_clock::now();
        if (!writer.Verify(image)) {
            std::fprintf(stderr, "verify: %s\n", writer.Error.c_str());
            return 1;
        }
        const double verify = Seconds(t);
        const double verifyCpu = CpuSeconds() - cpu;
        // The read-back compared every byte with the image; its sum is there for the job.
        if (writer.ReadBackSha256.empty()) {
            std::fprintf(stderr, "verify: no sum of the read-back\n");
            return 1;
        }
        std::printf("bytes=%lld direct=%d open_s=%.4f write_s=%.4f write_cpu_s=%.4f verify_s=%.4f verify_cpu_s=%.4f "
                    "hwm_kib=%ld\n",
                    static_cast<long long>(image.Size()), writer.DirectIo() ? 1 : 0, open, write, writeCpu, verify,
                    verifyCpu, PeakResidentKib());
        return 0;
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
