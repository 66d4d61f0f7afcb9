#include <gtest/gtest.h>

#include "outcome.h"

namespace {

constexpr long access_denied = 5;

// Per target: the status of its open when that failed, else of its removal.
struct OutcomeCase {
    const char *what;
    long status[2];
    int cleaned_count;
    int failed_count;
    const char *text;
};

const OutcomeCase outcome_cases[] = {
    {"neither entry or key present", {2, 2}, 0, 0, outcome_text_already_cleaned},
    {"path not found counts as absent", {3, 2}, 0, 0, outcome_text_already_cleaned},
    {"first removed", {0, 2}, 1, 0, outcome_text_cleaned},
    {"second removed", {2, 0}, 1, 0, outcome_text_cleaned},
    {"both removed: same text as one", {0, 0}, 2, 0, outcome_text_cleaned},
    {"both refused", {access_denied, access_denied}, 0, 2, outcome_text_not_cleaned},
    {"subkey not removable", {2, access_denied}, 0, 1, outcome_text_not_cleaned},
    {"one removed, one refused", {0, access_denied}, 1, 1, outcome_text_not_cleaned},
    {"any other failure is a failure", {0, 1018}, 1, 1, outcome_text_not_cleaned},
};

TEST(Outcome, Table)
{
    for (const OutcomeCase &c : outcome_cases) {
        RunOutcome outcome = {0, 0};
        for (long status : c.status)
            count_target(outcome, status);
        EXPECT_EQ(outcome.cleaned_count, c.cleaned_count) << c.what;
        EXPECT_EQ(outcome.failed_count, c.failed_count) << c.what;
        EXPECT_STREQ(outcome_text(outcome), c.text) << c.what;
    }
}

}  // namespace
