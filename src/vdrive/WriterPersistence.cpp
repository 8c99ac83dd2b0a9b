// The disc behind the writer: opening (or creating) it at the CUE sheet under its lock,
// attaching the writer to the platform layer, and taking a disc out of the tray or putting a
// blank one in.
#include "vdrive/WriterImpl.h"

#include "platform/Posix.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "vdrive/DiscLock.h"

namespace vdrive {

namespace {

// "dvd-rw-ro, dvd+rw and bd-re": the media a new disc can be made unformatted of.
std::string OverwritableKeys() {
    std::vector<const char*> keys;
    for (const kvcat::Medium& m : kvcat::Media())
        if (m.key != nullptr && m.Overwritable()) keys.push_back(m.key);
    std::string text;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (i > 0) text += i + 1 == keys.size() ? " and " : ", ";
        text += keys[i];
    }
    return text;
}

}  // namespace

std::shared_ptr<VirtualWriter> VirtualWriter::Open(const VirtualDriveOptions& options, std::string& error,
                                                   std::shared_ptr<VirtualClock> clock) {
    AttachFailure failure = AttachFailure::None;
    return Open(options, error, failure, std::move(clock));
}

std::shared_ptr<VirtualWriter> VirtualWriter::Open(const VirtualDriveOptions& options, std::string& error,
                                                   AttachFailure& failure, std::shared_ptr<VirtualClock> clock) {
    failure = AttachFailure::Other;
    if (options.path.empty()) {
        error = "virtual drive: no CUE sheet path";
        return nullptr;
    }
    if (options.path.find_first_of("\"\n\r") != std::string::npos) {
        error = "virtual drive: the CUE sheet path " + options.path + " may not contain a double quote or a line break";
        return nullptr;
    }
    // A sheet reached through a link is the file it names: its tracks lie beside that file, its
    // lock too, and saving it replaces that file rather than the link.
    VirtualDriveOptions opened = options;
    struct stat st {};
    if (::lstat(options.path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (!::realpath(options.path.c_str(), resolved)) {
            error = "virtual drive: " + options.path + " is a link to nothing that can be read: " + std::strerror(errno);
            return nullptr;
        }
        opened.path = resolved;
    }
    std::shared_ptr<VirtualWriter> writer(new VirtualWriter(opened, clock ? std::move(clock) : SystemClock()));
    if (::stat(opened.path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        error = "virtual drive: " + opened.path + " is not a regular file";
        return nullptr;
    }
    // The disc is read only under its lock, so what is read is what no other program changes.
    // Making a new disc changes the folder: that takes the exclusive lock whatever comes next.
    DiscLock::Outcome locked = DiscLock::Outcome::Error;
    bool firstHolder = false;
    const bool exists = ::stat(opened.path.c_str(), &st) == 0 || errno != ENOENT;
    writer->lock_ = DiscLock::Acquire(opened.path, exists ? opened.access : DiscAccess::Exclusive, locked,
                                      firstHolder, error);
    if (!writer->lock_) {
        if (locked == DiscLock::Outcome::InUse) failure = AttachFailure::InUse;
        return nullptr;
    }
    if (firstHolder) RemoveOrphanedTemporarySheets(opened.path);
    if (::stat(opened.path.c_str(), &st) == 0) {
        writer->impl_->disc = VirtualDisc::Load(opened.path, error);
        if (!writer->impl_->disc) return nullptr;
    } else if (errno != ENOENT) {
        error = "virtual drive: cannot read " + opened.path + ": " + std::strerror(errno);
        return nullptr;
    } else {
        // A CD-R unless the attach syntax names another medium.
        const kvcat::Medium& media = opened.media ? *opened.media : *kvcat::MediumByKey("cd-r");
        if (opened.unformatted && !media.Overwritable()) {
            error = "virtual drive: unformatted applies to " + OverwritableKeys() + " only";
            return nullptr;
        }
        if (media.profile != 0) {
            const std::uint32_t capacity = opened.capacity.value_or(media.capacity);
            writer->impl_->disc = VirtualDisc::Create(opened.path, media, capacity, error, !opened.unformatted);
            if (!writer->impl_->disc) {
                error = "virtual drive: " + error;
                return nullptr;
            }
        }
    }
    writer->impl_->ResetPage05();   // the medium's own write parameters
    failure = AttachFailure::None;
    return writer;
}

bool VirtualWriter::RemoveDisc(std::string& error) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->trayOpen) {
        error = "the tray is closed";
        return false;
    }
    if (impl_->disc && !impl_->disc->Flush(true, error)) return false;
    impl_->disc.reset();
    return true;
}

bool VirtualWriter::InsertBlankDisc(const kvcat::Medium& media, std::uint32_t capacity, std::string& error,
                                    bool formatted) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->trayOpen) {
        error = "the tray is closed";
        return false;
    }
    if (media.profile == 0 || media.key == nullptr || capacity == 0 || capacity > 0x7FFFFFFFu) {
        error = "no such blank disc";
        return false;
    }
    if (!impl_->disc) {
        std::string ignored;
        impl_->disc = VirtualDisc::Load(options_.path, ignored);
    }
    if (impl_->disc && !impl_->disc->Remove(error)) return false;
    impl_->disc = VirtualDisc::Create(options_.path, media, capacity, error, formatted);
    impl_->ResetPage05();
    return impl_->disc != nullptr;
}

bool VirtualWriter::Flush() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::string error;
    return !impl_->disc || impl_->disc->Flush(true, error);
}

std::shared_ptr<VirtualWriter> AttachVirtualDrive(const std::string& driveSpec, std::string& error,
                                                  std::shared_ptr<VirtualClock> clock) {
    AttachFailure failure = AttachFailure::None;
    return AttachVirtualDrive(driveSpec, error, failure, std::move(clock));
}

std::shared_ptr<VirtualWriter> AttachVirtualDrive(const std::string& driveSpec, std::string& error,
                                                  AttachFailure& failure, std::shared_ptr<VirtualClock> clock) {
    failure = AttachFailure::Other;
    VirtualDriveOptions options;
    if (!ParseVirtualDriveSpec(driveSpec, options, error)) return nullptr;
    return AttachVirtualDrive(options, error, failure, std::move(clock));
}

std::shared_ptr<VirtualWriter> AttachVirtualDrive(const VirtualDriveOptions& options, std::string& error,
                                                  AttachFailure& failure, std::shared_ptr<VirtualClock> clock) {
    failure = AttachFailure::Other;
    std::shared_ptr<VirtualWriter> writer = VirtualWriter::Open(options, error, failure, std::move(clock));
    if (!writer) return nullptr;
    failure = AttachFailure::Other;
    const char letter = win::AttachVirtualDevice(writer);
    if (letter == 0) {
        error = "virtual drive '" + options.path + "': no drive letter left";
        return nullptr;
    }
    writer->SetDriveLetter(letter);
    failure = AttachFailure::None;
    return writer;
}

void DetachVirtualDrive(const std::shared_ptr<VirtualWriter>& writer) {
    if (!writer) return;
    win::DetachVirtualDevice(writer);
    writer->Flush();
    writer->SetDriveLetter(0);
}

}  // namespace vdrive
