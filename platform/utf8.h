// Text for the CK_UTF8CHAR fields: always valid UTF-8, cut only between
// characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zorbix::platform {

bool IsValidUtf8(std::string_view text);

// Latin-1 bytes as UTF-8. T.61 strings of the cards are taken the same way:
// their letters and digits are the ASCII ones, and the cards in use put no
// T.61 diacritic sequences in their labels.
std::string Latin1ToUtf8(std::span<const std::uint8_t> bytes);

// `bytes` as they stand when they are valid UTF-8, else read as Latin-1.
std::string AsUtf8(std::span<const std::uint8_t> bytes);

// Blank-fills a field of `size` bytes and copies as much of `text` as fits
// without splitting a character. `text` is made valid UTF-8 first (AsUtf8).
void FillUtf8Field(unsigned char* field, std::size_t size, std::string_view text);

}  // namespace zorbix::platform
