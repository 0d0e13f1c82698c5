#pragma once
// What the fuzz targets share: their one check, and their input. The input is the bytes as they
// come, except that a byte 0x01 followed by a count and a byte stands for a run of count * unit
// copies of that byte: words of thousands of characters and files of many kilobytes come from a
// few bytes, without a huge -max_len. The whole is cut at limit bytes, which keeps every
// execution short enough for millions of them.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <vector>

// A finding: libFuzzer keeps the input that broke the promise.
inline void Check(bool condition)
{
    if (!condition)
        abort();
}

inline std::vector<char> ExpandRuns(const uint8_t* data, size_t size, size_t unit, size_t limit)
{
    std::vector<char> bytes;
    bytes.reserve(size < limit ? size : limit);
    for (size_t i = 0; i < size && bytes.size() < limit; ++i) {
        if (data[i] == 0x01 && i + 2 < size) {
            size_t run = data[i + 1] * unit;
            bytes.insert(bytes.end(), run < limit - bytes.size() ? run : limit - bytes.size(), (char)data[i + 2]);
            i += 2;
        } else {
            bytes.push_back((char)data[i]);
        }
    }
    return bytes;
}
