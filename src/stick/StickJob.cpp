// The burn job on a stick: the same sequence, events and result as a disc's burn where they
// apply (the image check and its descriptor, the write and verify phases with their progress,
// the verify against the image and the published sum), built here so that the engine's job
// does not depend on the stick library.
#include "burner/BurnJob.h"

#include <system_error>

#include "burner/CDBufferedStream.h"
#include "stick/StickWriter.h"

namespace {

constexpr std::int64_t kSectorBytes = 2048;

std::int64_t BlocksOf(std::int64_t Bytes) { return (Bytes + kSectorBytes - 1) / kSectorBytes; }

}  // namespace

bool TBurnJob::BurnStick(const TStickTarget& Target)
{
    FResult.Image = FOptions.Image;
    if (!FImageOpened) {
        FImageOpened = true;
        try {
            FImage = std::make_shared<TImageFile>(FOptions.Image);
        } catch (const std::system_error& e) {
            FResult.ImageOpenError = e.code().message();
        }
    }
    if (!FImage) return Fail(TBurnJobEnd::ImageMissing, TJobStep::Input);
    const std::int64_t imageBytes = FImage->Size();
    FResult.Sectors = imageBytes / kSectorBytes;
    if (FCheck && FCheck->Published.Found && !FCheck->ActualHex.empty()) FPublished = FCheck->Published;
    FPhase = TJobPhase::Setup;
    Status("Stick : " + (Target.Description.empty() ? Target.DevicePath : Target.Description + " at " + Target.DevicePath));
    const auto refuse = [this](TBurnJobEnd End, TJobStep Step, const std::string& Text) {
        FResult.Message = Text;
        Status("Error : " + Text);
        FResult.EndPhase = FPhase;
        if (OnReport) OnReport(FResult);
        return Fail(End, Step);
    };
    if (FOptions.Simulate)
        return refuse(TBurnJobEnd::CannotSimulate, TJobStep::Medium, "a stick has no test write; nothing was written");

    // A stick's firmware boots from sector 0, not from the El Torito catalogue.
    FPhase = TJobPhase::Check;
    const THybridCheck hybrid = CheckHybrid(*FImage);
    if (hybrid.Hybrid()) {
        Status(std::string("Stick : the image is hybrid (") + PartitionTableName(hybrid.Table) + " partition table)");
    } else if (!FOptions.AllowNonHybrid) {
        return refuse(TBurnJobEnd::NotHybrid, TJobStep::Input, hybrid.Refusal);
    } else {
        Status("Warning : " + hybrid.Refusal + " It is written as it is.");
    }
    FPhase = TJobPhase::Setup;
    if (Stopped() || CheckStop.load()) return Fail(TBurnJobEnd::StoppedBeforeStart, TJobStep::Interrupted);

    TStickWriter writer(Target);
    writer.Stop = &CheckStop;
    if (FPublished.Found) writer.PublishedKind = FPublished.Kind;
    if (!writer.Open()) {
        if (writer.Failure == TStickFailure::InUse) {
            FResult.InUseText = writer.Error;
            return refuse(TBurnJobEnd::InUse, TJobStep::InUse, writer.Error);
        }
        return refuse(TBurnJobEnd::CannotOpen, TJobStep::NotReady, writer.Error);
    }
    if (imageBytes > writer.DeviceBytes()) {
        // The writer refuses it before anything is written as well; the job says it in its words.
        return refuse(TBurnJobEnd::TooSmall, TJobStep::Input,
                      "Image larger than stick (" + std::to_string(BlocksOf(imageBytes)) + " blocks needed, " +
                          std::to_string(writer.DeviceBytes() / kSectorBytes) + " on the stick)");
    }

    const auto progress = [this](std::int64_t Done, std::int64_t Total) {
        FSample.Sector = BlocksOf(Done) - 1;
        FSample.Percent = Total > 0 ? static_cast<int>(Done * 100 / Total) : 100;
        if (FPhase == TJobPhase::Write) FResult.SectorsSent = BlocksOf(Done);
        Progress(FSample);
        return !Stopped();
    };
    Phase(TJobPhase::Write);
    FSample = TJobProgress();
    FSample.Phase = TJobPhase::Write;
    FSample.Total = BlocksOf(imageBytes);
    writer.OnProgress = progress;
    // The bytes written are held against the published sum here only when no read-back will.
    writer.HashWrites = FPublished.Found && !FOptions.Verify;
    Status("Writing : " + std::to_string(FSample.Total) + " blocks to " + writer.Target().DevicePath);
    const bool written = writer.Write(*FImage);
    EndProgress();
    FResult.Written = written;
    FResult.SectorsSent = BlocksOf(writer.BytesWritten);
    FResult.BurntSha256 = writer.WrittenSha256;
    FResult.BurntPublishedHex = writer.WrittenPublishedHex;
    if (!written) {
        switch (writer.Failure) {
        case TStickFailure::Stopped:
            FResult.Message = writer.Error;
            Status("Cancelled : " + writer.Error);
            Fail(TBurnJobEnd::Failed, TJobStep::Interrupted);
            break;
        case TStickFailure::TooSmall:
            refuse(TBurnJobEnd::TooSmall, TJobStep::Input, writer.Error);
            return false;
        case TStickFailure::ImageRead:
            FResult.Raised = true;
            FResult.Message = writer.Error;
            Status("Error : " + writer.Error);
            Fail(TBurnJobEnd::Raised, TJobStep::Input);
            break;
        default:
            FResult.Message = writer.Error;
            Status("Error : " + writer.Error);
            Fail(TBurnJobEnd::Failed,
                 writer.Failure == TStickFailure::Flush ? TJobStep::SyncCache : TJobStep::Write);
            break;
        }
    } else {
        Status("Finished Writing : " + std::to_string(FResult.SectorsSent) + " blocks written and flushed");
        if (!writer.Warning.empty()) {
            FResult.Warning = writer.Warning;
            Status("Warning : " + writer.Warning);
        }
        // The bytes written must be the image the check found: a change in place shows here.
        const std::string changed = FImage->Changed();
        if (!changed.empty()) {
            Status("Error : the image changed while it was burnt : " + changed);
            Fail(TBurnJobEnd::Failed, TJobStep::ImageChanged);
        } else if (writer.HashWrites && writer.WrittenPublishedHex != FPublished.Hex) {
            Status("Error : the image changed while it was burnt : " + std::string(DigestName(FPublished.Kind)) +
                   " of the bytes burnt " + writer.WrittenPublishedHex + " differs from the published one");
            Fail(TBurnJobEnd::Failed, TJobStep::ImageChanged);
        }
    }
    FResult.Outcome = TJobOutcome{FResult.Step, FResult.Step == TJobStep::None ? -1 : FResult.SectorsSent, Err_None};

    if (FResult.End == TBurnJobEnd::Done && FOptions.Verify) {
        Phase(TJobPhase::Verify);
        FSample = TJobProgress();
        FSample.Phase = TJobPhase::Verify;
        FSample.Total = BlocksOf(imageBytes);
        Status("Verify : Reading the stick back");
        bool verified = writer.Verify(*FImage);
        EndProgress();
        std::int64_t firstDifferent = -1;
        if (verified && FPublished.Found) {
            const std::string kind = DigestName(FPublished.Kind);
            verified = writer.ReadBackPublishedHex == FPublished.Hex;
            FResult.PublishedComparison =
                verified ? "the stick matches the published " + kind : "the stick does not match the published " + kind;
        }
        if (verified) {
            Status("Verify : " + std::to_string(FResult.Sectors) + " sectors equal the image");
            Status("Verify : SHA-256 of the stick " + writer.ReadBackSha256);
            if (!FResult.PublishedComparison.empty()) Status("Verify : " + FResult.PublishedComparison);
            FResult.ReadBackSha256 = writer.ReadBackSha256;
        } else {
            switch (writer.Failure) {
            case TStickFailure::None:   // equal to the image, not to the published sum
                Status("Verify : " + FResult.PublishedComparison);
                Fail(TBurnJobEnd::Failed, TJobStep::Verify);
                break;
            case TStickFailure::ImageChanged:
                FResult.ChangedAtVerify = true;
                Status("Verify : The image changed since the burn started; the stick was not compared with it");
                Fail(TBurnJobEnd::Failed, TJobStep::ImageChanged);
                break;
            case TStickFailure::ImageRead:
                FResult.VerifyRaised = true;
                FResult.Message = writer.Error;
                Fail(TBurnJobEnd::Raised, TJobStep::Input);
                break;
            case TStickFailure::Stopped:
                Status("Cancelled : Verify stopped at sector " + std::to_string(FSample.Sector + 1));
                Fail(TBurnJobEnd::Failed, TJobStep::Interrupted);
                break;
            case TStickFailure::Differs:
                firstDifferent = writer.FirstDifferentOffset / kSectorBytes;
                Status("Verify : Sector " + std::to_string(firstDifferent) + " differs from the image");
                Fail(TBurnJobEnd::Failed, TJobStep::Verify);
                break;
            default:
                firstDifferent = writer.Offset / kSectorBytes;
                FResult.Message = writer.Error;
                Status("Verify : Read Error at sector " + std::to_string(firstDifferent) + " : " + writer.Error);
                Fail(TBurnJobEnd::Failed, TJobStep::Verify);
                break;
            }
        }
        FResult.Verified = verified;
        FResult.FirstDifferentSector = firstDifferent;
        FResult.Outcome = TJobOutcome{FResult.Step, firstDifferent, Err_None};
    }
    FResult.ImageChanged = FResult.Step == TJobStep::ImageChanged;
    FResult.EndPhase = FPhase;
    if (OnReport) OnReport(FResult);
    return FResult.End == TBurnJobEnd::Done;
}
