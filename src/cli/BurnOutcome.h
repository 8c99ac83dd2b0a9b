// Which exit code a burn that returned false earns, told from the writer's status lines (the
// texts the progress window logs) and whether the user interrupted it.
#pragma once

#include <string>
#include <vector>

namespace cli {

int ClassifyBurnFailure(const std::vector<std::string>& statusLines, bool interrupted);

}  // namespace cli
