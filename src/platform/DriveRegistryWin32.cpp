// The system's CD-ROM drives on Windows, from the drive letters it uses.
#include "platform/DriveRegistry.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace win {

namespace {

// Listed again only when the set of letters changes (GetLogicalDrives is one cheap call).
class SystemLetterDrives final : public detail::SystemDrives {
public:
    bool Refresh() override {
        const std::uint32_t mask = ::GetLogicalDrives();
        if (listed_ && mask == mask_) return false;
        std::vector<detail::OpticalDrive> drives;
        for (char letter = 'A'; letter <= 'Z'; ++letter) {
            if ((mask & detail::LetterBit(letter)) == 0) continue;
            const char root[] = {letter, ':', '\\', '\0'};
            if (::GetDriveTypeA(root) != DRIVE_CDROM) continue;
            detail::OpticalDrive d;
            d.letter = letter;
            d.kernelPath = std::string("\\\\.\\") + letter + ':';
            drives.push_back(std::move(d));
        }
        const auto letters = [](const std::vector<detail::OpticalDrive>& list) {
            std::string s;
            for (const auto& d : list) s += d.letter;
            return s;
        };
        const bool changed = listed_ && letters(drives) != letters(drives_);
        listed_ = true;
        mask_ = mask;
        drives_ = std::move(drives);
        return changed;
    }
    const std::vector<detail::OpticalDrive>& Drives() const override { return drives_; }
    std::uint32_t UsedLetters() const override { return mask_; }

private:
    bool listed_ = false;
    std::uint32_t mask_ = 0;
    std::vector<detail::OpticalDrive> drives_;
};

}  // namespace

namespace detail {

std::unique_ptr<SystemDrives> MakeSystemDrives() { return std::make_unique<SystemLetterDrives>(); }

// Windows refuses an exclusive open while any handle is open (Explorer's, this program's own
// drive list): the refusal says nothing about another burner.
bool SystemDrivesTellUse() { return false; }

}  // namespace detail

// Windows keeps no identification record of a drive that could be read without asking it; a
// busy drive is listed without its names.
bool KernelDriveIdentity(const std::string& /*sysfsRoot*/, const std::string& /*devicePath*/, DriveIdentity& /*identity*/) {
    return false;
}
bool KnownDriveIdentity(char /*letter*/, DriveIdentity& /*identity*/) { return false; }
void SetSysfsRootForTesting(std::string /*root*/) {}

// A drive letter is its own mount point on Windows; a job has nothing to report there.
std::string MountPointOfLetter(char /*letter*/) { return {}; }

}  // namespace win
