// libFuzzer target for the command-line tail cutter. The first input byte
// picks the code page (odd: 932, even: none with lead bytes); the rest, up to
// any NUL, is the command line, copied to a buffer of exactly its size so
// that AddressSanitizer catches a read past the terminator.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tail.h"
#include "tail_cases.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    LeadBytePredicate is_lead_byte = (data[0] & 1) != 0 ? tail_table::cp932_lead_byte : tail_table::no_lead_bytes;
    const auto *text = data + 1;
    size_t length = strnlen(reinterpret_cast<const char *>(text), size - 1);
    std::unique_ptr<char[]> command_line(new char[length + 1]);
    std::memcpy(command_line.get(), text, length);
    command_line[length] = '\0';

    const char *tail = command_line_tail(command_line.get(), is_lead_byte);

    // The tail is a suffix of the command line...
    if (tail < command_line.get() || tail > command_line.get() + length)
        std::abort();
    // ...that never starts with a blank or a control byte.
    const auto first = static_cast<unsigned char>(*tail);
    if (first >= 0x01 && first <= 0x20)
        std::abort();
    return 0;
}
