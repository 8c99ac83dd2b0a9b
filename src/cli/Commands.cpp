#include "cli/Commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "burner/CDBurners.h"
#include "burner/FrontEndSupport.h"
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
    int Attach(const std::vector<std::string>& driveSpecs, Output& out) {
        for (const auto& driveSpec : driveSpecs) {
            vdrive::VirtualDriveOptions parsed;
            std::string error;
            if (!vdrive::ParseVirtualDriveSpec(driveSpec, parsed, error)) {
                out.Error("--virtual-drive " + driveSpec + ": " + error);
                return kExitUsage;
            }
            auto writer = vdrive::AttachVirtualDrive(driveSpec, error);
            if (!writer) {
                out.Error("cannot attach the virtual drive " + driveSpec + ": " + error);
                return kExitNoWriter;
            }
            writers_.push_back(std::move(writer));
        }
        return kExitOk;
    }

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
    int StartJob(TCDBurner& burner, JsonObject fields);
    int Blank(TCDBurner& burner);
    int Capabilities(TCDBurner& burner);
    int Speeds(TCDBurner& burner);
    int PageReport(TCDBurner& burner, const std::vector<std::string>& lines);
    int WriterParams(TCDBurner& burner);
    int Toc(TCDBurner& burner);
    int DvdStructure(TCDBurner& burner);
    int Buffer(TCDBurner& burner);
    int WriteMode(TCDBurner& burner);
    int Eject(TCDBurner& burner);

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
};

int Session::Run() {
    VirtualDrives virtualDrives;
    if (int rc = virtualDrives.Attach(options_.virtualDrives, out_); rc != kExitOk) {
        Finish(rc);
        return rc;
    }
    // The list releases every tray when it goes, before the virtual drives are detached.
    list_ = std::make_unique<TCDBurnerList>();
    struct ListReset {
        std::unique_ptr<TCDBurnerList>& list;
        ~ListReset() { list.reset(); }
    } listReset{list_};

    if (options_.command == Command::Drives) return Drives();

    int rc = kExitOk;
    TCDBurner* burner = SelectWriter(rc);
    if (!burner) {
        Finish(rc);
        return rc;
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
    case Command::Drives:
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
    case DriveSelector::Kind::Default: position = 0; break;
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
            .Add("accessible", row.Handle != nullptr);
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
int Session::PageReport(TCDBurner& burner, const std::vector<std::string>& lines) {
    ReportLines(lines);
    std::uint8_t page[26] = {};
    const TScsiError error = ScsiGetCapabilitiesPage(burner.Info, page, burner.CommandSettings);
    const std::string result = ScsiErrorToText(error);
    const int rc = error == Err_None ? kExitOk : kExitCommandFailed;
    if (rc != kExitOk) out_.Error(std::string(CommandName(options_.command)) + ": " + result);
    Finish(rc, JsonObject().Add("result", result));
    return rc;
}

int Session::Capabilities(TCDBurner& burner) { return PageReport(burner, burner.GetCapabilitiesReport()); }

int Session::Speeds(TCDBurner& burner) { return PageReport(burner, burner.GetSpeedsReport()); }

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

int Session::Blank(TCDBurner& burner) {
    burner.OnStatus = [this](const std::string& text) { out_.Status("blank", text); };
    burner.OnProgress = [this](std::int32_t, std::int32_t percent) {
        ProgressSample sample;
        sample.percent = percent;
        out_.Progress("blank", sample, Output::Now());
    };
    // A drive cannot be stopped once it blanks: Ctrl-C only says so.
    static constexpr char kBlankMessage[] =
        "\nInterrupted: the drive finishes the blank it has started; waiting for it "
        "(press Ctrl-C again to quit at once)\n";
    SetCancelTarget(&burner.CancelRequested, kBlankMessage);
    const bool ok = burner.Blank(0, 0);
    SetCancelTarget(nullptr);
    burner.OnStatus = nullptr;
    burner.OnProgress = nullptr;
    out_.EndProgress();

    const std::string result = ScsiErrorToText(burner.LastError);
    int rc = kExitOk;
    if (ok) {
        out_.Text("Blanking Finished!");
    } else if (burner.LastOutcome.Step == TJobStep::InUse) {
        rc = kExitInUse;
    } else if (Interrupted()) {
        out_.Error("interrupted; the drive finishes a blank it has started by itself");
        rc = kExitInterrupted;
    } else {
        out_.Text(result);
        if (out_.json()) out_.Error("blank: " + result);
        rc = kExitCommandFailed;
    }
    Finish(rc, JsonObject().Add("result", result));
    return rc;
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

int Session::StartJob(TCDBurner& burner, JsonObject fields) {
    // Refused before anything is sent: another program's commands would come between ours.
    if (const TDeviceHold probe(burner.Info); probe.InUse()) {
        out_.Error(probe.InUseText());
        Finish(kExitInUse, fields);
        return kExitInUse;
    }
    // A drive without a disc, or one still spinning up, is told apart from a failed write.
    if (const TScsiError ready = WaitForDriveBeforeBurn(burner); ready != Err_None) {
        const std::string result = ScsiErrorToText(ready);
        out_.Error("the drive is not ready (no disc?): " + result);
        Finish(kExitCommandFailed, fields.Add("last_error", result));
        return kExitCommandFailed;
    }
    if (Interrupted()) {
        out_.Error("interrupted before anything was written");
        burner.UnlockMedium();
        Finish(kExitInterrupted, fields);
        return kExitInterrupted;
    }
    return kExitOk;
}

int Session::Burn(TCDBurner& burner) {
    const std::string image = options_.image.empty() ? RescueImagePath(ProgramFolder()) : options_.image;

    // A missing image is refused before the drive is touched.
    struct stat st;
    if (::stat(image.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(image.c_str(), R_OK) != 0) {
        const int err = errno;
        const std::string why = ::stat(image.c_str(), &st) == 0 && !S_ISREG(st.st_mode) ? "not a regular file"
                                                                                        : std::strerror(err);
        out_.Text("Error creating CD.");
        out_.Error("cannot read the image " + image + ": " + why);
        Finish(kExitImage, JsonObject().Add("image", image));
        return kExitImage;
    }
    const std::int64_t sectors = st.st_size / kSectorBytes;

    std::string phase = "setup";
    std::vector<std::string> statusLines;
    ProgressSample sample;
    sample.total = sectors;
    std::int64_t sectorsHandedOver = 0;

    burner.OnStatus = [&](const std::string& text) {
        if (text == "HardWare : Set Write Mode OK") phase = "write";
        if (text.rfind("Finished Writing", 0) == 0) phase = "close";
        statusLines.push_back(text);
        if (phase == "close") out_.EndProgress();
        out_.Status(phase, text);
    };
    burner.OnProgress = [&](std::int32_t index, std::int32_t percent) {
        sample.sector = index;
        // The share of the sectors done: the writer's own percent (the one the progress window
        // shows) reaches 100 well before the last sector of a small image.
        sample.percent = sectors > 0 ? static_cast<int>((std::int64_t(index) + 1) * 100 / sectors) : percent;
        if (phase == "write") sectorsHandedOver = std::int64_t(index) + 1;
        out_.Progress(phase, sample, Output::Now());
    };
    burner.OnBufferProgress = [&](std::int32_t percent) { sample.driveBuffer = percent; };
    burner.OnFileBufferProgress = [&](std::int32_t percent) { sample.fileBuffer = percent; };

    JobScope job(burner);
    if (const int rc = StartJob(burner, JsonObject().Add("image", image)); rc != kExitOk) return rc;

    int rc = kExitOk;
    bool burned = false;
    bool burnRaised = false;
    try {
        burned = burner.BurnDataImage(image, options_.keepSessionOpen ? 0 : 1);
    } catch (const std::exception& e) {
        burnRaised = true;
        out_.EndProgress();
        out_.Text("Error creating CD.");
        out_.Error(e.what());
        rc = kExitImage;
    }
    out_.EndProgress();
    if (rc == kExitOk && !burned) rc = ExitCodeOfFailure(ClassifyBurnFailure(statusLines, Interrupted()));

    bool verified = false;
    std::int64_t firstDifferent = -1;
    if (rc == kExitOk && !options_.noVerify) {
        phase = "verify";
        sample = ProgressSample();
        sample.total = sectors;
        out_.Status(phase, "Verify : Reading the track back");
        bool readable = true;
        try {
            verified = burner.VerifyImage(image, firstDifferent);
        } catch (const std::exception& e) {
            readable = false;
            out_.Error(std::string("cannot read the image again: ") + e.what());
        }
        out_.EndProgress();
        if (!readable) {
            rc = kExitImage;
        } else if (verified) {
            out_.Status(phase, "Verify : " + std::to_string(sectors) + " sectors equal the image");
        } else if (Interrupted()) {
            rc = kExitInterrupted;
        } else {
            rc = kExitVerify;
            if (burner.LastError != Err_None)
                out_.Status(phase, "Verify : Read Error at sector " + std::to_string(firstDifferent) + " : " +
                                       ScsiErrorToText(burner.LastError));
            else
                out_.Status(phase, "Verify : Sector " + std::to_string(firstDifferent) + " differs from the image");
        }
    }
    const TScsiError lastError = burner.LastError;

    if (rc == kExitOk) {
        for (const auto& line : SplitLines("CD Creation Complete!\r\nBe sure your computer can boot from your CD drive."))
            out_.Text(line);
    }

    // Never leave the tray locked, whatever happened (the writer releases it again when freed).
    const bool unlocked = burner.UnlockMedium();
    const std::string tray = unlocked ? std::string("the tray is unlocked")
                                      : "the tray could not be unlocked: " + ScsiErrorToText(burner.LastError);
    if (rc == kExitInterrupted && phase == "verify") {
        out_.Error("interrupted while reading the track back: the disc is complete but not verified; " + tray);
    } else if (rc == kExitInterrupted) {
        out_.Error("interrupted after " + std::to_string(sectorsHandedOver) + " of " + std::to_string(sectors) +
                   " sectors; " + tray);
    } else if (!burned && !burnRaised && rc != kExitOk) {
        out_.Error("the burn failed: " + BurnFailureText(statusLines, lastError));
    } else if (rc == kExitVerify) {
        out_.Error("the burnt track does not read back equal to the image");
    }
    if (!unlocked && rc != kExitInterrupted) {
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
        .Add("ejected", ejected);
    if (firstDifferent >= 0) fields.Add("first_different_sector", static_cast<std::int64_t>(firstDifferent));
    else fields.AddNull("first_different_sector");
    Finish(rc, fields);
    return rc;
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
    std::vector<std::string> statusLines;
    ProgressSample sample;
    sample.total = blocks;
    std::int64_t sectorsHandedOver = 0;

    burner.OnStatus = [&](const std::string& text) {
        if (text.rfind("Burning :", 0) == 0) phase = "write";
        if (text.rfind("Finished Writing", 0) == 0) phase = "close";
        statusLines.push_back(text);
        out_.EndProgress();
        out_.Status(phase, text);
    };
    burner.OnProgress = [&](std::int32_t address, std::int32_t percent) {
        // Addresses run on over all tracks, so the share of the whole job is address / blocks.
        sample.sector = address;
        sample.percent = blocks > 0 ? static_cast<int>((std::int64_t(address) + 1) * 100 / blocks) : percent;
        sectorsHandedOver = std::int64_t(address) + 1;
        out_.Progress(phase, sample, Output::Now());
    };
    burner.OnBufferProgress = [&](std::int32_t percent) { sample.driveBuffer = percent; };

    JobScope job(burner);
    if (const int rc = StartJob(burner, JsonObject().AddRaw("tracks", tracks)); rc != kExitOk) return rc;

    int rc = kExitOk;
    bool burned = AudioTracksFitDisc(burner, count);
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
    if (rc == kExitOk && !burned) rc = ExitCodeOfFailure(ClassifyBurnFailure(statusLines, Interrupted()));
    const TScsiError lastError = burner.LastError;
    if (rc == kExitOk) out_.Text("Audio Tracks Finished!");

    // Never leave the tray locked, whatever happened.
    const bool unlocked = burner.UnlockMedium();
    const std::string tray = unlocked ? std::string("the tray is unlocked")
                                      : "the tray could not be unlocked: " + ScsiErrorToText(burner.LastError);
    if (rc == kExitInterrupted) {
        out_.Error("interrupted after " + std::to_string(sectorsHandedOver) + " of " + std::to_string(blocks) +
                   " blocks; " + tray);
    } else if (rc != kExitOk) {
        out_.Error("the audio burn failed: " + BurnFailureText(statusLines, lastError));
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
                   .Add("ejected", ejected));
    return rc;
}

}  // namespace

int ExitCodeOfFailure(TBurnFailure failure) {
    switch (failure) {
    case TBurnFailure::Interrupted: return kExitInterrupted;
    case TBurnFailure::NotReady: return kExitCommandFailed;
    case TBurnFailure::WriteParameters: return kExitWriteParameters;
    case TBurnFailure::Input: return kExitImage;
    case TBurnFailure::Write: return kExitWrite;
    case TBurnFailure::Closing: return kExitClosing;
    }
    return kExitWrite;
}

int Run(const Options& options, Output& output) {
    EnableScsiTrace(options.trace);
    Session session(options, output);
    const int rc = session.Run();
    EnableScsiTrace(false);
    return rc;
}

}  // namespace cli
