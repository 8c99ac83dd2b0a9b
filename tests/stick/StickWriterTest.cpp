// Writing images onto sticks: the hybrid check over images xorriso makes, the virtual stick's
// option and file, byte-exact writes and read-backs on the file systems a virtual stick lives on,
// the job's stick burn (refusals before anything is written, a stop, the verify), and, as root,
// a real block device through a loop device.
#include "stick/StickWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "burner/BurnJob.h"
#include "burner/CDBufferedStream.h"
#include "burner/TempDir.h"
#include "platform/Posix.h"

#ifdef __linux__
#include <grp.h>
#include <sys/mount.h>
#include <sys/wait.h>
#endif

namespace fs = std::filesystem;

namespace {

std::string Shell(const std::string& Command, int& Status)
{
    std::string out;
    FILE* pipe = ::popen((Command + " 2>&1").c_str(), "r");
    if (!pipe) {
        Status = -1;
        return out;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    Status = ::pclose(pipe);
    return out;
}

bool Have(const std::string& Tool)
{
    int status = 0;
    Shell("command -v " + Tool, status);
    return status == 0;
}

std::vector<char> ReadBytes(const std::string& Path, std::int64_t Count = -1)
{
    std::ifstream in(Path, std::ios::binary);
    if (Count < 0) {
        in.seekg(0, std::ios::end);
        Count = in.tellg();
        in.seekg(0);
    }
    std::vector<char> bytes(static_cast<std::size_t>(std::max<std::int64_t>(Count, 0)));
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

bool AllZero(const std::vector<char>& Bytes)
{
    for (char c : Bytes)
        if (c != 0) return false;
    return true;
}

void PutBytes(const std::string& Path, std::int64_t Offset, const std::string& Bytes)
{
    std::fstream f(Path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(Offset);
    f.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
}

// The images of the tests, made once: xorriso's plain and hybrid ISOs (the hybrid one larger than
// two write pieces), a GPT one, and the demo image the build installs.
class StickImages : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!Have("xorriso") || !fs::exists("/usr/lib/ISOLINUX/isohdpfx.bin")) return;
        dir_ = new TempDir();
        const TempDir& d = *dir_;
        fs::create_directories(d / "tree/isolinux");
        fs::copy_file("/usr/lib/ISOLINUX/isolinux.bin", d / "tree/isolinux/isolinux.bin");
        WritePatternFile(d / "tree/DATA.BIN", 9 * 1024 * 1024 + 4321);
        std::ofstream(d / "efi.img", std::ios::binary) << std::string(65536, '\0');
        const std::string tree = " '" + (d / "tree") + "'";
        const std::string boot = " -b isolinux/isolinux.bin -c isolinux/boot.cat -no-emul-boot -boot-load-size 4 "
                                 "-boot-info-table";
        const std::pair<const char*, std::string> images[] = {
            {"plain.iso", boot},
            {"hybrid.iso", boot + " -isohybrid-mbr /usr/lib/ISOLINUX/isohdpfx.bin -partition_offset 16"},
            {"gpt.iso", " -append_partition 2 0xef '" + (d / "efi.img") + "' -appended_part_as_gpt"},
        };
        for (const auto& [name, args] : images) {
            int status = 0;
            const std::string out = Shell("xorriso -as mkisofs -quiet -o '" + (d / name) + "'" + args + tree, status);
            if (status != 0) {
                error_ = out;
                return;
            }
        }
#ifdef KV_DEMO_SCRIPT
        int status = 0;
        const std::string out = Shell(std::string(KV_DEMO_SCRIPT) + " '" + (d / "demo.iso") + "'", status);
        if (status != 0) error_ = out;
#endif
        ready_ = error_.empty();
    }
    static void TearDownTestSuite()
    {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override
    {
        if (!error_.empty()) FAIL() << error_;
        if (!ready_) GTEST_SKIP() << "xorriso and ISOLINUX's isohdpfx.bin are needed";
    }
    static std::string Image(const std::string& Name) { return *dir_ / Name; }

    static inline TempDir* dir_ = nullptr;
    static inline bool ready_ = false;
    static inline std::string error_;
};

TEST_F(StickImages, HybridCheckTellsTheImagesThatBootFromAStick)
{
    TempDir own;
    // A boot sector with its signature but no partition entry is no partition table.
    std::string bootSector(4096, '\0');
    bootSector[510] = '\x55';
    bootSector[511] = '\xAA';
    std::ofstream(own / "vbr.img", std::ios::binary) << bootSector;
    std::string entryWithoutLength = bootSector;
    entryWithoutLength[446 + 4] = '\x83';
    std::ofstream(own / "nolength.img", std::ios::binary) << entryWithoutLength;
    std::ofstream(own / "short.img", std::ios::binary) << std::string(100, '\x55');
    const struct {
        std::string path;
        TPartitionTable table;
    } rows[] = {
        {Image("plain.iso"), TPartitionTable::None},   {Image("hybrid.iso"), TPartitionTable::Mbr},
        {Image("gpt.iso"), TPartitionTable::Gpt},      {own / "vbr.img", TPartitionTable::None},
        {own / "nolength.img", TPartitionTable::None}, {own / "short.img", TPartitionTable::None},
#ifdef KV_DEMO_SCRIPT
        {Image("demo.iso"), TPartitionTable::Mbr},
#endif
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        const THybridCheck check = CheckHybrid(row.path);
        EXPECT_TRUE(check.Readable) << check.Error;
        EXPECT_EQ(check.Table, row.table);
        EXPECT_EQ(check.Refusal, row.table == TPartitionTable::None ? kNotHybridText : "");
    }
    EXPECT_FALSE(CheckHybrid(own / "missing.iso").Readable);
#ifdef KV_DEMO_SCRIPT
    // The demo image stays a bootable CD as well.
    EXPECT_TRUE(InspectImage(Image("demo.iso")).Bootable);
#endif
}

TEST(VirtualStick, SpecGivesPathAndSize)
{
    const struct {
        const char* given;
        bool ok;
        const char* path;
        std::int64_t size;
    } rows[] = {
        {"/tmp/s.img", true, "/tmp/s.img", std::int64_t(1) << 30},
        {"s.img,size=64M", true, "s.img", 64 << 20},
        {"s.img,size=4096", true, "s.img", 4096},
        {"s.img,size=2g", true, "s.img", std::int64_t(2) << 30},
        {"s.img,size=512k", true, "s.img", 512 << 10},
        {"", false, "", 0},
        {",size=1M", false, "", 0},
        {"s.img,size=", false, "", 0},
        {"s.img,size=0", false, "", 0},
        {"s.img,size=12X", false, "", 0},
        {"s.img,size=M", false, "", 0},
        {"s.img,size=1000", false, "", 0},   // not whole sectors
        {"s.img,size=99999999999G", false, "", 0},
        {"s.img,colour=red", false, "", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.given);
        TVirtualStick stick;
        std::string error;
        ASSERT_EQ(ParseVirtualStick(row.given, stick, error), row.ok);
        EXPECT_EQ(error.empty(), row.ok) << error;
        if (!row.ok) continue;
        EXPECT_EQ(stick.Path, row.path);
        EXPECT_EQ(stick.SizeBytes, row.size);
    }
}

#ifdef __linux__

TEST(VirtualStick, AttachCreatesASparseFileOrKeepsAnExistingOne)
{
    TempDir dir;
    TStickTarget target;
    std::string error;
    ASSERT_TRUE(AttachVirtualStick({dir / "new.img", std::int64_t(1) << 30}, target, error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat((dir / "new.img").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, std::int64_t(1) << 30);
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the new stick takes room";
    EXPECT_TRUE(target.IsFile && target.Removable);
    EXPECT_EQ(target.Vendor + "|" + target.Model + "|" + target.Transport, "KeelVane|Virtual Stick|usb");
    EXPECT_EQ(target.Description, "KeelVane Virtual Stick (1.0 GiB)");

    WritePatternFile(dir / "old.img", 3 << 20);
    ASSERT_TRUE(AttachVirtualStick({dir / "old.img", 64 << 20}, target, error)) << error;
    EXPECT_EQ(target.SizeBytes, 3 << 20);
    const auto head = PatternBytes(0, 4096);
    EXPECT_EQ(ReadBytes(dir / "old.img", 4096), std::vector<char>(head.begin(), head.end())) << "the stick was changed";

    EXPECT_FALSE(AttachVirtualStick({dir.path().string(), 1 << 20}, target, error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
}

// Whether the file system of Folder takes direct transfers.
bool TakesDirectIo(const std::string& Folder)
{
    const std::string probe = Folder + "/probe";
    const int fd = ::open(probe.c_str(), O_RDWR | O_CREAT | O_DIRECT, 0600);
    if (fd >= 0) ::close(fd);
    ::unlink(probe.c_str());
    return fd >= 0;
}

// A private folder on a file system: a real one, tmpfs, and ramfs (which takes no direct
// transfers at all; mounted only as root).
struct FolderOn {
    explicit FolderOn(const std::string& Kind)
    {
        std::string base = Kind == "tmpfs" ? "/dev/shm" : fs::temp_directory_path().string();
        std::string tmpl = base + "/kv-stick-XXXXXX";
        if (Kind == "tmpfs" && !fs::is_directory("/dev/shm")) return;
        if (!::mkdtemp(tmpl.data())) return;
        path = tmpl;
        if (Kind == "ramfs") mounted = ::geteuid() == 0 && ::mount("none", path.c_str(), "ramfs", 0, nullptr) == 0;
        if (Kind == "ramfs" && !mounted) {
            fs::remove(path);
            path.clear();
        }
    }
    ~FolderOn()
    {
        if (path.empty()) return;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(path, ec)) fs::remove(e.path(), ec);
        if (mounted) ::umount(path.c_str());
        fs::remove(path, ec);
    }
    std::string path;
    bool mounted = false;
};

TEST(StickWriter, WritesAndReadsBackByteExactOnEveryFileSystem)
{
    // Two whole pieces and a tail that ends inside a logical block.
    const std::int64_t imageBytes = 2 * TStickWriter::kPieceBytes + 5000;
    for (const std::string kind : {"disk", "tmpfs", "ramfs"}) {
        SCOPED_TRACE(kind);
        FolderOn folder(kind);
        if (folder.path.empty()) continue;
        const std::string image = folder.path + "/image.bin", stickFile = folder.path + "/stick.img";
        WritePatternFile(image, static_cast<std::uint64_t>(imageBytes));
        const bool direct = TakesDirectIo(folder.path);
        if (kind == "ramfs") {
            EXPECT_FALSE(direct);
        }
        TStickTarget target;
        std::string error;
        ASSERT_TRUE(AttachVirtualStick({stickFile, 16 << 20}, target, error)) << error;
        const TImageFile imageFile(image);
        TStickWriter writer(target);
        std::vector<std::int64_t> done;
        writer.OnProgress = [&](std::int64_t Done, std::int64_t Total) {
            EXPECT_EQ(Total, imageBytes);
            done.push_back(Done);
            return true;
        };
        ASSERT_TRUE(writer.Open()) << writer.Error;
        EXPECT_EQ(writer.DirectIo(), direct);
        ASSERT_TRUE(writer.Write(imageFile)) << writer.Error;
        EXPECT_EQ(done, (std::vector<std::int64_t>{TStickWriter::kPieceBytes, 2 * TStickWriter::kPieceBytes, imageBytes}));
        EXPECT_EQ(writer.BytesWritten, imageBytes);
        EXPECT_TRUE(writer.Warning.empty()) << writer.Warning;
        ASSERT_TRUE(writer.Verify(imageFile)) << writer.Error;
        std::string hashError;
        const std::string sum = DigestFile(image, TDigestKind::Sha256, nullptr, hashError);
        EXPECT_EQ(writer.ReadBackSha256, sum);
        EXPECT_EQ(writer.WrittenSha256, sum);
        const std::vector<char> stick = ReadBytes(stickFile);
        ASSERT_EQ(stick.size(), std::size_t(16) << 20);
        EXPECT_TRUE(std::vector<char>(stick.begin(), stick.begin() + imageBytes) == ReadBytes(image));
        EXPECT_TRUE(AllZero(std::vector<char>(stick.begin() + imageBytes, stick.end()))) << "written past the image";

        // A byte changed on the stick after the write is found at its offset.
        const std::int64_t changed = TStickWriter::kPieceBytes + 777;
        PutBytes(stickFile, changed, std::string(1, static_cast<char>(~PatternByte(changed))));
        EXPECT_FALSE(writer.Verify(imageFile));
        EXPECT_EQ(writer.Failure, TStickFailure::Differs);
        EXPECT_EQ(writer.FirstDifferentOffset, changed);
        EXPECT_NE(writer.Error.find("block " + std::to_string(changed / 2048)), std::string::npos) << writer.Error;
    }
}

TEST(StickWriter, SecondWriterOnTheSameVirtualStickIsRefused)
{
    TempDir dir;
    TStickTarget target;
    std::string error;
    ASSERT_TRUE(AttachVirtualStick({dir / "s.img", 1 << 20}, target, error)) << error;
    TStickWriter first(target), second(target);
    ASSERT_TRUE(first.Open()) << first.Error;
    EXPECT_FALSE(second.Open());
    EXPECT_EQ(second.Failure, TStickFailure::InUse);
}

// The job on a virtual stick --------------------------------------------------------------------

struct JobRun {
    bool ok = false;
    TBurnJobResult result;
    std::vector<std::string> lines;
    std::vector<TJobProgress> progress;
};

JobRun RunStickJob(TBurnJobOptions Options, const TStickTarget& Target)
{
    JobRun run;
    TBurnJob job(std::move(Options));
    job.OnStatus = [&](TJobPhase, const std::string& Text) { run.lines.push_back(Text); };
    job.OnProgress = [&](const TJobProgress& P) { run.progress.push_back(P); };
    run.ok = job.CheckImage() && job.BurnStick(Target);
    run.result = job.Result();
    return run;
}

bool HasLine(const JobRun& Run, const std::string& Part)
{
    for (const std::string& line : Run.lines)
        if (line.find(Part) != std::string::npos) return true;
    return false;
}

TEST_F(StickImages, JobBurnsVerifiesOrRefusesBeforeWriting)
{
    const std::int64_t hybridBytes = static_cast<std::int64_t>(fs::file_size(Image("hybrid.iso")));
    const struct {
        const char* name;
        std::string image;
        bool allowNonHybrid = false;
        std::int64_t stickBytes = 16 << 20;
        int stopAfterPieces = -1;   // the stop comes with that many pieces written
        bool published = false;
        TBurnJobEnd end = TBurnJobEnd::Done;
        TJobStep step = TJobStep::None;
        std::int64_t written = 0;   // bytes of the image on the stick afterwards
        const char* line = "";
    } rows[] = {
        {"hybrid", Image("hybrid.iso"), false, 16 << 20, -1, false, TBurnJobEnd::Done, TJobStep::None, hybridBytes,
         "Verify : SHA-256 of the stick "},
        {"published sum", Image("hybrid.iso"), false, 16 << 20, -1, true, TBurnJobEnd::Done, TJobStep::None,
         hybridBytes, "Verify : the stick matches the published SHA-256"},
        {"not hybrid", Image("plain.iso"), false, 16 << 20, -1, false, TBurnJobEnd::NotHybrid, TJobStep::Input, 0,
         kNotHybridText},
        {"not hybrid, insisted", Image("plain.iso"), true, 16 << 20, -1, false, TBurnJobEnd::Done, TJobStep::None,
         static_cast<std::int64_t>(fs::file_size(Image("plain.iso"))), "Warning : This image has no partition table"},
        {"larger than the stick", Image("hybrid.iso"), false, 4 << 20, -1, false, TBurnJobEnd::TooSmall,
         TJobStep::Input, 0, "Error : Image larger than stick"},
        {"stopped half way", Image("hybrid.iso"), false, 16 << 20, 1, false, TBurnJobEnd::Failed,
         TJobStep::Interrupted, TStickWriter::kPieceBytes, "the stick is incomplete"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const std::string image = dir / "rescue.iso";
        fs::copy_file(row.image, image);
        if (row.published) {
            std::string error;
            std::ofstream(dir / "rescue.iso.sha256") << DigestFile(image, TDigestKind::Sha256, nullptr, error) << "\n";
        }
        TStickTarget target;
        std::string error;
        ASSERT_TRUE(AttachVirtualStick({dir / "stick.img", row.stickBytes}, target, error)) << error;
        TBurnJobOptions options;
        options.Image = image;
        options.AllowNonHybrid = row.allowNonHybrid;
        int pieces = 0;
        bool writing = false;
        options.StopRequested = [&] { return row.stopAfterPieces >= 0 && writing && pieces >= row.stopAfterPieces; };
        JobRun run;
        {
            TBurnJob job(options);
            job.OnStatus = [&](TJobPhase, const std::string& Text) { run.lines.push_back(Text); };
            job.OnProgress = [&](const TJobProgress& P) {
                writing = P.Phase == TJobPhase::Write;
                if (writing) ++pieces;
                run.progress.push_back(P);
            };
            run.ok = job.CheckImage() && job.BurnStick(target);
            run.result = job.Result();
        }
        const TBurnJobResult& r = run.result;
        EXPECT_EQ(run.ok, row.end == TBurnJobEnd::Done);
        EXPECT_EQ(r.End, row.end) << r.Message;
        EXPECT_EQ(r.Step, row.step);
        EXPECT_TRUE(HasLine(run, row.line)) << row.line;
        EXPECT_EQ(r.SectorsSent, (row.written + 2047) / 2048);
        const std::vector<char> stick = ReadBytes(dir / "stick.img");
        const std::vector<char> bytes = ReadBytes(image);
        EXPECT_TRUE(std::equal(stick.begin(), stick.begin() + row.written, bytes.begin()));
        EXPECT_TRUE(AllZero(std::vector<char>(stick.begin() + row.written, stick.end())));
        if (row.end == TBurnJobEnd::Done) {
            EXPECT_TRUE(r.Verified && r.Written);
            EXPECT_EQ(r.ReadBackSha256, DigestFile(image, TDigestKind::Sha256, nullptr, error));
            EXPECT_EQ(r.FirstDifferentSector, -1);
            // Both phases report blocks of 2048 bytes up to their whole count.
            for (const TJobPhase phase : {TJobPhase::Write, TJobPhase::Verify}) {
                const TJobProgress* last = nullptr;
                for (const TJobProgress& p : run.progress)
                    if (p.Phase == phase) last = &p;
                ASSERT_NE(last, nullptr);
                EXPECT_EQ(last->Total, (row.written + 2047) / 2048);
                EXPECT_EQ(last->Sector, last->Total - 1);
                EXPECT_EQ(last->Percent, 100);
            }
        } else {
            EXPECT_FALSE(r.Verified);
        }
    }
}

// A real block device: a loop device over a file (root, losetup) --------------------------------

struct LoopDevice {
    explicit LoopDevice(const std::string& Backing)
    {
        int status = 0;
        std::string out = Shell("losetup -f --show -P '" + Backing + "'", status);
        if (status == 0 && !out.empty() && out.back() == '\n') out.pop_back();
        if (status == 0) path = out;
    }
    ~LoopDevice()
    {
        int status = 0;
        if (!path.empty()) Shell("losetup -d " + path, status);
    }
    std::string path;
};

TEST_F(StickImages, LoopDeviceTakesTheImageAndRefusesWhileMounted)
{
    if (::geteuid() != 0 || !Have("losetup")) GTEST_SKIP() << "needs root and losetup";
    TempDir dir;
    {
        std::ofstream backing(dir / "backing.img", std::ios::binary);
        backing.seekp((32 << 20) - 1);
        backing.put('\0');
    }
    LoopDevice loop(dir / "backing.img");
    if (loop.path.empty()) GTEST_SKIP() << "no loop device could be set up";
    TStickTarget target;
    target.DevicePath = loop.path;
    target.Description = "loop device";

    TBurnJobOptions options;
    options.Image = Image("hybrid.iso");
    const JobRun run = RunStickJob(options, target);
    ASSERT_TRUE(run.ok) << run.result.Message;
    EXPECT_TRUE(run.result.Verified);
    const std::vector<char> image = ReadBytes(Image("hybrid.iso"));
    EXPECT_TRUE(ReadBytes(loop.path, static_cast<std::int64_t>(image.size())) == image);

    // Without the rights to the device: the group to join, named.
    struct stat st {};
    ASSERT_EQ(::stat(loop.path.c_str(), &st), 0);
    ::chmod(loop.path.c_str(), 0660);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        TStickWriter writer(target);
        const bool refused = !writer.Open() && writer.Failure == TStickFailure::Permission;
        const group* g = ::getgrgid(st.st_gid);
        const std::string name = g ? g->gr_name : std::to_string(st.st_gid);
        const std::string advice = "run as root, or add yourself to the group " + name + " (sudo usermod -aG " + name +
                                   " $USER, then log in again)";
        ::_exit(refused && writer.Error.find(advice) != std::string::npos ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::chmod(loop.path.c_str(), st.st_mode & 07777);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the permission refusal lacks its advice";

    // A mounted file system on it: the exclusive open is refused with the reason.
    if (!Have("mkfs.ext4")) GTEST_SKIP() << "mkfs.ext4 is needed for the mounted case";
    Shell("mkfs.ext4 -q -F " + loop.path, status);
    ASSERT_EQ(status, 0);
    fs::create_directory(dir / "mnt");
    if (::mount(loop.path.c_str(), (dir / "mnt").c_str(), "ext4", 0, nullptr) != 0)
        GTEST_SKIP() << "ext4 cannot be mounted here";
    TStickWriter writer(target);
    EXPECT_FALSE(writer.Open());
    EXPECT_EQ(writer.Failure, TStickFailure::InUse);
    EXPECT_EQ(writer.Error, loop.path + " is in use: a partition is mounted or another program has it open");
    const JobRun refused = RunStickJob(options, target);
    EXPECT_EQ(refused.result.End, TBurnJobEnd::InUse);
    EXPECT_EQ(refused.result.SectorsSent, 0);
    ::umount((dir / "mnt").c_str());
}

#else

TEST(StickWriter, EveryCallSaysSticksAreNotSupported)
{
    TStickTarget target;
    target.DevicePath = "\\\\.\\PhysicalDrive1";
    TStickWriter writer(target);
    EXPECT_FALSE(writer.Open());
    EXPECT_EQ(writer.Failure, TStickFailure::NotSupported);
    EXPECT_EQ(writer.Error, kStickNotSupportedText);
    TStickTarget virtualStick;
    std::string error;
    EXPECT_FALSE(AttachVirtualStick({"stick.img", 1 << 20}, virtualStick, error));
    EXPECT_EQ(error, kStickNotSupportedText);
}

#endif

}  // namespace
