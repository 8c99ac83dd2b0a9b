// The writers of the machine: every drive letter the system reports as a CD-ROM drive, asked
// for its identification and SCSI address once, at construction, and one TCDBurner each.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "burner/CDBurner.h"
#include "platform/WinApi.h"

struct TDriveScanEntry {
    std::uint8_t Port = 0;
    std::uint8_t Target = 0;
    std::uint8_t Lun = 0;
    std::string Vendor;           // INQUIRY characters 1-8 counted from byte 8
    std::string Product;          // 9-24
    std::string Revision;         // 25-28
    std::string VendorSpecific;   // 29-48
    std::string FullName;         // vendor + product + revision
    char DriveLetter = 0;
    win::HANDLE Handle = nullptr;   // null when the drive could not be opened or asked
    // errno of a failed open (EACCES: no permission on the device), 0 otherwise; lets a
    // front end tell the user how to get access.
    int OpenErrno = 0;
    // Another program holds the drive (mounted, or burning): it was sent no INQUIRY, and the
    // texts above are what the system already knew of it (empty where it knows nothing).
    bool InUse = false;
};

struct TDriveScanTable {
    std::uint8_t Count = 0;
    TDriveScanEntry Rows[26];
};

// Port, target, LUN and letter packed as the device-access layer expects; option bits 0.
std::uint32_t MakePackedAddress(std::uint8_t Port, std::uint8_t Target, std::uint8_t Lun, char Letter);

class TCDBurnerList {
public:
    TCDBurnerList();
    // Frees the writers from position 0 upwards (each releases its tray), then closes the
    // device handles of the scan.
    ~TCDBurnerList();
    TCDBurnerList(const TCDBurnerList&) = delete;
    TCDBurnerList& operator=(const TCDBurnerList&) = delete;

    int Count() const { return static_cast<int>(FEntries.size()); }
    // Null for a position outside 0..Count-1.
    TCDBurner* Burners(int Position) const;
    const TDriveScanTable& ScanTable() const { return FDriveTable; }
    // errno of the failed open of the writer at Position (EACCES, ENOENT ...), 0 when it
    // opened or the position is outside the list.
    int OpenErrno(int Position) const
    {
        return Position >= 0 && Position < FDriveTable.Count ? FDriveTable.Rows[Position].OpenErrno : 0;
    }

private:
    int ListCDDrives();
    void InquireDrive(TDriveScanEntry& Row);
    // IOCTL_SCSI_GET_ADDRESS into the row, or the address the transport made up for it.
    void StoreAddress(win::HANDLE Handle, TDriveScanEntry& Row);
    bool ScanDrives();
    void ScanBurners();

    TDriveScanTable FDriveTable;
    std::vector<std::pair<std::string, std::unique_ptr<TCDBurner>>> FEntries;
};
