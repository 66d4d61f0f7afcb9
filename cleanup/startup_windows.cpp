// Process start-up without the C runtime: the program needs none of it, and
// without it the executable runs on a bare Windows with nothing installed.
#include <windows.h>

#include "library_search.h"
#include "tail.h"

static bool is_ansi_lead_byte(unsigned char byte)
{
    return IsDBCSLeadByte(byte) != FALSE;
}

// i686 guarantees only 4-byte stack alignment at the entry point.
extern "C" __attribute__((force_align_arg_pointer, noreturn)) void cleanup_start()
{
    limit_library_search();
    const char *tail = command_line_tail(GetCommandLineA(), is_ansi_lead_byte);

    // The run opens no window of its own, so the caller's show state is not
    // asked for: SW_SHOWDEFAULT says the same.
    ExitProcess(static_cast<UINT>(WinMain(GetModuleHandleA(nullptr), nullptr, const_cast<LPSTR>(tail), SW_SHOWDEFAULT)));
}
