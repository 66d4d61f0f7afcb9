#include <windows.h>

#include "report.h"

void show_outcome_report(const RunOutcome &outcome, const char *command_line_tail)
{
    if (*command_line_tail == '\0')
        return;

    // user32 is loaded only here: importing it would drag the window system
    // (gdi32 and friends) into every silent run, and make the process a GUI
    // process with its cost at start and exit. user32 is a known DLL, so
    // the system copy is always the one loaded.
    HMODULE user32 = LoadLibraryA("user32.dll");
    if (user32 == nullptr)
        return;
    using MessageBoxProc = int(WINAPI *)(HWND, LPCSTR, LPCSTR, UINT);
    auto message_box = reinterpret_cast<MessageBoxProc>(
        reinterpret_cast<void *>(GetProcAddress(user32, "MessageBoxA")));
    if (message_box != nullptr)
        message_box(nullptr, outcome_text(outcome), nullptr, MB_OK | MB_ICONWARNING);
}
