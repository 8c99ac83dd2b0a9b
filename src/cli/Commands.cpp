#include "cli/Commands.h"

#include "platform/Posix.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "burner/CDBufferedStream.h"
#include "burner/CDBurners.h"
#include "burner/DiscPlan.h"
#include "burner/FrontEndSupport.h"
#include "burner/ImageCheck.h"
#include "burner/WriteSpeed.h"
#include "burner/JobScope.h"
#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"
#include "cli/Trace.h"
#include "platform/VirtualDevice.h"
#include "vdrive/VirtualWriter.h"

namespace cli {

namespace {

constexpr std::int64_t kSectorBytes = 2048;
constexpr char kProgramName[] = "keelvane-cli";

// Why a drive did not become ready: NOT READY is a missing or spinning-up disc; anything else
// (a drive or driver that refuses the question, a hardware error) is not about the disc.
std::string NotReadyText(TScsiError error) {
    const std::string result = ScsiErrorToText(error);
    return error == Err_SenseNotReady ? "the drive is not ready (no disc?): " + result
                                      : "the drive did not become ready: " + result;
}

// The folders the rescue image is looked for in, in order: "A, B or C".
std::string SearchedFolders(const std::string& program) {
    const std::vector<TImageFolder> folders = RescueImageFolders(program);
    std::string text;
    for (std::size_t i = 0; i < folders.size(); ++i)
        text += (i == 0 ? "" : i + 1 == folders.size() ? " or " : ", ") + folders[i].Folder;
    return text;
}

StatusWording gWording = nullptr;

// A status line of the writer as this program sees it.
std::string Reworded(const std::string& text) { return gWording ? gWording(text) : text; }

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string current;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(current);
            current.clear();
            // "\r\n" and "\n\r" are one line break each.
            if (i + 1 < text.size() && (text[i + 1] == '\r' || text[i + 1] == '\n') && text[i + 1] != c) ++i;
        } else {
            current += c;
        }
    }
    if (!current.empty()) lines.push_back(current);
    return lines;
}

// Keeps the virtual writers attached for the run and detaches them (which flushes their
// discs) after the writer list is gone.
class VirtualDrives {
public:
    ~VirtualDrives() {
        for (auto& writer : writers_) vdrive::DetachVirtualDrive(writer);
    }
    // Only a command that changes a disc holds it alone; a query reads it beside other queries
    // (and in a folder it cannot write).
    int Attach(const std::vector<std::string>& driveSpecs, Command command, Output& out) {
        const bool changesDisc = command == Command::Burn || command == Command::BurnAudio || command == Command::Blank;
        for (const auto& driveSpec : driveSpecs) {
            vdrive::VirtualDriveOptions parsed;
            std::string error;
            if (!vdrive::ParseVirtualDriveSpec(driveSpec, parsed, error)) {
                out.Error("--virtual-drive " + driveSpec + ": " + error);
                return kExitUsage;
            }
            parsed.access = changesDisc ? vdrive::DiscAccess::Exclusive : vdrive::DiscAccess::Shared;
            vdrive::AttachFailure failure = vdrive::AttachFailure::None;
            auto writer = vdrive::AttachVirtualDrive(parsed, error, failure);
            if (!writer) {
                out.Error("cannot attach the virtual drive " + driveSpec + ": " + error);
                return failure == vdrive::AttachFailure::InUse ? kExitInUse : kExitNoWriter;
            }
            writers_.push_back(std::move(writer));
        }
        return kExitOk;
    }

    // The drive letter of the first virtual writer given; 0 when none.
    char FirstLetter() const { return writers_.empty() ? 0 : writers_.front()->DriveLetter(); }

private:
    std::vector<std::shared_ptr<vdrive::VirtualWriter>> writers_;
};

class Session {
public:
    Session(const Options& options, Output& out) : options_(options), out_(out) {}

    int Run();

private:
    int Drives();
    int Burn(TCDBurner& burner);
    int BurnAudio(TCDBurner& burner);
    // Loads the wave files into the writer's track list; false (after saying why) when one
    // cannot be burnt as asked.
    bool LoadWaveTracks(TCDBurner& burner, std::string& refused);
    // Before a burn writes: waits for the disc and honours a Ctrl-C that came meanwhile.
    // kExitOk to go on; otherwise the result is reported with `fields`.
    int StartJob(TCDBurner& burner, const TDeviceHold& hold, JsonObject fields);
    // The writer's waits on the drive go to the live line or the JSON events.
    void SubscribeWaits(TCDBurner& burner) {
        burner.OnWait = [this](const TWaitInfo& wait) {
            out_.Wait(WaitPhaseName(wait.Phase), WaitPhaseLabel(wait.Phase), Reworded(wait.Step),
                      static_cast<double>(wait.Elapsed.count()) / 1000.0, Output::Now());
        };
    }
    int Blank(TCDBurner& burner);
    int Capabilities(TCDBurner& burner);
    int Speeds(TCDBurner& burner);
    int PageReport(TCDBurner& burner, const std::vector<std::string>& lines, JsonObject fields = JsonObject());
    int WriterParams(TCDBurner& burner);
    int Toc(TCDBurner& burner);
    int DvdStructure(TCDBurner& burner);
    int Buffer(TCDBurner& burner);
    int WriteMode(TCDBurner& burner);
    int Eject(TCDBurner& burner);
    int DiscInfo(TCDBurner& burner);
    // A refused preflight: says why, with the plan's figures; the tray is already unlocked.
    int RefusePlan(const TDiscPlan& plan, JsonObject fields);
    int Image();
    int Load(TCDBurner& burner);

    // The image the burn takes.
    std::string ImagePath() const {
        return options_.image.empty() ? RescueImagePath(ProgramFolder()) : options_.image;
    }
    // The image checks, before any command reaches a drive: kExitOk to go on (a missing image
    // is left to the burn, which says so as it always has).
    int CheckImage();
    // After the plan and before anything that changes the disc: --simulate and --speed.
    // kExitOk to go on; otherwise the result is reported with `fields`.
    int PrepareWrite(TCDBurner& burner, const TDiscPlan& plan, JsonObject fields);
    // --speed on the drive; false after saying why.
    bool ApplySpeed(TCDBurner& burner, const std::string& phase);
    // The image check's values for the result object.
    void AddImageCheckFields(JsonObject& fields) const;

    // The writer the options select, or null after saying why.
    TCDBurner* SelectWriter(int& exitCode);
    // False (after saying why) when the selected drive could not be opened.
    bool CheckAccess(int position, int& exitCode);
    void ReportLines(const std::vector<std::string>& lines) {
        for (const auto& line : lines) out_.Text(line);
    }
    void Finish(int exitCode, const JsonObject& fields = JsonObject()) {
        out_.Result(CommandName(options_.command), exitCode, fields);
    }

    const Options& options_;
    Output& out_;
    std::unique_ptr<TCDBurnerList> list_;
    std::optional<TImageCheck> imageCheck_;
    std::unique_ptr<TImageFile> imageFile_;   // the image a burn takes, opened once by its check
    std::string imageOpenError_;              // why it could not be opened
    std::int64_t writeSpeedKBs_ = -1;   // what the drive reported after --speed
    char firstVirtualLetter_ = 0;   // the writer meant when --virtual-drive is given without --drive
};

int Session::Run() {
    // Where the rescue image is needs no drive.
    if (options_.command == Command::Image) return Image();
    VirtualDrives virtualDrives;
    if (int rc = virtualDrives.Attach(options_.virtualDrives, options_.command, out_); rc != kExitOk) {
        Finish(rc);
        return rc;
    }
    // A damaged or wrong image is refused before the drives are even scanned.
    if (options_.command == Command::Burn) {
        if (const int rc = CheckImage(); rc != kExitOk) return rc;
    }
    // The list releases every tray when it goes, before the virtual drives are detached.
    list_ = std::make_unique<TCDBurnerList>();
    struct ListReset {
        std::unique_ptr<TCDBurnerList>& list;
        ~ListReset() { list.reset(); }
    } listReset{list_};

    if (options_.command == Command::Drives) return Drives();

    int rc = kExitOk;
    firstVirtualLetter_ = virtualDrives.FirstLetter();
    TCDBurner* burner = SelectWriter(rc);
    if (!burner) {
        Finish(rc);
        return rc;
    }
    // Nothing reaches a drive another program holds (a mounted disc, another burner), not even
    // a query: its commands would come between that program's. The hold keeps the device open,
    // exclusively, for the whole command. The burns say so themselves, with their own fields.
    TDeviceHold hold(burner->Info);
    if (hold.InUse() && options_.command != Command::Burn && options_.command != Command::BurnAudio) {
        out_.Error(hold.InUseText());
        Finish(kExitInUse);
        return kExitInUse;
    }
    switch (options_.command) {
    case Command::Burn: return Burn(*burner);
    case Command::BurnAudio: return BurnAudio(*burner);
    case Command::Blank: return Blank(*burner);
    case Command::Capabilities: return Capabilities(*burner);
    case Command::Speeds: return Speeds(*burner);
    case Command::WriterParams: return WriterParams(*burner);
    case Command::Toc: return Toc(*burner);
    case Command::DvdStructure: return DvdStructure(*burner);
    case Command::Buffer: return Buffer(*burner);
    case Command::WriteMode: return WriteMode(*burner);
    case Command::Eject: return Eject(*burner);
    case Command::DiscInfo: return DiscInfo(*burner);
    case Command::Load: return Load(*burner);
    case Command::Drives:
    case Command::Image:
    case Command::None: break;
    }
    return kExitUsage;
}

TCDBurner* Session::SelectWriter(int& exitCode) {
    exitCode = kExitNoWriter;
    if (list_->Count() == 0) {
        out_.Hint("No CD burners found on this computer.");
        return nullptr;
    }
    int position = -1;
    const DriveSelector& d = options_.drive;
    switch (d.kind) {
    case DriveSelector::Kind::Default:
        // A virtual drive asked for on the command line is the one meant, not a real drive
        // that happens to come first.
        position = 0;
        for (int i = 0; firstVirtualLetter_ != 0 && i < list_->Count(); ++i)
            if (list_->Burners(i)->Info.DriveLetter == firstVirtualLetter_) position = i;
        break;
    case DriveSelector::Kind::Index:
        if (d.index < list_->Count()) position = d.index;
        else out_.Error("there is no writer at index " + std::to_string(d.index) + " (see: keelvane-cli drives)");
        break;
    case DriveSelector::Kind::Letter:
        for (int i = 0; i < list_->Count(); ++i)
            if (list_->Burners(i)->Info.DriveLetter == d.letter) position = i;
        if (position < 0)
            out_.Error(std::string("there is no writer at drive ") + d.letter + ": (see: keelvane-cli drives)");
        break;
    }
    if (position < 0 || !CheckAccess(position, exitCode)) return nullptr;
    exitCode = kExitOk;
    return list_->Burners(position);
}

bool Session::CheckAccess(int position, int& exitCode) {
    const TDriveAccessProblem problem = DriveAccessProblem(*list_, position, kProgramName);
    if (!problem.Exists()) return true;
    exitCode = kExitNoWriter;
    out_.Error(problem.Reason);
    if (problem.PermissionDenied) out_.Hint(problem.Advice);
    return false;
}

int Session::Drives() {
    const int count = list_->Count();
    std::string array = "[";
    for (int i = 0; i < count; ++i) {
        const TDriveScanEntry& row = list_->ScanTable().Rows[i];
        TCDBurnerInfo info;
        list_->Burners(i)->GetInfo(info);
        const std::string path = win::DevicePathOfLetter(info.DriveLetter);
        char address[64];
        std::snprintf(address, sizeof address, "%u:%u:%u", info.HaId, info.Target, info.Lun);
        out_.Text(DriveBoxEntry(info));
        out_.Text("    index " + std::to_string(i) + ", device " + path + ", SCSI address " + address +
                  " (port:target:lun)");
        if (row.InUse)
            out_.Text("    in use by another program" + MountedOnText(info.DriveLetter) +
                      ": not asked; its names are the system's");
        if (row.Handle == nullptr) {
            std::string why = row.OpenErrno ? std::strerror(row.OpenErrno) : "no answer to INQUIRY";
            out_.Text("    cannot be opened: " + why);
            const TDriveAccessProblem problem = DriveAccessProblem(*list_, i, kProgramName);
            if (problem.PermissionDenied) out_.Hint(problem.Advice);
        }
        JsonObject drive;
        drive.Add("index", i)
            .Add("letter", std::string(1, info.DriveLetter))
            .Add("entry", DriveBoxEntry(info))
            .Add("display_name", info.DisplayName)
            .Add("vendor", info.VendorId)
            .Add("product", info.ProductId)
            .Add("revision", info.Revision)
            .Add("device", path)
            .Add("port", static_cast<int>(info.HaId))
            .Add("target", static_cast<int>(info.Target))
            .Add("lun", static_cast<int>(info.Lun))
            .Add("accessible", row.Handle != nullptr)
            .Add("in_use", row.InUse);
        if (row.Handle == nullptr) drive.Add("open_error", row.OpenErrno ? std::strerror(row.OpenErrno) : "no answer");
        if (i) array += ',';
        array += drive.Str();
    }
    array += "]";
    if (count == 0) {
        out_.Hint("No CD burners found on this computer.");
        Finish(kExitNoWriter, JsonObject().AddRaw("drives", array));
        return kExitNoWriter;
    }
    Finish(kExitOk, JsonObject().AddRaw("drives", array));
    return kExitOk;
}

// The two reports keep no result of their own (a failed one shows its headings or zeros), so
// the capabilities page is asked for once more to tell a script whether the drive answered.
int Session::PageReport(TCDBurner& burner, const std::vector<std::string>& lines, JsonObject fields) {
    ReportLines(lines);
    std::uint8_t page[26] = {};
    const TScsiError error = ScsiGetCapabilitiesPage(burner.Info, page, burner.CommandSettings);
    const std::string result = ScsiErrorToText(error);
    const int rc = error == Err_None ? kExitOk : kExitCommandFailed;
    if (rc != kExitOk) out_.Error(std::string(CommandName(options_.command)) + ": " + result);
    Finish(rc, fields.Add("result", result));
    return rc;
}

int Session::Capabilities(TCDBurner& burner) { return PageReport(burner, burner.GetCapabilitiesReport()); }

int Session::Speeds(TCDBurner& burner) {
    std::vector<std::string> lines = burner.GetSpeedsReport();
    // The speeds offered for the disc in the drive follow the report's own lines.
    TScsiError error = Err_None;
    const std::vector<std::uint32_t> offered = OfferedWriteSpeeds(burner, error);
    const TMediumFamily family = MediumFamilyOf(burner);
    lines.push_back("-- Write Speeds For This Disc --");
    std::vector<std::string> speeds;
    for (std::uint32_t kbs : offered) {
        lines.push_back("       " + SpeedText(kbs, family) + " (" + std::to_string(kbs) + " kB/s)");
        speeds.push_back(std::to_string(kbs));
    }
    if (offered.empty())
        lines.push_back("       none reported (" + ScsiErrorToText(error) + ")");
    std::string array = "[";
    for (std::size_t i = 0; i < speeds.size(); ++i) array += (i ? "," : "") + speeds[i];
    array += "]";
    return PageReport(burner, lines, JsonObject().AddRaw("write_speeds_kbs", array).Add("medium", FamilyName(family)));
}

int Session::WriterParams(TCDBurner& burner) {
    std::string text;
    const bool ok = burner.GetWriterParameters(text);
    ReportLines(SplitLines(text));
    // The main window shows the result's name in its status bar after this report.
    const std::string result = ScsiErrorToText(burner.LastError);
    out_.Text(result);
    const int rc = ok ? kExitOk : kExitCommandFailed;
    if (!ok && out_.json()) out_.Error("writer-params: " + result);
    Finish(rc, JsonObject().Add("result", result));
    return rc;
}

int Session::Toc(TCDBurner& burner) {
    TScsiTOC toc;
    const TScsiError error = burner.ReadTOC(toc);
    char row[128];
    std::snprintf(row, sizeof row, "%-4s %-5s %-10s %s", "No", "Num", "LBA", "Flags");
    out_.Text(row);
    std::string entries = "[";
    const int count = std::min<int>(toc.EntryCount, static_cast<int>(std::size(toc.Entries)));
    for (int i = 0; i < count; ++i) {
        const TScsiTOCEntry& e = toc.Entries[i];
        const std::string flags = SetToText(e.Flags);
        std::snprintf(row, sizeof row, "%-4d %-5u %-10u ", i, static_cast<unsigned>(e.TrackNumber),
                      static_cast<unsigned>(e.StartLBA));
        out_.Text(row + flags);
        if (i) entries += ',';
        entries += JsonObject()
                                        .Add("no", i)
                                        .Add("num", static_cast<int>(e.TrackNumber))
                                        .Add("lba", static_cast<std::int64_t>(e.StartLBA))
                                        .Add("flags", flags)
                                        .Str();
    }
    entries += "]";
    const std::string result = ScsiErrorToText(error);
    const int rc = error == Err_None ? kExitOk : kExitCommandFailed;
    if (rc != kExitOk) out_.Error("toc: " + result);
    Finish(rc, JsonObject().AddRaw("entries", entries).Add("result", result));
    return rc;
}

int Session::DvdStructure(TCDBurner& burner) {
    TScsiDVDLayerDescriptorInfo d;
    const TScsiError error = burner.GetDVDStructure(d);
    out_.Text("Book Type     : " + d.BookType);
    out_.Text("Track Density : " + d.TrackDensity);
    out_.Text("Disc Size     : " + d.DiscSize);
    out_.Text("Maximum Rate  : " + d.MaximumRate);
    out_.Text("Linear Density: " + d.LinearDensity);
    out_.Text("Layer Type    : " + d.LayerType);
    const std::string result = ScsiErrorToText(error);
    const int rc = error == Err_None ? kExitOk : kExitCommandFailed;
    if (rc != kExitOk) out_.Error("dvd-structure: " + result);
    Finish(rc, JsonObject()
                   .Add("result", result)
                   .Add("book_type", d.BookType)
                   .Add("track_density", d.TrackDensity)
                   .Add("disc_size", d.DiscSize)
                   .Add("maximum_rate", d.MaximumRate)
                   .Add("linear_density", d.LinearDensity)
                   .Add("layer_type", d.LayerType));
    return rc;
}

int Session::Buffer(TCDBurner& burner) {
    const std::int32_t percent = burner.GetBufferFillPercent();
    if (burner.BufferLength <= 0) {
        out_.Error("buffer: the drive reported no buffer");
        Finish(kExitCommandFailed);
        return kExitCommandFailed;
    }
    // The progress window's labels and gauge name.
    out_.Text("Burner Buffer Size : " + std::to_string(burner.BufferLength / 1024) + " kb");
    out_.Text("Burner Free Buffer : " + std::to_string(burner.BufferFree / 1024) + " kb");
    out_.Text("CD Buffer : " + std::to_string(percent) + " %");
    Finish(kExitOk, JsonObject()
                        .Add("length", static_cast<std::int64_t>(burner.BufferLength))
                        .Add("free", static_cast<std::int64_t>(burner.BufferFree))
                        .Add("percent", percent));
    return kExitOk;
}

int Session::WriteMode(TCDBurner& burner) {
    const bool ok = SetWriteMode(burner, options_.writeMode == cli::WriteMode::Data ? kDataWriteParameters
                                                                                    : kCDDAWriteParameters);
    const std::string result = ScsiErrorToText(burner.LastError);
    out_.Text(result);
    const int rc = ok ? kExitOk : kExitWriteParameters;
    if (!ok && out_.json()) out_.Error("write-mode: " + result);
    Finish(rc, JsonObject().Add("mode", options_.writeMode == cli::WriteMode::Data ? "data" : "cdda").Add("result", result));
    return rc;
}

int Session::Eject(TCDBurner& burner) {
    const bool ok = burner.Eject(true);
    const std::string result = ScsiErrorToText(burner.LastError);
    if (!ok) out_.Error("eject: " + result);
    const int rc = ok ? kExitOk : kExitCommandFailed;
    Finish(rc, JsonObject().Add("result", result));
    return rc;
}

int Session::Image() {
    const std::string program = ProgramFolder();
    const TRescueImage image = FindRescueImage(program);
    std::string searched = "[";
    for (const TImageFolder& place : RescueImageFolders(program)) {
        if (searched.size() > 1) searched += ',';
        searched += JsonQuote(place.Folder);
    }
    searched += "]";
    JsonObject fields;
    fields.Add("image", image.Path).Add("found", image.Found).AddRaw("searched", searched);
    if (!image.Found) {
        out_.Error("no rescue image: neither " + std::string(kRescueImageName) + " nor " + kDemoImageName +
                   " lies in " + SearchedFolders(program));
        Finish(kExitImage, fields);
        return kExitImage;
    }
    out_.Text(image.Path);
    out_.Text(std::string("found ") + ImagePlaceText(image.Place));
    fields.Add("place", ImagePlaceText(image.Place));
    Finish(kExitOk, fields);
    return kExitOk;
}

int Session::Load(TCDBurner& burner) {
    const bool ok = LoadTray(burner);
    const std::string result = ScsiErrorToText(burner.LastError);
    if (!ok) out_.Error("load: " + result);
    const int rc = ok ? kExitOk : kExitCommandFailed;
    Finish(rc, JsonObject().Add("result", result));
    return rc;
}

bool Session::ApplySpeed(TCDBurner& burner, const std::string& phase) {
    if (!options_.speedGiven) return true;
    const TMediumFamily family = MediumFamilyOf(burner);
    std::uint32_t reported = 0;
    if (!SetWriteSpeed(burner, options_.speed, family, reported)) {
        out_.Error("the drive refused the write speed " +
                   (options_.speed ? std::to_string(options_.speed) + "x" : std::string("max")) + ": " +
                   ScsiErrorToText(burner.LastError));
        return false;
    }
    writeSpeedKBs_ = reported;
    out_.Status(phase, reported ? "Write Speed : " + SpeedText(reported, family) + " (" + std::to_string(reported) +
                                      " kB/s, " + FamilyName(family) + ")"
                                : std::string("Write Speed : set; the drive does not report it"));
    return true;
}

int Session::PrepareWrite(TCDBurner& burner, const TDiscPlan& plan, JsonObject fields) {
    burner.SimulateWrite = options_.simulate;
    if (options_.simulate) {
        std::string why;
        if (!CanSimulate(burner, plan, why)) {
            out_.Error("cannot simulate: " + why + "; nothing was sent to write");
            burner.LastOutcome = TJobOutcome{TJobStep::Medium, -1, burner.LastError};
            burner.UnlockMedium();
            Finish(kExitDiscUnusable, fields.Add("simulated", true));
            return kExitDiscUnusable;
        }
        out_.Status("setup", "Simulation : the drive writes in test mode; nothing is recorded");
    }
    if (!ApplySpeed(burner, "setup")) {
        burner.UnlockMedium();
        Finish(kExitCommandFailed, fields.Add("last_error", ScsiErrorToText(burner.LastError)));
        return kExitCommandFailed;
    }
    return kExitOk;
}

int Session::CheckImage() {
    const std::string image = ImagePath();
    // Opened once: the check, the burn and the verify read this descriptor. An image that
    // cannot be opened is left to the burn, which says why as it always has.
    try {
        imageFile_ = std::make_unique<TImageFile>(image);
    } catch (const std::system_error& e) {
        imageOpenError_ = e.code().message();
        return kExitOk;
    }
    TImageCheckOptions checkOptions;
    checkOptions.Force = options_.force;
    checkOptions.ExpectedSha256 = options_.sha256;
    // Ctrl-C and SIGTERM stop the reading of the checksum files and the hash.
    std::atomic<bool> stop{false};
    checkOptions.Stop = &stop;
    checkOptions.OnSumsSearched = [&](const TPublishedDigest& published) {
        for (const TSkippedSums& skipped : published.Skipped) out_.Status("checksum", skipped.Line());
        if (published.Found) out_.Status("checksum", "Checksum : computing the image's checksum");
    };
    ProgressSample sample;
    sample.total = (imageFile_->Size() + kSectorBytes - 1) / kSectorBytes;
    SetCancelTarget(&stop);
    TImageCheck check = CheckImageBeforeBurn(*imageFile_, checkOptions, [&](std::int64_t done, std::int64_t total) {
        sample.sector = (done + kSectorBytes - 1) / kSectorBytes - 1;
        sample.percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
        out_.Progress("checksum", sample, Output::Now());
        return !Interrupted();
    });
    SetCancelTarget(nullptr);
    out_.EndProgress();
    imageCheck_ = check;
    JsonObject fields;
    fields.Add("image", image);
    AddImageCheckFields(fields);
    switch (check.Verdict) {
    case TImageVerdict::Ok:
        if (!check.ChecksumLine.empty()) out_.Status("checksum", check.ChecksumLine);
        if (!check.Warning.empty()) out_.Status("check", check.Warning);
        return kExitOk;
    case TImageVerdict::Stopped:
        out_.Error("interrupted while checking the image; nothing was written");
        Finish(InterruptExitCode(), fields);
        return InterruptExitCode();
    case TImageVerdict::NotIso:
    case TImageVerdict::ChecksumMismatch:
    case TImageVerdict::Unreadable:
        break;
    }
    out_.Text("Error creating CD.");
    out_.Error(check.Message);
    if (check.Verdict == TImageVerdict::NotIso) out_.Hint("Give --force to burn it as it is.");
    Finish(kExitImage, fields);
    return kExitImage;
}

void Session::AddImageCheckFields(JsonObject& fields) const {
    if (!imageCheck_) return;
    const TImageCheck& c = *imageCheck_;
    fields.Add("image_format", ImageFormatName(c.Inspection.Format)).Add("bootable", c.Inspection.Bootable);
    if (c.Published.Found) {
        fields.Add("checksum", c.ActualHex.empty() ? "unchecked" : c.ActualHex == c.Published.Hex ? "ok" : "mismatch")
            .Add("checksum_kind", DigestName(c.Published.Kind))
            .Add("checksum_source", c.Published.Source)
            .Add("checksum_expected", c.Published.Hex)
            .Add("checksum_actual", c.ActualHex);
    } else {
        fields.Add("checksum", "none");
    }
    // The checksum files present but not used, and why.
    std::string skipped = "[";
    for (const TSkippedSums& file : c.Published.Skipped)
        skipped += (skipped.size() > 1 ? "," : "") + JsonObject().Add("file", file.File).Add("reason", file.Reason).Str();
    fields.AddRaw("checksum_skipped", skipped + "]");
}

int Session::Blank(TCDBurner& burner) {
    burner.OnStatus = [this](const std::string& text) { out_.Status("blank", Reworded(text)); };
    burner.OnProgress = [this](std::int32_t, std::int32_t percent) {
        ProgressSample sample;
        sample.percent = percent;
        out_.Progress("blank", sample, Output::Now());
    };
    SubscribeWaits(burner);
    // A drive cannot be stopped once it blanks: Ctrl-C stops the waiting only.
    static constexpr char kBlankMessage[] =
        "\nInterrupted: stopping; the drive finishes a blank it has started by itself "
        "(press Ctrl-C again to quit at once)\n";
    JsonObject fields;
    fields.Add("fast", options_.fastBlank);
    const auto end = [&](int rc) {
        SetCancelTarget(nullptr);
        UnsubscribeEvents(burner);
        out_.EndProgress();
        Finish(rc, fields);
        return rc;
    };
    SetCancelTarget(&burner.CancelRequested, kBlankMessage);
    // A disc still spinning up is waited for, as before a burn.
    const TScsiError ready = WaitForDriveBeforeBurn(burner);
    if (ready != Err_None) {
        fields.Add("result", ScsiErrorToText(ready));
        if (burner.LastOutcome.Step == TJobStep::Interrupted) {
            out_.Error("interrupted before anything was blanked");
            return end(InterruptExitCode());
        }
        // NOT READY, MEDIUM NOT PRESENT (3Ah): nothing to blank.
        if (ready == Err_SenseNotReady && ScsiDecodeSense(burner.CommandSettings.SenseArea, 14).Asc == 0x3A) {
            out_.Error(std::string("There is no disc in ") + burner.Info.DriveLetter + ": to blank.");
            return end(kExitDiscUnusable);
        }
        out_.Text(ScsiErrorToText(ready));
        if (out_.json()) out_.Error("blank: " + NotReadyText(ready));
        return end(kExitCommandFailed);
    }

    // What the disc is decides how it is blanked, or that it is not, before anything changes it.
    const TBlankPlan plan = PlanBlank(burner);
    fields.Add("disc", plan.Disc.MediumName()).Add("disc_state", DiscStateText(plan.Disc.State));
    if (plan.Method == TBlankMethod::Refused) {
        out_.Error(plan.Refusal + " Nothing was blanked.");
        fields.Add("result", ScsiErrorToText(Err_None)).Add("refusal", plan.Refusal);
        return end(kExitDiscUnusable);
    }
    if (plan.Method == TBlankMethod::AlreadyBlank) {
        out_.Text(std::string("The disc in ") + burner.Info.DriveLetter + ": is already blank (" +
                  plan.Disc.MediumName() + ", " + DiscStateText(plan.Disc.State) + "); nothing was changed.");
        fields.Add("result", ScsiErrorToText(Err_None)).Add("method", "none");
        return end(kExitOk);
    }
    if (!ApplySpeed(burner, "blank")) {
        fields.Add("result", ScsiErrorToText(burner.LastError));
        return end(kExitCommandFailed);
    }
    const bool overwrite = plan.Method == TBlankMethod::Overwrite;
    fields.Add("method", overwrite ? "overwrite" : "blank");
    const bool ok = overwrite ? OverwriteBlank(burner, plan.Disc)
                              : burner.Blank(options_.fastBlank ? kBlankMinimal : kBlankFull, 0);
    SetCancelTarget(nullptr);
    out_.EndProgress();

    const std::string result = ScsiErrorToText(burner.LastError);
    fields.Add("result", result);
    int rc = kExitOk;
    if (ok) {
        out_.Text("Blanking Finished!");
    } else if (burner.LastOutcome.Step == TJobStep::InUse) {
        rc = kExitInUse;
    } else if (burner.LastOutcome.Step == TJobStep::Interrupted) {
        burner.UnlockMedium();
        out_.Error("interrupted; the drive finishes a blank it has started by itself");
        rc = InterruptExitCode();
    } else {
        out_.Text(result);
        if (out_.json()) out_.Error("blank: " + result);
        // Scripts have always seen 1 for a blank the drive refused, whatever the disc.
        rc = kExitCommandFailed;
    }
    return end(rc);
}

// Ctrl-C reaches the writer for the life of a job; its events are emptied when the job ends.
// The drive is held open from the wait for the disc to the eject, one open for all of it.
struct JobScope {
    explicit JobScope(TCDBurner& burner) : b(burner), hold(burner.Info) { SetCancelTarget(&b.CancelRequested); }
    ~JobScope() {
        SetCancelTarget(nullptr);
        UnsubscribeEvents(b);
    }
    JobScope(const JobScope&) = delete;
    JobScope& operator=(const JobScope&) = delete;
    TCDBurner& b;
    TDeviceHold hold;
};

int Session::StartJob(TCDBurner& burner, const TDeviceHold& hold, JsonObject fields) {
    SubscribeWaits(burner);
    // Refused before anything is sent: another program's commands would come between ours.
    if (hold.InUse()) {
        out_.Error(hold.InUseText());
        Finish(kExitInUse, fields);
        return kExitInUse;
    }
    // A drive without a disc, or one still spinning up, is told apart from a failed write.
    const TScsiError ready = WaitForDriveBeforeBurn(burner);
    if (ready != Err_None && burner.LastOutcome.Step != TJobStep::Interrupted) {
        const std::string result = ScsiErrorToText(ready);
        out_.Error(NotReadyText(ready));
        Finish(kExitCommandFailed, fields.Add("last_error", result));
        return kExitCommandFailed;
    }
    if (ready != Err_None || Interrupted()) {
        const bool unlocked = burner.UnlockMedium();
        out_.Error(std::string("interrupted before anything was written; ") +
                   (unlocked ? "the tray is unlocked" : "the tray could not be unlocked: " + ScsiErrorToText(burner.LastError)));
        Finish(InterruptExitCode(), fields.Add("tray_unlocked", unlocked));
        return InterruptExitCode();
    }
    return kExitOk;
}

int Session::Burn(TCDBurner& burner) {
    const std::string image = ImagePath();

    // A missing image is refused before the drive is touched (the check could not open it).
    if (!imageFile_) {
        struct stat st;
        const bool found = ::stat(image.c_str(), &st) == 0;
        const int err = errno;
        const std::string why = !found ? std::strerror(err)
                                : !S_ISREG(st.st_mode) ? "not a regular file"
                                : ::access(image.c_str(), R_OK) != 0 ? std::strerror(errno)
                                                                     : imageOpenError_;
        out_.Text("Error creating CD.");
        out_.Error("cannot read the image " + image + ": " + why);
        if (options_.image.empty() && !FindRescueImage(ProgramFolder()).Found)
            out_.Hint("No rescue image found: put Keelvane.iso into " + SearchedFolders(ProgramFolder()) +
                      ", or name an image: keelvane-cli burn IMAGE");
        Finish(kExitImage, JsonObject().Add("image", image));
        return kExitImage;
    }
    const TImageFile& imageFile = *imageFile_;
    const std::int64_t imageBytes = imageFile.Size();
    const std::int64_t sectors = imageBytes / kSectorBytes;
    // The burnt bytes must have the sum the check found them to have.
    const TPublishedDigest published =
        imageCheck_ && imageCheck_->Published.Found && !imageCheck_->ActualHex.empty() ? imageCheck_->Published
                                                                                       : TPublishedDigest();

    std::string phase = "setup";
    ProgressSample sample;
    sample.total = sectors;
    std::int64_t sectorsHandedOver = 0;

    burner.OnStatus = [&](const std::string& text) {
        if (text == "HardWare : Set Write Mode OK" || text.rfind("Writing : ", 0) == 0) phase = "write";
        if (text.rfind("Blanking : ", 0) == 0) phase = "blank";
        if (text.rfind("Formatting : ", 0) == 0) phase = "format";
        if (text.rfind("Finished Writing", 0) == 0) phase = "close";
        if (phase == "close" || text == "Blanking Finished!" || text == "Formatting Finished!") out_.EndProgress();
        out_.Status(phase, Reworded(text));
    };
    burner.OnProgress = [&](std::int32_t index, std::int32_t percent) {
        if (phase == "blank" || phase == "format") {
            // A blank or format the disc needs first reports the drive's own progress.
            ProgressSample prep;
            prep.percent = percent;
            out_.Progress(phase, prep, Output::Now());
            return;
        }
        sample.sector = index;
        // The share of the sectors done: the writer's own percent (the one the progress window
        // shows) reaches 100 well before the last sector of a small image.
        sample.percent = sectors > 0 ? static_cast<int>((std::int64_t(index) + 1) * 100 / sectors) : percent;
        if (phase == "write") sectorsHandedOver = std::int64_t(index) + 1;
        out_.Progress(phase, sample, Output::Now());
    };
    burner.OnBufferProgress = [&](std::int32_t percent) { sample.driveBuffer = percent; };
    burner.OnFileBufferProgress = [&](std::int32_t percent) { sample.fileBuffer = percent; };

    // A burn refused on the way still reports what the image check found, as a finished one does.
    JsonObject imageFields;
    imageFields.Add("image", image);
    AddImageCheckFields(imageFields);
    JobScope job(burner);
    if (const int rc = StartJob(burner, job.hold, imageFields); rc != kExitOk) return rc;

    // What is in the drive decides how it is written, or that it is not written at all.
    const std::int64_t imageBlocks = (imageBytes + kSectorBytes - 1) / kSectorBytes;
    const TDiscPlan plan = PlanBurn(burner, imageBlocks, options_.blankAsNeeded);
    if (!plan.CanBurn()) return RefusePlan(plan, imageFields);
    if (const int rc = PrepareWrite(burner, plan, imageFields); rc != kExitOk) return rc;

    int rc = kExitOk;
    bool burned = false;
    bool burnRaised = false;
    try {
        burned = BurnPlannedImage(burner, imageFile, published, plan, options_.keepSessionOpen ? 0 : 1);
    } catch (const std::exception& e) {
        burnRaised = true;
        out_.EndProgress();
        out_.Text("Error creating CD.");
        out_.Error(e.what());
        rc = kExitImage;
    }
    out_.EndProgress();
    const TJobOutcome outcome = burner.LastOutcome;
    if (rc == kExitOk && !burned) rc = ExitCodeOfFailure(outcome.Step, InterruptExitCode());

    bool verified = false;
    std::int64_t firstDifferent = -1;
    // The verify compares the disc with the image as the burn found it; a file changed since
    // (rewritten, truncated, grown) would be compared in part or with other bytes.
    bool changed = false;
    // A simulation recorded nothing: there is nothing to read back.
    if (rc == kExitOk && !options_.noVerify && !options_.simulate) {
        phase = "verify";
        sample = ProgressSample();
        sample.total = sectors;
        changed = !imageFile.Changed().empty();
        bool readable = true;
        if (!changed) {
            out_.Status(phase, "Verify : Reading the track back");
            try {
                verified = burner.VerifyImage(imageFile, published, firstDifferent);
            } catch (const std::exception& e) {
                readable = false;
                out_.Error(std::string("cannot read the image again: ") + e.what());
            }
            out_.EndProgress();
            changed = readable && burner.LastOutcome.Step == TJobStep::ImageChanged;
            if (changed) verified = false;
        }
        if (changed) {
            rc = kExitVerify;
            firstDifferent = -1;
            out_.Status(phase, "Verify : The image changed since the burn started; the disc was not compared with it");
        } else if (!readable) {
            rc = kExitImage;
        } else if (verified) {
            out_.Status(phase, "Verify : " + std::to_string(sectors) + " sectors equal the image");
            out_.Status(phase, "Verify : SHA-256 of the disc " + burner.ReadBackSha256);
            if (!burner.PublishedComparison.empty()) out_.Status(phase, "Verify : " + burner.PublishedComparison);
        } else if (burner.LastOutcome.Step == TJobStep::Interrupted) {
            rc = InterruptExitCode();
        } else {
            rc = kExitVerify;
            if (burner.LastError != Err_None)
                out_.Status(phase, "Verify : Read Error at sector " + std::to_string(firstDifferent) + " : " +
                                       ScsiErrorToText(burner.LastError));
            else if (firstDifferent >= 0)
                out_.Status(phase, "Verify : Sector " + std::to_string(firstDifferent) + " differs from the image");
            else
                out_.Status(phase, "Verify : " + burner.PublishedComparison);
        }
    }
    const TScsiError lastError = burner.LastError;

    if (rc == kExitOk && options_.simulate) {
        out_.Text(kSimulationFinished);
    } else if (rc == kExitOk) {
        for (const auto& line : SplitLines("CD Creation Complete!\r\nBe sure your computer can boot from your CD drive."))
            out_.Text(line);
    }

    // A burn whose bytes were not the published ones: the disc is read back for its own sum, so
    // that the user sees what it holds (there is no image left to compare it with).
    std::string discSha256;
    if (!burned && !burnRaised && outcome.Step == TJobStep::ImageChanged && imageFile.Changed().empty() &&
        !options_.noVerify) {
        phase = "verify";
        sample = ProgressSample();
        sample.total = sectors;
        out_.Status(phase, "Verify : Reading the track back for its SHA-256 (the image changed: it is not compared)");
        if (burner.ReadBackDigest(sectors, discSha256))
            out_.Status(phase, "Verify : SHA-256 of the disc " + discSha256);
        else if (burner.LastOutcome.Step == TJobStep::Interrupted)
            rc = InterruptExitCode();
        else
            out_.Status(phase, "Verify : Read Error at sector " + std::to_string(burner.LastOutcome.Sector) + " : " +
                                   ScsiErrorToText(burner.LastError));
        out_.EndProgress();
    }

    // Never leave the tray locked, whatever happened (the writer releases it again when freed).
    const bool unlocked = burner.UnlockMedium();
    const std::string tray = unlocked ? std::string("the tray is unlocked")
                                      : "the tray could not be unlocked: " + ScsiErrorToText(burner.LastError);
    const bool stopped = rc == kExitInterrupted || rc == kExitTerminated;
    if (stopped && phase == "verify") {
        out_.Error("interrupted while reading the track back: the disc is complete but not verified; " + tray);
    } else if (stopped && phase == "close") {
        // A close sent with IMMED goes on in the drive: the disc may still end up closed.
        out_.Error("interrupted while the disc was being closed, after all " + std::to_string(sectors) +
                   " sectors were sent; the drive finishes a close it has started by itself; " + tray);
    } else if (stopped) {
        out_.Error("interrupted after " + std::to_string(sectorsHandedOver) + " of " + std::to_string(sectors) +
                   " sectors; " + tray);
    } else if (!burned && !burnRaised && outcome.Step == TJobStep::ImageChanged) {
        const std::string now = imageFile.Changed();
        out_.Error("the image changed while it was burnt: " +
                   (now.empty() ? std::string("the ") + DigestName(published.Kind) + " of the bytes burnt is " +
                                      burner.BurntPublishedHex + ", the published one (" + published.Source + ") " +
                                      published.Hex
                                : "the image " + image + " is no longer as it was checked (" + now + ")") +
                   "; the disc holds the bytes read then and was not verified" +
                   (discSha256.empty() ? std::string() : " (read back, its SHA-256 is " + discSha256 + ")"));
    } else if (!burned && !burnRaised && rc != kExitOk) {
        out_.Error("the burn failed: Error : " + JobOutcomeText(outcome));
    } else if (rc == kExitVerify && changed) {
        out_.Error("the image " + image + " changed (size or modification time) since the burn started; "
                   "the disc holds what was read then and was not verified");
    } else if (rc == kExitVerify && firstDifferent < 0 && !burner.PublishedComparison.empty()) {
        out_.Error("the burnt track does not read back equal to the published image: " + burner.PublishedComparison);
    } else if (rc == kExitVerify) {
        out_.Error("the burnt track does not read back equal to the image");
    }
    if (!unlocked && !stopped) {
        out_.Error("the tray could not be unlocked: " + ScsiErrorToText(burner.LastError));
    }
    bool ejected = false;
    if (!options_.noEject) {
        phase = "eject";
        ejected = burner.Eject(true);
        if (!ejected) out_.Status(phase, "Eject : " + ScsiErrorToText(burner.LastError));
    }

    JsonObject fields;
    fields.Add("image", image)
        .Add("sectors", static_cast<std::int64_t>(sectors))
        .Add("sectors_sent", static_cast<std::int64_t>(sectorsHandedOver))
        .Add("last_error", ScsiErrorToText(lastError))
        .Add("verified", verified)
        .Add("tray_unlocked", unlocked)
        .Add("ejected", ejected)
        .Add("simulated", options_.simulate);
    if (verified) fields.Add("read_back_sha256", burner.ReadBackSha256);
    else if (!discSha256.empty()) fields.Add("read_back_sha256", discSha256);
    // What was handed to the drive, to hold against the published sum and the disc.
    if (!burner.BurntSha256.empty()) fields.Add("burnt_sha256", burner.BurntSha256);
    if (published.Found && !burner.BurntPublishedHex.empty()) fields.Add("checksum_burnt", burner.BurntPublishedHex);
    if (!burner.PublishedComparison.empty()) fields.Add("checksum_disc", burner.PublishedComparison);
    fields.Add("image_changed", outcome.Step == TJobStep::ImageChanged || changed);
    if (writeSpeedKBs_ >= 0) fields.Add("write_speed_kbs", writeSpeedKBs_);
    AddImageCheckFields(fields);
    if (firstDifferent >= 0) fields.Add("first_different_sector", static_cast<std::int64_t>(firstDifferent));
    else fields.AddNull("first_different_sector");
    Finish(rc, fields);
    return rc;
}

int Session::RefusePlan(const TDiscPlan& plan, JsonObject fields) {
    out_.EndProgress();
    out_.Error(plan.Refusal);
    if (plan.Verdict == TPlanVerdict::NeedsBlank) out_.Hint("Give --blank-as-needed to blank it and burn.");
    const int rc = plan.Verdict == TPlanVerdict::TooSmall ? kExitImage : kExitDiscUnusable;
    fields.Add("disc", plan.MediumName())
        .Add("disc_state", DiscStateText(plan.State))
        .Add("free_blocks", plan.FreeBlocks)
        .Add("refusal", plan.Refusal)
        .Add("tray_unlocked", true);
    Finish(rc, fields);
    return rc;
}

int Session::DiscInfo(TCDBurner& burner) {
    // No disc (or one still spinning up) is said as such rather than as a blank CD.
    if (const TScsiError ready = burner.WaitUntilReady(std::chrono::seconds(10)); ready != Err_None) {
        const std::string result = ScsiErrorToText(ready);
        out_.Error("disc-info: " + NotReadyText(ready));
        Finish(kExitCommandFailed, JsonObject().Add("result", result));
        return kExitCommandFailed;
    }
    const TDiscPlan disc = ProbeDisc(burner);
    // Only what the drive said: a drive without profiles names no medium.
    const std::string profile = disc.ProfileKnown ? disc.MediumName() : "unknown (the drive reports no profile)";
    const std::string nwa = disc.NextWritableValid ? std::to_string(disc.NextWritable) : "none";
    const std::string capacity =
        disc.Capacity >= 0 ? std::to_string(disc.Capacity) + " blocks (" + std::to_string(disc.Capacity / 512) + " MiB)"
                           : "unknown";
    out_.Text("Profile       : " + profile);
    out_.Text("Disc status   : " + std::string(DiscStateText(disc.State)));
    out_.Text("Erasable      : " + std::string(disc.Erasable ? "yes" : "no"));
    out_.Text("Sessions      : " + std::to_string(disc.Sessions));
    out_.Text("Tracks        : " + std::to_string(disc.Tracks));
    out_.Text("Next writable : " + nwa);
    out_.Text("Free blocks   : " + (disc.FreeBlocks >= 0 ? std::to_string(disc.FreeBlocks) : std::string("unknown")));
    out_.Text("Capacity      : " + capacity);
    JsonObject fields;
    fields.Add("profile", profile)
        .Add("profile_number", static_cast<int>(disc.Profile))
        .Add("status", DiscStateText(disc.State))
        .Add("erasable", disc.Erasable)
        .Add("sessions", static_cast<int>(disc.Sessions))
        .Add("tracks", static_cast<int>(disc.Tracks));
    if (disc.NextWritableValid) fields.Add("next_writable_address", static_cast<std::int64_t>(disc.NextWritable));
    else fields.AddNull("next_writable_address");
    fields.Add("free_blocks", disc.FreeBlocks).Add("capacity_blocks", disc.Capacity)
        .Add("capacity_mib", disc.Capacity >= 0 ? disc.Capacity / 512 : -1);
    Finish(kExitOk, fields);
    return kExitOk;
}

bool Session::LoadWaveTracks(TCDBurner& burner, std::string& refused) {
    for (const auto& file : options_.waveFiles) {
        TCDTrackItem* item = nullptr;
        try {
            item = &AddWaveFileTrack(burner.Tracks, file);
        } catch (const std::exception& e) {
            refused = file;
            out_.Error(std::string("cannot read the wave file ") + file + ": " + e.what());
            return false;
        }
        TCDTrack& track = *item->CDTrack();
        if (!track.IsValid() || track.AvailableDataSize() == 0) {
            refused = file;
            out_.Error(file + " is not a wave file with samples (" + item->DisplayName() + ")");
            return false;
        }
        if (IsCDAudioFormat(track)) continue;
        // The drive takes the bytes as they are: anything but CD audio plays as noise.
        if (!options_.force) {
            refused = file;
            out_.Error(file + " is " + track.FormatText() +
                       ", not CD audio (PCM 44.100 kHz, 16 Bit, Stereo): its samples would play as noise");
            out_.Hint("Convert it first, for example: sox '" + file +
                      "' -r 44100 -b 16 -c 2 converted.wav\nor give --force to burn its bytes as they are.");
            return false;
        }
        out_.Status("setup", "Warning : " + file + " is " + track.FormatText() + ", not CD audio; burnt as it is");
    }
    return true;
}

int Session::BurnAudio(TCDBurner& burner) {
    const std::int32_t count = static_cast<std::int32_t>(options_.waveFiles.size());
    std::string refused;
    if (!LoadWaveTracks(burner, refused)) {
        Finish(kExitImage, JsonObject().Add("file", refused));
        return kExitImage;
    }
    std::int64_t blocks = 0;
    std::string tracks = "[";
    for (std::int32_t t = 0; t < count; ++t) {
        TCDTrack& track = *burner.Tracks.Items(t).CDTrack();
        const std::int64_t trackBlocks = AudioBlocksOfTrack(track);
        blocks += trackBlocks;
        if (t) tracks += ',';
        tracks += JsonObject()
                      .Add("file", options_.waveFiles[static_cast<std::size_t>(t)])
                      .Add("title", track.TrackTitle)
                      .Add("format", track.FormatText())
                      .Add("blocks", trackBlocks)
                      .Str();
    }
    tracks += "]";

    std::string phase = "setup";
    ProgressSample sample;
    sample.total = blocks;
    std::int64_t sectorsHandedOver = 0;

    burner.OnStatus = [&](const std::string& text) {
        if (text.rfind("Burning :", 0) == 0) phase = "write";
        if (text.rfind("Blanking : ", 0) == 0) phase = "blank";
        if (text.rfind("Finished Writing", 0) == 0) phase = "close";
        out_.EndProgress();
        out_.Status(phase, Reworded(text));
    };
    burner.OnProgress = [&](std::int32_t address, std::int32_t percent) {
        if (phase == "blank") {
            ProgressSample prep;
            prep.percent = percent;
            out_.Progress(phase, prep, Output::Now());
            return;
        }
        // Addresses run on over all tracks, so the share of the whole job is address / blocks.
        sample.sector = address;
        sample.percent = blocks > 0 ? static_cast<int>((std::int64_t(address) + 1) * 100 / blocks) : percent;
        sectorsHandedOver = std::int64_t(address) + 1;
        out_.Progress(phase, sample, Output::Now());
    };
    burner.OnBufferProgress = [&](std::int32_t percent) { sample.driveBuffer = percent; };

    JobScope job(burner);
    if (const int rc = StartJob(burner, job.hold, JsonObject().AddRaw("tracks", tracks)); rc != kExitOk) return rc;

    const TDiscPlan plan = PlanAudioBurn(burner, options_.blankAsNeeded);
    if (!plan.CanBurn()) return RefusePlan(plan, JsonObject().AddRaw("tracks", tracks));
    if (const int rc = PrepareWrite(burner, plan, JsonObject().AddRaw("tracks", tracks)); rc != kExitOk) return rc;
    bool blanked = true;
    // A blank first locks the tray, and it stays locked into the burn.
    std::optional<TTrayLock> blankAndBurn;
    if (plan.BlankFirst) {
        blankAndBurn.emplace(burner);
        burner.OnStatus("Blanking : " + plan.MediumName());
        blanked = burner.Blank(0, 0);
        out_.EndProgress();
        burner.OnStatus(blanked ? std::string("Blanking Finished!")
                                : "Error : Blank Error : " + ScsiErrorToText(burner.LastError));
    }

    int rc = kExitOk;
    bool burned = blanked;
    if (burned) {
        try {
            burned = burner.BurnAudioTracks(count);
        } catch (const std::exception& e) {
            burned = false;
            out_.EndProgress();
            out_.Error(e.what());
            rc = kExitImage;
        }
    }
    out_.EndProgress();
    const TJobOutcome outcome = burner.LastOutcome;
    if (rc == kExitOk && !burned) rc = ExitCodeOfFailure(outcome.Step, InterruptExitCode());
    blankAndBurn.reset();
    const TScsiError lastError = burner.LastError;
    if (rc == kExitOk) out_.Text(options_.simulate ? kSimulationFinished : "Audio Tracks Finished!");

    // Never leave the tray locked, whatever happened.
    const bool unlocked = burner.UnlockMedium();
    const std::string tray = unlocked ? std::string("the tray is unlocked")
                                      : "the tray could not be unlocked: " + ScsiErrorToText(burner.LastError);
    if (rc == kExitInterrupted || rc == kExitTerminated) {
        out_.Error("interrupted after " + std::to_string(sectorsHandedOver) + " of " + std::to_string(blocks) +
                   " blocks; " + tray);
    } else if (rc != kExitOk) {
        out_.Error("the audio burn failed: Error : " + JobOutcomeText(outcome));
        if (!unlocked) out_.Error(tray);
    } else if (!unlocked) {
        out_.Error(tray);
    }
    bool ejected = false;
    if (!options_.noEject) {
        phase = "eject";
        ejected = burner.Eject(true);
        if (!ejected) out_.Status(phase, "Eject : " + ScsiErrorToText(burner.LastError));
    }
    Finish(rc, JsonObject()
                   .AddRaw("tracks", tracks)
                   .Add("sectors", blocks)
                   .Add("sectors_sent", sectorsHandedOver)
                   .Add("last_error", ScsiErrorToText(lastError))
                   .Add("tray_unlocked", unlocked)
                   .Add("ejected", ejected)
                   .Add("simulated", options_.simulate));
    return rc;
}

}  // namespace

int ExitCodeOfFailure(TJobStep step, int interruptCode) {
    switch (step) {
    case TJobStep::None: return kExitWrite;   // a failed job that named no step
    case TJobStep::Interrupted: return interruptCode;
    case TJobStep::NotReady: return kExitCommandFailed;
    case TJobStep::Medium: return kExitDiscUnusable;
    case TJobStep::WriteParameters: return kExitWriteParameters;
    case TJobStep::Input: return kExitImage;
    case TJobStep::Write:
    case TJobStep::BufferStall: return kExitWrite;
    case TJobStep::SyncCache:
    case TJobStep::CloseTrack:
    case TJobStep::CloseSession: return kExitClosing;
    case TJobStep::Blank:
    case TJobStep::Format: return kExitCommandFailed;
    case TJobStep::Verify: return kExitVerify;
    case TJobStep::InUse: return kExitInUse;
    case TJobStep::ImageChanged: return kExitVerify;
    }
    return kExitWrite;
}

void SetStatusWordingForTesting(StatusWording wording) { gWording = wording; }

int Run(const Options& options, Output& output) {
    EnableScsiTrace(options.trace);
    Session session(options, output);
    const int rc = session.Run();
    EnableScsiTrace(false);
    return rc;
}

}  // namespace cli
