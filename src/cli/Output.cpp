#include "cli/Output.h"

#include <chrono>

namespace cli {

void TargetBoard::Clear() {
    if (!shown_) return;
    // Up to the first row, then clear to the end of the screen.
    const std::string up = "\x1b[" + std::to_string(rows_.size()) + "A\r\x1b[J";
    std::fputs(up.c_str(), out_);
    shown_ = false;
}

void TargetBoard::Draw() {
    for (std::string line : rows_) {
        if (columns_ > 1 && line.size() >= static_cast<std::size_t>(columns_))
            line.resize(static_cast<std::size_t>(columns_ - 1));
        std::fprintf(out_, "%s\n", line.c_str());
    }
    std::fflush(out_);
    shown_ = true;
}

void TargetBoard::SetRow(std::size_t row, std::string line) {
    if (row >= rows_.size()) return;
    rows_[row] = std::move(line);
    Clear();
    Draw();
}

void TargetBoard::Print(std::FILE* stream, const std::string& line) {
    Clear();
    std::fflush(out_);
    std::fprintf(stream, "%s\n", line.c_str());
    std::fflush(stream);
    Draw();
}

Output::Output(Mode mode, std::FILE* out, std::FILE* err) : mode_(mode), out_(out), err_(err) {}

void Output::SetTarget(const std::string& name, TargetBoard* board, std::size_t row) {
    target_ = name;
    board_ = mode_ == Mode::Terminal ? board : nullptr;
    row_ = row;
    if (board_) board_->SetRow(row_, target_);
}

JsonObject Output::Event(std::string_view type) const {
    JsonObject event;
    event.Add("type", type);
    if (!target_.empty()) event.Add("target", target_);
    return event;
}

void Output::ShowLive(const std::string& text) {
    if (board_) {
        board_->SetRow(row_, target_ + " " + text);
        return;
    }
    std::string line = text;
    if (columns_ > 1 && line.size() >= static_cast<std::size_t>(columns_))
        line.resize(static_cast<std::size_t>(columns_ - 1));
    std::fprintf(out_, "\r%s\x1b[K", line.c_str());
    std::fflush(out_);
    progressShown_ = true;
}

void Output::PrintLine(std::FILE* stream, const std::string& text) {
    const std::string line = target_.empty() ? text : target_ + " " + text;
    if (board_) {
        board_->Print(stream, line);
        return;
    }
    ClearProgressLine();
    if (stream != out_) std::fflush(out_);
    std::fprintf(stream, "%s\n", line.c_str());
    std::fflush(stream);
}

double Output::Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void Output::Emit(const std::string& jsonLine) {
    std::fputs(jsonLine.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);   // scripts read events as they come
}

void Output::ClearProgressLine() {
    if (!progressShown_) return;
    std::fputs("\r\x1b[K", out_);
    progressShown_ = false;
}

void Output::Status(std::string_view phase, const std::string& text) {
    if (json()) {
        Emit(Event("status").Add("phase", phase).Add("text", text).Str());
        return;
    }
    PrintLine(out_, text);
}

void Output::Progress(std::string_view phase, const ProgressSample& sample, double now) {
    if (phase != lastProgressPhase_) {
        lastProgressPhase_ = std::string(phase);
        lastJsonPercent_ = -1;
        lastPlainDecile_ = -1;
        redraw_ = kvrate::TRedrawThrottle();
    }
    const bool last = sample.sector >= 0 ? sample.sector + 1 >= sample.total : sample.percent >= 100;

    switch (mode_) {
    case Mode::Json: {
        if (sample.percent == lastJsonPercent_ && !last) return;
        lastJsonPercent_ = sample.percent;
        JsonObject event = Event("progress");
        event.Add("phase", phase).Add("percent", sample.percent);
        if (sample.sector >= 0)
            event.Add("sector", static_cast<std::int64_t>(sample.sector)).Add("total", static_cast<std::int64_t>(sample.total));
        else
            event.AddNull("sector").AddNull("total");
        if (sample.driveBuffer >= 0) event.Add("drive_buffer", sample.driveBuffer); else event.AddNull("drive_buffer");
        if (sample.fileBuffer >= 0) event.Add("file_buffer", sample.fileBuffer); else event.AddNull("file_buffer");
        // Every medium in CD x (75 blocks/s), as scripts have always read it.
        if (sample.megabytes) {
            if (sample.blocksPerSecond > 0) event.Add("speed_mb_s", kvrate::MegabytesPerSecond(sample.blocksPerSecond));
            else event.AddNull("speed_mb_s");
        } else if (sample.blocksPerSecond > 0) {
            event.Add("speed_x", sample.blocksPerSecond / 75.0);
        } else {
            event.AddNull("speed_x");
        }
        Emit(event.Str());
        return;
    }
    case Mode::Plain: {
        const int decile = sample.percent / 10;
        if (decile == lastPlainDecile_ && !last) return;
        lastPlainDecile_ = decile;
        PrintLine(out_, std::string(phase) + " " + FormatProgressLine(sample));
        return;
    }
    case Mode::Terminal: {
        if (!redraw_.Take(now) && !last) return;
        ShowLive(std::string(phase) + " " + FormatProgressLine(sample));
        return;
    }
    }
}

void Output::Wait(std::string_view phase, std::string_view label, const std::string& step, double elapsedSeconds,
                  double now) {
    // A new wait starts its count again.
    if (phase != lastWaitPhase_ || elapsedSeconds < 0.5) {
        lastWaitPhase_ = std::string(phase);
        lastWaitSecond_ = 0;
        lastWaitRedraw_ = -1;
    }
    const long second = static_cast<long>(elapsedSeconds);
    switch (mode_) {
    case Mode::Json:
        if (second <= lastWaitSecond_) return;
        lastWaitSecond_ = second;
        Emit(Event("wait")
                 .Add("phase", phase)
                 .Add("step", step)
                 .Add("elapsed_s", static_cast<std::int64_t>(second))
                 .Str());
        return;
    case Mode::Plain:
        if (second / 10 <= lastWaitSecond_ / 10) return;
        lastWaitSecond_ = second;
        PrintLine(out_, std::string(label) + " ... " + std::to_string(second) + " s");
        return;
    case Mode::Terminal: {
        if (lastWaitRedraw_ >= 0 && now - lastWaitRedraw_ < 0.2) return;
        lastWaitRedraw_ = now;
        ShowLive(std::string(label) + " ... " + std::to_string(second) + " s");
        return;
    }
    }
}

void Output::EndProgress() {
    if (mode_ == Mode::Terminal && progressShown_) {
        std::fputc('\n', out_);
        std::fflush(out_);
        progressShown_ = false;
    }
    lastProgressPhase_.clear();
}

void Output::Text(const std::string& line) {
    if (json()) {
        lines_.push_back(line);
        return;
    }
    PrintLine(out_, line);
}

void Output::Error(const std::string& message) {
    if (firstError_.empty()) firstError_ = message;
    if (json()) {
        errors_.push_back(message);
        return;
    }
    if (target_.empty()) {
        PrintLine(err_, "keelvane-cli: " + message);
        return;
    }
    // "keelvane-cli: E: the burn failed ..."
    const std::string target = target_;
    target_.clear();
    PrintLine(err_, "keelvane-cli: " + target + " " + message);
    target_ = target;
}

void Output::Hint(const std::string& message) {
    if (json()) {
        errors_.push_back(message);
        return;
    }
    if (board_) {
        board_->Print(err_, message);
        return;
    }
    std::fprintf(err_, "%s\n", message.c_str());
    std::fflush(err_);
}

void Output::Result(std::string_view command, int exitCode, const JsonObject& fields) {
    if (!json()) {
        EndProgress();
        return;
    }
    JsonObject result = Event(target_.empty() ? "result" : "target_result");
    result.Add("command", command).Add("exit_code", exitCode).Add("ok", exitCode == 0);
    std::string error;
    for (const auto& e : errors_) {
        if (!error.empty()) error += '\n';
        error += e;
    }
    if (error.empty()) result.AddNull("error"); else result.Add("error", error);
    result.Add("lines", lines_);
    std::string body = result.Str();
    std::string extra = fields.Str();
    if (extra.size() > 2) body = body.substr(0, body.size() - 1) + "," + extra.substr(1);
    Emit(body);
}

}  // namespace cli
