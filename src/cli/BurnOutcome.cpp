#include "cli/BurnOutcome.h"

#include <array>
#include <string_view>

#include "cli/ExitCodes.h"

namespace cli {

int ClassifyBurnFailure(const std::vector<std::string>& statusLines, bool interrupted) {
    if (interrupted) return kExitInterrupted;

    struct Rule {
        std::string_view prefix;
        int code;
    };
    static constexpr std::array<Rule, 10> kRules = {{
        {"Cancelled :", kExitInterrupted},
        {"HardWare : Set Write Mode Error", kExitWriteParameters},
        {"Error : Error in Image Size", kExitImage},
        {"Error : Image larger than disc", kExitImage},
        {"Error : Read Error", kExitImage},
        {"Error : Write Error", kExitWrite},
        {"Error : Buffer Wait Timeout", kExitWrite},
        {"Error : Sync Cache Error", kExitClosing},
        {"Error : Close Track Error", kExitClosing},
        {"Error : Close Session Error", kExitClosing},
    }};
    // The last line that names a cause decides: it is the step the job ended on.
    for (auto line = statusLines.rbegin(); line != statusLines.rend(); ++line)
        for (const auto& rule : kRules)
            if (std::string_view(*line).substr(0, rule.prefix.size()) == rule.prefix) return rule.code;
    return kExitWrite;
}

}  // namespace cli
