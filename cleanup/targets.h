// The fixed clean-up targets, in the order they are handled.
#pragma once

enum class Removal { value, subkey };

struct CleanupTarget {
    const char *key_path;    // under HKEY_LOCAL_MACHINE, passed exactly as written
    const char *entry_name;  // the value or subkey removed from that key
    Removal removal;
};

constexpr CleanupTarget cleanup_targets[] = {
    {"System\\CurrentControlSet\\Control\\MediaProperties\\PrivateProperties\\Joystick\\OEM\\Tarnwheel",
     "DosInstallDirectory", Removal::value},
    {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\", "qrtload.exe", Removal::subkey},
};

// Each key path is copied here before its key is opened.
constexpr int key_path_buffer_size = 128;

constexpr int text_size(const char *text)
{
    int size = 1;
    while (*text++ != '\0')
        ++size;
    return size;
}

constexpr bool every_key_path_fits()
{
    // std::all_of is not constexpr before C++20.
    for (const CleanupTarget &target : cleanup_targets)  // NOLINT(readability-use-anyofallof)
        // cppcheck-suppress useStlAlgorithm
        if (text_size(target.key_path) > key_path_buffer_size)
            return false;
    return true;
}

static_assert(every_key_path_fits(), "a clean-up target's key path does not fit the key-path buffer");
static_assert(text_size(cleanup_targets[0].key_path) == 90, "the Tarnwheel key path has changed");
