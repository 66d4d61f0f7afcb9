#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "tail.h"
#include "tail_cases.h"

namespace {

using namespace tail_table;

// Runs the cutter on an exact-size heap copy, so that AddressSanitizer
// catches any read past the terminator.
std::string cut(const std::string &command_line, LeadBytePredicate is_lead_byte, size_t *offset = nullptr)
{
    std::unique_ptr<char[]> copy(new char[command_line.size() + 1]);
    std::memcpy(copy.get(), command_line.c_str(), command_line.size() + 1);
    const char *tail = command_line_tail(copy.get(), is_lead_byte);
    EXPECT_GE(tail, copy.get());
    EXPECT_LE(tail, copy.get() + command_line.size());
    if (offset != nullptr)
        *offset = static_cast<size_t>(tail - copy.get());
    return tail;
}

TEST(CommandLineTail, Table)
{
    for (const TailCase &c : tail_cases)
        EXPECT_EQ(cut(c.command_line, c.is_lead_byte), c.tail) << c.what;
}

// The tail is always a suffix of the command line that starts after any
// blanks and control bytes, whatever bytes are around the name.
TEST(CommandLineTail, EveryByteAroundAndAfterTheName)
{
    for (int byte = 1; byte <= 0xFF; ++byte) {
        const std::string b(1, static_cast<char>(byte));
        const bool ends_name = byte <= 0x20;
        for (LeadBytePredicate predicate : {no_lead_bytes, cp932_lead_byte}) {
            // glued to an unquoted name
            EXPECT_EQ(cut("name" + b + "tail", predicate), ends_name ? "tail" : "") << byte;
            // alone after the name
            EXPECT_EQ(cut("name " + b, predicate), ends_name ? "" : b) << byte;
            // as the whole command line
            EXPECT_EQ(cut(b, predicate), "") << byte;
        }
        // inside a quoted name it never ends the name, except '"' itself
        // (no lead bytes here, so nothing swallows the quote)
        if (byte != '"') {
            EXPECT_EQ(cut("\"a" + b + "b\" t", no_lead_bytes), "t") << byte;
        }
    }
}

TEST(CommandLineTail, LeadByteAtEveryPositionNeverReadsPastTheTerminator)
{
    const std::string name = "\"ab\x81" "cd\x81";
    for (size_t length = 0; length <= name.size(); ++length) {
        size_t offset = 0;
        cut(name.substr(0, length), cp932_lead_byte, &offset);
        EXPECT_LE(offset, length);
    }
}

}  // namespace
