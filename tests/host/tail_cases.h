// Command lines and their tails, shared by the unit tests and the fuzzer's
// seed corpus.
#pragma once

#include <string>

#include "tail.h"

namespace tail_table {

inline bool no_lead_bytes(unsigned char /*byte*/) { return false; }

// Code page 932 (Shift-JIS).
inline bool cp932_lead_byte(unsigned char byte)
{
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

struct TailCase {
    const char *what;
    std::string command_line;
    std::string tail;
    LeadBytePredicate is_lead_byte = no_lead_bytes;
};

inline const TailCase tail_cases[] = {
    {"bare name", "cleanup.exe", ""},
    {"bare quoted name", "\"C:\\Tools\\cleanup.exe\"", ""},
    {"empty command line", "", ""},
    {"name then blanks", "cleanup.exe   ", ""},
    {"name then tabs and blanks", "cleanup.exe\t \t", ""},
    {"quoted name then blanks", "\"cleanup.exe\"  \t", ""},
    {"one-character tail", "cleanup.exe x", "x"},
    {"tail kept whole", "cleanup.exe  /q  \"a b\"\t c ", "/q  \"a b\"\t c "},
    {"tail after quoted name", "\"C:\\Program Files\\cleanup.exe\" /show", "/show"},
    {"blanks inside quotes do not end the name", "\"a b c\" d", "d"},
    {"text glued to an unquoted name is name", "cleanup.exe/show", ""},
    {"text glued to an unquoted name, then tail", "cleanup.exe/show now", "now"},
    {"quote inside an unquoted name", "a\"b c\"", "c\""},
    {"text glued to the closing quote is tail", "\"a b\"c d", "c d"},
    {"glued text after quote keeps its quote", "\"cleanup.exe\"\"x\"", "\"x\""},
    {"missing closing quote takes the rest", "\"C:\\cleanup.exe /show", ""},
    {"lone quote", "\"", ""},
    {"empty quoted name", "\"\" x", "x"},
    {"leading blank: the name is empty", " cleanup.exe", "cleanup.exe"},
    {"leading tab: the name is empty", "\tcleanup.exe /x", "cleanup.exe /x"},
    {"only blanks", "  \t ", ""},
    {"control byte ends an unquoted name", "cleanup.exe\x01x", "x"},
    {"0x1F ends an unquoted name", "cleanup.exe\x1Fx", "x"},
    {"control bytes are skipped after the name", "cleanup.exe\x01\x02\x1F\x20x", "x"},
    {"only control bytes after the name", "cleanup.exe\x01\x1F\x0A\x0D", ""},
    {"0x7F belongs to the name", "clean\x7Fup.exe x", "x"},
    {"0x7F is not skipped after the name", "cleanup.exe \x7F", "\x7F"},
    {"0x80 belongs to the name", "clean\x80up.exe", ""},
    {"0xFF belongs to the name", "cleanup.exe\xFF", ""},
    {"high bytes glued to the name", "cleanup.exe\x80\xA0\xFF rest", "rest"},
    {"high byte alone after a blank", "cleanup.exe \xA0", "\xA0"},
    {"0xFF alone after a blank", "cleanup.exe \xFF", "\xFF"},
    {"high bytes inside a quoted name", "\"\xE9t\xE9 \xFF\" x", "x"},
    {"control bytes inside a quoted name", "\"a\x01\x1F\tb\" x", "x"},
    // Double-byte code page: a trail byte that equals '"' does not close the name.
    {"cp932 trail byte is a quote", "\"\x81\"\" x", "x", cp932_lead_byte},
    {"cp932 name of pairs", "\"\x83\x65\x83\x58\x83\x67.exe\" /x", "/x", cp932_lead_byte},
    {"cp932 unquoted name of pairs", "\x83\x65\x83\x58\x83\x67.exe /x", "/x", cp932_lead_byte},
    {"cp932 unquoted name, pair with 0x20 trail", "\x81\x20x", "x", cp932_lead_byte},
    {"cp932 lead byte right before the terminator", "\"abc\x81", "", cp932_lead_byte},
    {"cp932 lone lead byte", "\"\x81", "", cp932_lead_byte},
    {"cp932 lead byte before a quote, quote is swallowed", "\"a\x81\" b", "", cp932_lead_byte},
    {"cp932 lead byte before quote, closing later", "\"a\x81\" b\" c", "c", cp932_lead_byte},
    {"single-byte code page: 0x81 is a plain byte", "\"a\x81\" b", "b"},
};

}  // namespace tail_table
