#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// One line of the VM's report: the tag, then the bytes in hex as one word (none when there are
// none). The tests read the payload back as the line's last word.
inline void printHexLine(std::FILE* out, const char* tag, const std::uint8_t* bytes,
                         std::size_t size)
{
    std::fprintf(out, "%s", tag);
    for (std::size_t i = 0; i < size; ++i)
        std::fprintf(out, "%s%02X", i ? "" : " ", bytes[i]);
    std::fprintf(out, "\n");
}
