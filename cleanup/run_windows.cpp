// The clean-up run: both targets, in order, then the report.
#include <windows.h>

#include "outcome.h"
#include "report.h"
#include "targets.h"

static_assert(status_success == ERROR_SUCCESS, "status codes must be the platform's");
static_assert(status_file_not_found == ERROR_FILE_NOT_FOUND, "status codes must be the platform's");
static_assert(status_path_not_found == ERROR_PATH_NOT_FOUND, "status codes must be the platform's");

static void copy_key_path(char (&key_path_buffer)[key_path_buffer_size], const char *key_path)
{
    int i = 0;
    do
        key_path_buffer[i] = key_path[i];
    while (key_path[i++] != '\0');
}

// The platform's header spells the parameters its own way.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous_instance*/, LPSTR command_line_tail, int /*show_state*/)
{
    RunOutcome outcome = {0, 0};
    char key_path_buffer[key_path_buffer_size];

    // No target is checked first: the removal call is the test, and every
    // target is attempted whatever happened to the one before.
    for (const CleanupTarget &target : cleanup_targets) {
        copy_key_path(key_path_buffer, target.key_path);
        HKEY key;
        LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path_buffer, 0, KEY_ALL_ACCESS, &key);
        if (status == ERROR_SUCCESS) {
            status = target.removal == Removal::value ? RegDeleteValueA(key, target.entry_name)
                                                      : RegDeleteKeyA(key, target.entry_name);
            RegCloseKey(key);
        }
        count_target(outcome, status);
    }

    show_outcome_report(outcome, command_line_tail);
    return 0;
}
