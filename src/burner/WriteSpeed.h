// What a user chooses about a burn besides the image: the write speed, a simulated burn, a
// quick blank, closing the tray. The medium family (CD, DVD, BD) decides which speed command a
// drive takes and what "1x" means.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "burner/CDBurner.h"
#include "burner/DiscPlan.h"
#include "catalog/Media.h"

// The catalogue's family: it says what 1x is and how the family is named.
using TMediumFamily = kvcat::Family;

// From the GET CONFIGURATION current profile; a drive that does not answer is a CD writer.
TMediumFamily MediumFamilyOf(TCDBurner& Burner, std::uint16_t* Profile = nullptr);
TMediumFamily MediumFamilyOfProfile(std::uint16_t Profile);
// kB/s of 1x (the catalogue's): CD 176.4, DVD 1,385, BD 4,495.
double KBsPerX(TMediumFamily Family);
// "CD", "DVD", "BD" (the catalogue's).
const char* FamilyName(TMediumFamily Family);
// The speed in the medium's x, rounded to one decimal place where it is not whole: "8x", "2.4x".
std::string SpeedText(std::uint32_t KBs, TMediumFamily Family);

// Sets the write speed: X in the medium's x, 0 for the drive's best. CD: SET CD SPEED;
// DVD and BD: SET STREAMING. ReportedKBs is the write speed the drive then reports (the
// capabilities page's selected write speed; 0 when it does not say). Stores LastError.
bool SetWriteSpeed(TCDBurner& Burner, std::uint32_t X, TMediumFamily Family, std::uint32_t& ReportedKBs);

// The write speeds the drive offers for the disc in it (GET PERFORMANCE), fastest first,
// without repeats; kB/s.
std::vector<std::uint32_t> OfferedWriteSpeeds(TCDBurner& Burner, TScsiError& Error);

// Whether the drive can simulate the burn of Plan; Why says what stands in the way. Only
// media whose write parameters carry Test Write (CD-R/RW, sequential DVD-R/-RW, DVD-R DL) can,
// and only when nothing has to be blanked or formatted first and the drive offers test
// writing: the Test Write bit of its write feature for the disc, else its capabilities page.
// Nothing that changes the disc is sent.
bool CanSimulate(TCDBurner& Burner, const TDiscPlan& Plan, std::string& Why);

// The end of a simulated burn, in place of the completion message.
inline constexpr char kSimulationFinished[] = "Simulation finished: nothing was written.";

// BLANK types: the whole disc, or the minimal blank (PMA, TOC and the first track's pregap).
inline constexpr std::uint8_t kBlankFull = 0;
inline constexpr std::uint8_t kBlankMinimal = 1;

// Closes the tray (START STOP UNIT, LoEj and Start). Stores LastError.
bool LoadTray(TCDBurner& Burner);
