// The command-line tail: what follows the program name on the command line.
// Portable: the only platform input is the code page's lead-byte test.
#pragma once

// True when the byte opens a double-byte character in the active ANSI code page.
using LeadBytePredicate = bool (*)(unsigned char byte);

// Returns a pointer into command_line (never a copy) at the first byte of the
// tail, or at its terminator when there is none. Never reads past the terminator.
const char *command_line_tail(const char *command_line, LeadBytePredicate is_lead_byte);
