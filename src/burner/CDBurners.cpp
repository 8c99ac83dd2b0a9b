#include "burner/CDBurners.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "platform/VirtualDevice.h"
#include "scsi/SCSITypes.h"

namespace {

constexpr std::uint32_t kInquiryLength = 100;
constexpr std::uint32_t kInquiryTimeoutSeconds = 2;

// The INQUIRY texts from byte 8 on end at the first zero byte; fields are cut by position.
std::string Field(const std::string& text, std::size_t from, std::size_t length)
{
    return from < text.size() ? text.substr(from, length) : std::string();
}

}  // namespace

std::uint32_t MakePackedAddress(std::uint8_t Port, std::uint8_t Target, std::uint8_t Lun, char Letter)
{
    const std::uint32_t low = ((std::uint32_t(Lun) & 7u) << 5) | (static_cast<std::uint8_t>(Letter) & 0x1Fu);
    return (std::uint32_t(Port) << 24) | (std::uint32_t(Target) << 16) | (low << 8);
}

TCDBurnerList::TCDBurnerList()
{
    ScanBurners();
}

TCDBurnerList::~TCDBurnerList()
{
    for (auto& entry : FEntries)
        entry.second.reset();
    FEntries.clear();
    for (int i = 0; i < FDriveTable.Count; ++i)
        if (FDriveTable.Rows[i].Handle)
            win::CloseHandle(FDriveTable.Rows[i].Handle);
}

TCDBurner* TCDBurnerList::Burners(int Position) const
{
    if (Position < 0 || Position >= Count())
        return nullptr;
    return FEntries[static_cast<std::size_t>(Position)].second.get();
}

int TCDBurnerList::ListCDDrives()
{
    // 26 roots of "X:\" plus their zeros, and the final zero.
    char roots[105] = {};
    const win::DWORD length = win::GetLogicalDriveStringsA(sizeof roots, roots);
    if (length == 0 || length > sizeof roots)
        return FDriveTable.Count;
    for (const char* root = roots; root < roots + sizeof roots && *root; root += std::strlen(root) + 1) {
        if (FDriveTable.Count >= 26)
            break;
        if (win::GetDriveTypeA(root) == win::DRIVE_CDROM)
            FDriveTable.Rows[FDriveTable.Count++].DriveLetter = root[0];
    }
    return FDriveTable.Count;
}

void TCDBurnerList::InquireDrive(TDriveScanEntry& Row)
{
    char path[8];
    std::snprintf(path, sizeof path, "\\\\.\\%c:", Row.DriveLetter);
    win::DWORD access = win::GENERIC_READ;
    if (GetOSPlatform() >= 4)
        access |= win::GENERIC_WRITE;
    win::HANDLE handle = win::CreateFileA(path, access, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr,
                                          win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == win::INVALID_HANDLE_VALUE || handle == nullptr) {
        Row.OpenErrno = win::GetLastErrno();
        return;
    }

    // A drive another program holds gets no command at all, not even INQUIRY (its commands
    // would come between that program's): the kernel's record names it. The address query
    // below is the system's, not a drive command.
    Row.InUse = win::OpticalDriveInUse(Row.DriveLetter);
    if (Row.InUse) {
        win::DriveIdentity known;
        if (win::KnownDriveIdentity(Row.DriveLetter, known)) {
            Row.Vendor = known.vendor;
            Row.Product = known.product;
            Row.Revision = known.revision;
            Row.FullName = Row.Vendor + Row.Product + Row.Revision;
        }
        Row.Handle = handle;
        StoreAddress(handle, Row);
        return;
    }

    alignas(8) std::uint8_t block[1024] = {};
    std::uint8_t data[kInquiryLength] = {};
    auto* sptd = reinterpret_cast<win::SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER*>(block);
    sptd->sptd.Length = sizeof(win::SCSI_PASS_THROUGH_DIRECT);
    sptd->sptd.CdbLength = 6;
    sptd->sptd.SenseInfoLength = 24;
    sptd->sptd.DataIn = win::SCSI_IOCTL_DATA_IN;
    sptd->sptd.DataTransferLength = kInquiryLength;
    sptd->sptd.TimeOutValue = kInquiryTimeoutSeconds;
    sptd->sptd.DataBuffer = data;
    sptd->sptd.SenseInfoOffset = offsetof(win::SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, SenseBuf);
    sptd->sptd.Cdb[0] = 0x12;   // INQUIRY
    sptd->sptd.Cdb[4] = kInquiryLength;
    win::DWORD returned = 0;
    if (!win::DeviceIoControl(handle, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, sptd, sizeof *sptd, sptd, sizeof *sptd,
                              &returned, nullptr)) {
        // The drive keeps its letter only; a handle that is not recorded is not kept open.
        win::CloseHandle(handle);
        return;
    }

    const char* from = reinterpret_cast<const char*>(data + 8);
    const std::string text(from, strnlen(from, kInquiryLength - 8));
    Row.Vendor = Field(text, 0, 8);
    Row.Product = Field(text, 8, 16);
    Row.Revision = Field(text, 24, 4);
    Row.VendorSpecific = Field(text, 28, 20);
    Row.FullName = Row.Vendor + Row.Product + Row.Revision;
    Row.Handle = handle;
    StoreAddress(handle, Row);
}

void TCDBurnerList::StoreAddress(win::HANDLE Handle, TDriveScanEntry& Row)
{
    win::DWORD returned = 0;
    win::SCSI_ADDRESS address {};
    address.Length = sizeof address;
    if (win::DeviceIoControl(Handle, win::IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address, &returned,
                             nullptr)) {
        Row.Port = address.PortNumber;
        Row.Target = address.TargetId;
        Row.Lun = address.Lun;
    } else {
        // Commands go by address: a drive that cannot tell its own takes the one the transport
        // made up for it, never 0:0:0, which may well be another drive's.
        TransportAddressOfDrive(Row.DriveLetter, Row.Port, Row.Target, Row.Lun);
    }
}

bool TCDBurnerList::ScanDrives()
{
    if (ListCDDrives() == 0)
        return false;
    for (int i = 0; i < FDriveTable.Count; ++i)
        InquireDrive(FDriveTable.Rows[i]);
    return true;
}

void TCDBurnerList::ScanBurners()
{
    ScanDrives();
    for (int i = 0; i < FDriveTable.Count; ++i) {
        const TDriveScanEntry& row = FDriveTable.Rows[i];
        TCDBurnerInfo info;
        info.DriveIndex = i;
        info.DriveLetter = row.DriveLetter;
        info.PackedAddress = MakePackedAddress(row.Port, row.Target, row.Lun, row.DriveLetter);
        info.ProductId = row.Product;
        info.VendorId = row.Vendor;
        info.DisplayName = row.Vendor + " " + row.Product;
        info.VendorSpecific = row.VendorSpecific;
        info.Revision = row.Revision;
        info.DeviceHandle = row.Handle;
        info.HaId = row.Port;
        info.Target = row.Target;
        info.Lun = row.Lun;
        auto burner = std::make_unique<TCDBurner>(info);
        TCDBurnerInfo readBack;
        burner->GetInfo(readBack);
        FEntries.emplace_back(readBack.VendorId, std::move(burner));
    }
}
