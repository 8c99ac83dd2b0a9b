// One run of keelvane-cli on the engine: the writer the options select and the command on it.
// The burns and the blank are views of the engine's burn job (Commands.cpp); the reports that
// only ask the drive are in Reports.cpp.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "burner/BurnJob.h"
#include "stick/StickDiscovery.h"
#include "stick/StickWriter.h"
#include "burner/CDBurners.h"
#include "cli/CliOptions.h"
#include "cli/Output.h"

namespace cli {

inline constexpr char kProgramName[] = "keelvane-cli";
// What Ctrl-C says while a drive blanks.
extern const char kBlankMessage[];

// Why a drive did not become ready, for people.
std::string NotReadyText(TScsiError error);
// The folders the rescue image is looked for in, in order: "A, B or C".
std::string SearchedFolders(const std::string& program);
// The lines of a text with "\r\n", "\n\r", "\r" or "\n" breaks.
std::vector<std::string> SplitLines(const std::string& text);

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
    int Blank(TCDBurner& burner);
    int Capabilities(TCDBurner& burner);
    int Speeds(TCDBurner& burner);
    int PageReport(TCDBurner& burner, const std::vector<std::string>& lines, JsonObject fields = JsonObject());
    int WriterParams(TCDBurner& burner);
    int Toc(TCDBurner& burner);
    int DvdStructure(TCDBurner& burner);
    int Buffer(TCDBurner& burner);
    int WriteMode(TCDBurner& burner);
    int Eject(TCDBurner& burner);
    int DiscInfo(TCDBurner& burner);
    int Image();
    int Load(TCDBurner& burner);

    // The job the options ask for, its events on this program's output.
    TBurnJobOptions JobOptions() const;
    std::shared_ptr<TBurnJob> MakeJob();
    void ShowStatus(TJobPhase phase, const std::string& text);
    void ShowProgress(const TJobProgress& progress);
    void ShowWait(const TWaitInfo& wait);
    // What a job that has ended says, and its exit code (the burn's, the blank's, the stick's).
    int BurnEnded();
    int BlankEnded(TCDBurner& burner);
    int StickEnded();

    // Several targets at once (TargetCommands.cpp): the targets the options name, each with a
    // session of its own on its own output; the image checked once, one job per target at once,
    // then every target's result and a summary.
    int RunTargets();
    struct Target;
    bool ResolveTargets(std::vector<Target>& targets, int& exitCode);
    // The image the burn takes.
    std::string ImagePath() const;
    // The image checks, before any command reaches a drive: kExitOk to go on (a missing image
    // is left to the burn, which says so as it always has).
    int CheckImage();
    // A job that ended before it wrote: says why; kExitOk when it did not.
    int EndedBeforeWriting(const TBurnJobResult& result, JsonObject fields);
    // What a burn that wrote (or tried to) says before the eject.
    void SayBurnResult(const TBurnJobResult& result);
    void SayAudioResult(const TBurnJobResult& result);
    void SayBufferHealth(const TBurnJobResult& result);
    // The image check's values for the result object.
    void AddImageCheckFields(JsonObject& fields) const;

    // Removable drives (StickCommands.cpp): the virtual sticks given, whether the burn goes to a
    // stick, the stick the options name (refused, with the reason, when it is no stick or in
    // use), the sticks for `drives`, the question before it is erased, and the burn.
    int AttachSticks();
    bool BurnsStick() const;
    int ResolveStick();
    int ResolveStick(const std::string& path);
    std::string ListSticks();
    int ConfirmAndUnmount();
    int BurnStick();
    // "CD" texts name the stick when the burn goes to one.
    std::string CreationError() const;

    // The writer the options select, or null after saying why.
    TCDBurner* SelectWriter(int& exitCode);
    // The list position of the writer a letter or index names; -1 after saying there is none.
    int WriterPosition(const DriveSelector& drive);
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
    std::shared_ptr<TBurnJob> job_;   // a burn's, made by its image check (a target's: its set's)
    char firstVirtualLetter_ = 0;   // the writer meant when --virtual-drive is given without --drive
    std::vector<TStickTarget> virtualSticks_;
    std::optional<TStickTarget> stick_;   // the burn's stick, once resolved
    TBlockDisk stickDisk_;                // a real stick's partitions and mounts
};

}  // namespace cli
