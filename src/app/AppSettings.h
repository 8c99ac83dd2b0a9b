// What the desktop program remembers between runs: the image the user chose last and the
// options of a burn. Kept in one INI file (QSettings) so that tests can point it elsewhere.
#pragma once

#include <cstdint>

#include <QString>

struct TJobChoices {
    bool Verify = true;             // read the disc back after a data burn
    bool Simulate = false;          // Test Write: the drive records nothing
    bool Eject = true;              // eject the disc when a burn has ended
    bool KeepSessionOpen = false;   // leave the disc appendable
    std::uint32_t Speed = 0;        // x of the disc's family; 0: the drive's best
};

TJobChoices LoadJobChoices();
void SaveJobChoices(const TJobChoices& Choices);

// The image chosen last (empty: none, the rescue image is burnt).
QString LoadLastImage();
void SaveLastImage(const QString& Path);

// The settings file to use instead of the user's (tests, and unattended screenshot runs);
// empty restores the default.
void UseSettingsFile(const QString& Path);
