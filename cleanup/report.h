// The outcome report: one message box, only when the command line asked for it.
#pragma once

#include "outcome.h"

void show_outcome_report(const RunOutcome &outcome, const char *command_line_tail);
