// How the desktop program says what a failed job ended with.
#pragma once

#include <string>
#include <vector>

#include "burner/CDBurner.h"

// Whether the outcome is a drive without a disc: a NOT READY answer that is no busy drive.
bool NoDiscOutcome(const TJobOutcome& Outcome);
// The text a failed job ends with: its last status line, or the result name of LastError when
// it sent none.
std::string BurnFailureText(const std::vector<std::string>& StatusLines, TScsiError LastError);

