// The commands that only ask the drive (or the file system) and report what it said.
#include <cstring>

#include "burner/DriveAccess.h"
#include "burner/RescueImage.h"
#include "burner/WriteParameters.h"
#include "burner/JobScope.h"
#include "burner/WriteSpeed.h"
#include "cli/ExitCodes.h"
#include "cli/Session.h"
#include "platform/VirtualDevice.h"

namespace cli {

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
    // Beside the optical writers: the removable drives a rescue image can be written to.
    const std::string sticks = ListSticks();
    if (count == 0) {
        out_.Hint("No CD burners found on this computer.");
        if (sticks.size() <= 2) {
            Finish(kExitNoWriter, JsonObject().AddRaw("drives", array).AddRaw("sticks", sticks));
            return kExitNoWriter;
        }
    }
    Finish(kExitOk, JsonObject().AddRaw("drives", array).AddRaw("sticks", sticks));
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

int Session::DiscInfo(TCDBurner& burner) {
    // No disc (or one still spinning up) is said as such rather than as a blank CD.
    if (const TScsiError ready = burner.WaitUntilReady(std::chrono::seconds(10)); ready != Err_None) {
        const std::string result = ScsiErrorToText(ready);
        out_.Error("disc-info: " + NotReadyText(ready));
        Finish(kExitCommandFailed, JsonObject().Add("result", result));
        return kExitCommandFailed;
    }
    const TDiscPlan disc = ProbeDisc(burner);
    for (const std::string& line : DiscInfoLines(disc)) out_.Text(line);
    const std::string profile = DiscProfileText(disc);
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

}  // namespace cli
