#include "outcome.h"

static bool is_absent(long status)
{
    return status == status_file_not_found || status == status_path_not_found;
}

void count_target(RunOutcome &outcome, long status)
{
    if (status == status_success)
        ++outcome.cleaned_count;
    else if (!is_absent(status))
        ++outcome.failed_count;
}

const char *outcome_text(const RunOutcome &outcome)
{
    // "Already cleaned" is only true when nothing was left behind: a refused
    // open or removal means an entry may still be there.
    if (outcome.failed_count > 0)
        return outcome_text_not_cleaned;
    if (outcome.cleaned_count > 0)
        return outcome_text_cleaned;
    return outcome_text_already_cleaned;
}
