#include "burner/WriteSpeed.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "mmc/ScsiSpeed.h"

TMediumFamily MediumFamilyOfProfile(std::uint16_t Profile)
{
    if (const kvcat::Medium* row = kvcat::MediumByProfile(Profile))
        return row->family;
    // A profile the catalogue has no row for, by the MMC profile list: 0010h..002Bh DVD,
    // 0040h..0043h BD.
    if (Profile >= 0x0010 && Profile <= 0x002B)
        return TMediumFamily::DVD;
    if (Profile >= 0x0040 && Profile <= 0x0043)
        return TMediumFamily::BD;
    return TMediumFamily::CD;
}

TMediumFamily MediumFamilyOf(TCDBurner& Burner, std::uint16_t* Profile)
{
    std::uint16_t profile = 0;
    if (ScsiGetCurrentProfile(Burner.Info, profile, Burner.CommandSettings) != Err_None)
        profile = 0;
    if (Profile)
        *Profile = profile;
    return MediumFamilyOfProfile(profile);
}

double KBsPerX(TMediumFamily Family)
{
    return kvcat::SpeedsOf(Family).exactKbsPerX;
}

const char* FamilyName(TMediumFamily Family)
{
    return kvcat::SpeedsOf(Family).name;
}

std::string SpeedText(std::uint32_t KBs, TMediumFamily Family)
{
    const double x = KBs / KBsPerX(Family);
    char text[32];
    // Drives round 1x to 176 or 177 kB/s; a speed within half a percent of a whole x is that x.
    if (std::fabs(x - std::round(x)) < 0.01 * std::max(1.0, x) || x >= 10)
        std::snprintf(text, sizeof text, "%.0fx", std::round(x));
    else
        std::snprintf(text, sizeof text, "%.1fx", x);
    return text;
}

bool SetWriteSpeed(TCDBurner& Burner, std::uint32_t X, TMediumFamily Family, std::uint32_t& ReportedKBs)
{
    ReportedKBs = 0;
    // Rounded up: 8x on a CD is 1411.2 kB/s, and a drive takes the speed at or below the one asked.
    const std::uint32_t kbs =
        X == 0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(std::ceil(X * KBsPerX(Family) - 1e-9));
    if (Family == TMediumFamily::CD) {
        const auto write = static_cast<std::uint16_t>(std::min<std::uint32_t>(kbs, kScsiSpeedMax));
        Burner.LastError = ScsiSetCDSpeed(Burner.Info, kScsiSpeedMax, write, Burner.CommandSettings);
    } else {
        // The performance descriptor covers the whole disc; its end is the last block the
        // drive could write.
        std::uint32_t end = 0;
        TScsiTrackInformation track;
        if (Burner.ReadTrackInformation(1, 0xFF, track))
            end = track.TrackStart + std::max<std::uint32_t>(track.FreeBlocks, 1) - 1;
        Burner.LastError = ScsiSetStreaming(Burner.Info, end, X == 0 ? 0xFFFFFFFFu : kbs, X == 0 ? 0xFFFFFFFFu : kbs,
                                            X == 0, Burner.CommandSettings);
    }
    if (Burner.LastError != Err_None)
        return false;
    std::uint16_t selected = 0;
    if (ScsiGetSelectedWriteSpeed(Burner.Info, selected, Burner.CommandSettings) == Err_None)
        ReportedKBs = selected;
    return true;
}

std::vector<std::uint32_t> OfferedWriteSpeeds(TCDBurner& Burner, TScsiError& Error)
{
    std::vector<TScsiWriteSpeedDescriptor> descriptors;
    Error = ScsiGetWriteSpeeds(Burner.Info, descriptors, Burner.CommandSettings);
    std::vector<std::uint32_t> speeds;
    for (const auto& d : descriptors)
        if (d.WriteKBs > 0)
            speeds.push_back(d.WriteKBs);
    std::sort(speeds.begin(), speeds.end(), std::greater<>());
    speeds.erase(std::unique(speeds.begin(), speeds.end()), speeds.end());
    return speeds;
}

bool CanSimulate(TCDBurner& Burner, const TDiscPlan& Plan, std::string& Why)
{
    if (SimulationRefused(Plan, Why))
        return false;
    if (Plan.DriveTestWrite > 0)
        return true;
    // A drive that lists no write feature for the disc says it on its capabilities page.
    TScsiDeviceCapabilities caps;
    const TScsiError error = ScsiGetCapabilities(Burner.Info, caps, Burner.CommandSettings);
    if (error != Err_None || !caps.Has(dcTestWrite)) {
        Why = "the drive cannot write in test mode (its capabilities page offers no test write): "
              "a simulated burn is not possible";
        return false;
    }
    return true;
}

bool LoadTray(TCDBurner& Burner)
{
    Burner.LastError = ScsiStartStopUnit(Burner.Info, true, true, false, Burner.CommandSettings);
    return Burner.LastError == Err_None;
}
