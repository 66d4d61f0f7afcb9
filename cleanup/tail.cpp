#include "tail.h"

const char *command_line_tail(const char *command_line, LeadBytePredicate is_lead_byte)
{
    // Bytes are compared as unsigned: with a signed char, bytes 0x80 and
    // above would look like control characters and end the name early.
    const auto *p = reinterpret_cast<const unsigned char *>(command_line);

    if (*p == '"') {
        // A quoted name has no escapes and no quote toggling: it ends at the
        // next quote, and whatever is glued to that quote is already the tail.
        ++p;
        while (*p != '\0' && *p != '"') {
            // A trail byte may equal '"'; step over the pair, but a lead byte
            // right before the terminator has no trail byte to step over.
            if (is_lead_byte(*p) && p[1] != '\0')
                ++p;
            ++p;
        }
        if (*p == '"')
            ++p;
    } else {
        while (*p > ' ')
            ++p;
    }

    while (*p != '\0' && *p <= ' ')
        ++p;
    return reinterpret_cast<const char *>(p);
}
