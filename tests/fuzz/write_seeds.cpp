// Writes the unit tests' command lines as the fuzzer's seed corpus, one file
// each: the code-page byte, then the command line.
#include <cstdio>
#include <string>

#include "tail_cases.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        (void)std::fputs("usage: tail-fuzz-seeds FOLDER\n", stderr);
        return 2;
    }
    int count = 0;
    for (const tail_table::TailCase &c : tail_table::tail_cases) {
        std::string path = std::string(argv[1]) + "/seed-" + std::to_string(count++);
        FILE *seed = std::fopen(path.c_str(), "wb");
        if (seed == nullptr)
            return 1;
        bool written = std::fputc(c.is_lead_byte == tail_table::cp932_lead_byte ? 1 : 0, seed) != EOF &&
                       std::fwrite(c.command_line.data(), 1, c.command_line.size(), seed) == c.command_line.size();
        if (std::fclose(seed) != 0 || !written)
            return 1;
    }
    return 0;
}
