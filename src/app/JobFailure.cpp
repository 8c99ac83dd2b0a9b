#include "app/JobFailure.h"

bool NoDiscOutcome(const TJobOutcome& Outcome)
{
    return Outcome.Step == TJobStep::NotReady && Outcome.Error == Err_SenseNotReady;
}

std::string BurnFailureText(const std::vector<std::string>& StatusLines, TScsiError LastError)
{
    return StatusLines.empty() ? ScsiErrorToText(LastError) : StatusLines.back();
}
