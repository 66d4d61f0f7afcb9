#include <gtest/gtest.h>

#include "outcome.h"

namespace {

constexpr long access_denied = 5;
constexpr long not_checked = -1;  // removal status when the key did not open

struct OutcomeCase {
    const char *what;
    long open_status[2];
    long removal_status[2];
    int cleaned_count;
    int failed_count;
    const char *text;
};

const OutcomeCase outcome_cases[] = {
    {"neither entry present", {0, 0}, {2, 2}, 0, 0, outcome_text_already_cleaned},
    {"neither key present", {2, 2}, {not_checked, not_checked}, 0, 0, outcome_text_already_cleaned},
    {"path not found counts as absent", {3, 2}, {not_checked, not_checked}, 0, 0, outcome_text_already_cleaned},
    {"first removed", {0, 0}, {0, 2}, 1, 0, outcome_text_cleaned},
    {"second removed", {2, 0}, {not_checked, 0}, 1, 0, outcome_text_cleaned},
    {"both removed: same text as one", {0, 0}, {0, 0}, 2, 0, outcome_text_cleaned},
    {"both opens refused", {access_denied, access_denied}, {not_checked, not_checked}, 0, 2, outcome_text_not_cleaned},
    {"subkey not removable", {0, 0}, {2, access_denied}, 0, 1, outcome_text_not_cleaned},
    {"one removed, one refused", {0, 0}, {0, access_denied}, 1, 1, outcome_text_not_cleaned},
    {"a removal status is ignored when the open failed", {2, 2}, {0, access_denied}, 0, 0, outcome_text_already_cleaned},
};

TEST(Outcome, Table)
{
    for (const OutcomeCase &c : outcome_cases) {
        RunOutcome outcome = {0, 0};
        for (int target = 0; target < 2; ++target)
            count_target(outcome, c.open_status[target], c.removal_status[target]);
        EXPECT_EQ(outcome.cleaned_count, c.cleaned_count) << c.what;
        EXPECT_EQ(outcome.failed_count, c.failed_count) << c.what;
        EXPECT_STREQ(outcome_text(outcome), c.text) << c.what;
    }
}

}  // namespace
