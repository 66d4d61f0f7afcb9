#include <windows.h>

#include "library_search.h"
#include "report.h"

// What the box loads besides user32 that Windows does not keep among its
// known DLLs. Each is loaded first from the system folder by full path, so
// that the later loads by name (user32's own imports, the themed controls')
// find it already there. That closes what the limited search leaves open:
// the themed controls look for msimg32 with the program's folder still in
// their search, and a system that cannot limit the search looks there first
// for every one of them.
constexpr const char *box_libraries[] = {"win32u.dll", "version.dll", "uxtheme.dll", "msimg32.dll"};

void show_outcome_report(const RunOutcome &outcome, const char *command_line_tail)
{
    if (*command_line_tail == '\0')
        return;

    // user32 is loaded only here: importing it would drag the window system
    // (gdi32 and friends) into every silent run, and make the process a GUI
    // process with its cost at start and exit.
    for (const char *name : box_libraries)
        load_system_library(name);
    HMODULE user32 = load_system_library("user32.dll");
    if (user32 == nullptr)
        return;
    using MessageBoxProc = int(WINAPI *)(HWND, LPCSTR, LPCSTR, UINT);
    auto message_box = reinterpret_cast<MessageBoxProc>(
        reinterpret_cast<void *>(GetProcAddress(user32, "MessageBoxA")));
    if (message_box != nullptr)
        message_box(nullptr, outcome_text(outcome), nullptr, MB_OK | MB_ICONWARNING);
}
