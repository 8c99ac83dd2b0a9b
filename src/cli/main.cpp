// keelvane-cli: the command line over the burning engine.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "burner/DriveAccess.h"
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "platform/Posix.h"

#ifndef KV_VERSION
#define KV_VERSION "0"
#endif

int main(int argc, char** argv) {
    const TAspiStartUpLoad aspi;
    std::vector<std::string> args(argv + 1, argv + argc);
    const cli::ParseResult parsed = cli::ParseCommandLine(args);
    const cli::Options& options = parsed.options;

    if (!parsed.ok()) {
        std::fprintf(stderr, "keelvane-cli: %s\nTry 'keelvane-cli --help'.\n", parsed.error.c_str());
        if (options.json) {
            cli::Output out(cli::Output::Mode::Json);
            out.Error(parsed.error);
            out.Result("", cli::kExitUsage);
        }
        return cli::kExitUsage;
    }
    if (options.help) {
        std::fputs(cli::UsageText("keelvane-cli").c_str(), stdout);
        return cli::kExitOk;
    }
    if (options.version) {
        std::printf("keelvane-cli %s\n", KV_VERSION);
        return cli::kExitOk;
    }

    // Only the jobs stop in an orderly way; any other command may simply be ended.
    cli::InstallInterruptHandlers(options.command == cli::Command::Burn || options.command == cli::Command::BurnAudio ||
                                  options.command == cli::Command::Blank);
    // The live line needs a terminal that understands "erase to end of line".
    const char* term = std::getenv("TERM");
    const bool liveLine = kvsys::IsLiveTerminal(STDOUT_FILENO) && !(term && std::string(term) == "dumb");
    const cli::Output::Mode mode = options.json ? cli::Output::Mode::Json
                                   : liveLine   ? cli::Output::Mode::Terminal
                                                : cli::Output::Mode::Plain;
    cli::Output out(mode);
    if (mode == cli::Output::Mode::Terminal)
        if (const int columns = kvsys::TerminalColumns(STDOUT_FILENO); columns > 0)
            out.SetColumns(columns);
    return cli::Run(options, out);
}
