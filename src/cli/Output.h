// Where keelvane-cli's output goes. Three forms: a terminal (a live progress line redrawn in
// place), plain lines for logs and pipes, and --json (one object per line: events, then one
// final result object). Commands talk to this class only, never to stdout directly.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Json.h"
#include "cli/ProgressLine.h"

namespace cli {

// The live lines of a burn onto several targets on a terminal: one row per target, redrawn in
// place below the lines already printed; a line printed meanwhile goes above them.
class TargetBoard {
public:
    TargetBoard(std::FILE* out, std::size_t rows, int columns) : out_(out), rows_(rows), columns_(columns) {}
    void SetRow(std::size_t row, std::string line);
    // Prints a whole line to `stream` (standard output or error) above the rows.
    void Print(std::FILE* stream, const std::string& line);

private:
    void Clear();
    void Draw();

    std::FILE* out_;
    std::vector<std::string> rows_;
    int columns_;
    bool shown_ = false;
};

class Output {
public:
    enum class Mode { Terminal, Plain, Json };

    explicit Output(Mode mode, std::FILE* out = stdout, std::FILE* err = stderr);
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    Mode mode() const { return mode_; }
    std::FILE* OutStream() const { return out_; }
    std::FILE* ErrStream() const { return err_; }
    int Columns() const { return columns_; }
    // Width of the terminal: the live line is cut to fit, since a wrapped line cannot be
    // redrawn in place. 0: unknown.
    void SetColumns(int columns) { columns_ = columns; }
    bool json() const { return mode_ == Mode::Json; }

    // A status line of a job (the writer's OnStatus texts and the program's own steps).
    void Status(std::string_view phase, const std::string& text);
    // One progress report, with the job's speed; `now` in seconds on any monotonic clock. On a
    // terminal the line is redrawn at most ten times a second; plain output gets one line per
    // ten percent; --json gets one event whenever the percent changes.
    void Progress(std::string_view phase, const ProgressSample& sample, double now);
    // One call of the writer's OnWait: `label` says what is waited for ("closing session"),
    // `phase` and `step` name it for scripts. On a terminal the live line reads
    // "closing session ... 12 s"; --json gets a "wait" event each time the wait has lasted
    // another whole second; plain output a line every ten seconds.
    void Wait(std::string_view phase, std::string_view label, const std::string& step, double elapsedSeconds,
              double now);
    // Ends a progress line on the terminal (the next output starts on a fresh line).
    void EndProgress();

    // One target of a burn onto several at once: its JSON events carry "target", its result is
    // a "target_result", its lines and errors start with the name, and on a terminal its live
    // line is its row of the board.
    void SetTarget(const std::string& name, TargetBoard* board, std::size_t row);
    // The first problem said (for the summary of a burn onto several targets).
    const std::string& FirstError() const { return firstError_; }

    // A line of a report: printed as it is, or collected for the result's "lines".
    void Text(const std::string& line);
    // A problem: "keelvane-cli: message" on standard error, or the result's "error".
    void Error(const std::string& message);
    // Extra advice after an error (how to get access to a drive, say).
    void Hint(const std::string& message);

    // The final result object under --json (nothing otherwise). `fields` holds the command's
    // own values; type, command, exit_code, ok, lines and error are added here.
    void Result(std::string_view command, int exitCode, const JsonObject& fields = JsonObject());

    // Seconds on the monotonic clock, for Progress.
    static double Now();

private:
    void ClearProgressLine();
    void Emit(const std::string& jsonLine);
    // An event object with its type (and its target's name).
    JsonObject Event(std::string_view type) const;
    // A live line: in place, or the target's row.
    void ShowLive(const std::string& line);
    // A whole line of output or error, with the target's name before it.
    void PrintLine(std::FILE* stream, const std::string& line);

    Mode mode_;
    int columns_ = 0;
    std::FILE* out_;
    std::FILE* err_;
    bool progressShown_ = false;       // a terminal progress line is on screen
    std::string lastProgressPhase_;
    int lastJsonPercent_ = -1;
    int lastPlainDecile_ = -1;
    std::string lastWaitPhase_;
    long lastWaitSecond_ = 0;
    double lastWaitRedraw_ = -1;
    kvrate::TRedrawThrottle redraw_;
    std::vector<std::string> lines_;
    std::vector<std::string> errors_;
    std::string firstError_;
    std::string target_;
    TargetBoard* board_ = nullptr;
    std::size_t row_ = 0;
};

}  // namespace cli
