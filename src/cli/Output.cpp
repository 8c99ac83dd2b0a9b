#include "cli/Output.h"

#include <chrono>

namespace cli {

Output::Output(Mode mode, std::FILE* out, std::FILE* err) : mode_(mode), out_(out), err_(err) {}

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
        Emit(JsonObject().Add("type", "status").Add("phase", phase).Add("text", text).Str());
        return;
    }
    ClearProgressLine();
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
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
        JsonObject event;
        event.Add("type", "progress").Add("phase", phase).Add("percent", sample.percent);
        if (sample.sector >= 0)
            event.Add("sector", static_cast<std::int64_t>(sample.sector)).Add("total", static_cast<std::int64_t>(sample.total));
        else
            event.AddNull("sector").AddNull("total");
        if (sample.driveBuffer >= 0) event.Add("drive_buffer", sample.driveBuffer); else event.AddNull("drive_buffer");
        if (sample.fileBuffer >= 0) event.Add("file_buffer", sample.fileBuffer); else event.AddNull("file_buffer");
        // Every medium in CD x (75 blocks/s), as scripts have always read it.
        if (sample.megabytes) {
            if (sample.blocksPerSecond > 0) event.Add("speed_mb_s", sample.blocksPerSecond * 2048 / 1e6);
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
        std::string line = std::string(phase) + " " + FormatProgressLine(sample);
        std::fprintf(out_, "%s\n", line.c_str());
        std::fflush(out_);
        return;
    }
    case Mode::Terminal: {
        if (!redraw_.Take(now) && !last) return;
        std::string line = std::string(phase) + " " + FormatProgressLine(sample);
        if (columns_ > 1 && line.size() >= static_cast<std::size_t>(columns_))
            line.resize(static_cast<std::size_t>(columns_ - 1));
        std::fprintf(out_, "\r%s\x1b[K", line.c_str());
        std::fflush(out_);
        progressShown_ = true;
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
        Emit(JsonObject()
                 .Add("type", "wait")
                 .Add("phase", phase)
                 .Add("step", step)
                 .Add("elapsed_s", static_cast<std::int64_t>(second))
                 .Str());
        return;
    case Mode::Plain:
        if (second / 10 <= lastWaitSecond_ / 10) return;
        lastWaitSecond_ = second;
        std::fprintf(out_, "%s ... %ld s\n", std::string(label).c_str(), second);
        std::fflush(out_);
        return;
    case Mode::Terminal: {
        if (lastWaitRedraw_ >= 0 && now - lastWaitRedraw_ < 0.2) return;
        lastWaitRedraw_ = now;
        std::string line = std::string(label) + " ... " + std::to_string(second) + " s";
        if (columns_ > 1 && line.size() >= static_cast<std::size_t>(columns_))
            line.resize(static_cast<std::size_t>(columns_ - 1));
        std::fprintf(out_, "\r%s\x1b[K", line.c_str());
        std::fflush(out_);
        progressShown_ = true;
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
    ClearProgressLine();
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
}

void Output::Error(const std::string& message) {
    if (json()) {
        errors_.push_back(message);
        return;
    }
    ClearProgressLine();
    std::fflush(out_);
    std::fprintf(err_, "keelvane-cli: %s\n", message.c_str());
    std::fflush(err_);
}

void Output::Hint(const std::string& message) {
    if (json()) {
        errors_.push_back(message);
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
    JsonObject result;
    result.Add("type", "result").Add("command", command).Add("exit_code", exitCode).Add("ok", exitCode == 0);
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
