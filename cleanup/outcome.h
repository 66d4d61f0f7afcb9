// What a run found, and the text that reports it. Portable.
#pragma once

// Status codes of the registry calls, as the platform defines them.
constexpr long status_success = 0;
constexpr long status_file_not_found = 2;
constexpr long status_path_not_found = 3;

struct RunOutcome {
    int cleaned_count;  // targets whose removal succeeded
    int failed_count;   // targets whose entry may still be there: a call failed for
                        // a reason other than the entry (or its key) being absent
};

// Folds one target into the outcome, given the status of its open when that
// failed, else the status of its removal.
void count_target(RunOutcome &outcome, long status);

inline constexpr char outcome_text_already_cleaned[] = "Registry settings for Zelvorin already cleaned - Version 1.0";
inline constexpr char outcome_text_cleaned[] = "Zelvorin registry setting detected and cleaned - Version 1.0";
inline constexpr char outcome_text_not_cleaned[] = "Zelvorin registry setting could not be cleaned - Version 1.0";

const char *outcome_text(const RunOutcome &outcome);
