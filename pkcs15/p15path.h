// The two stored forms of a PKCS#15 path: binary file identifiers, or text
// with "\" and four upper-case hex digits per file identifier.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zorbix::p15 {

// Path form values of a file: 2 writes paths in binary, anything else as text.
inline constexpr int kPathFormBinary = 2;
inline constexpr int kPathFormText = 0;

// Text to binary: per run of hex digits (either case, backslashes skipped)
// its two low-order bytes, high byte first; stops at a run whose value is 0,
// which includes a character that is neither a backslash nor a hex digit.
std::vector<std::uint8_t> PathFromText(std::span<const std::uint8_t> text);

// Binary to text. An odd last byte is taken as the high byte of a file id
// whose low byte is 00 (see PadPath).
std::string PathToText(std::span<const std::uint8_t> path);

// Makes an odd-length binary path even by appending 00, the form written
// and kept by the object once its path is stored as text.
void PadPath(std::vector<std::uint8_t>& path);

// A stored path as the object keeps it: up to 4 bytes is binary, longer is text.
std::vector<std::uint8_t> PathFromStored(std::span<const std::uint8_t> stored);
inline bool IsStoredAsText(std::span<const std::uint8_t> stored) { return stored.size() > 4; }

// The bytes to store for a binary path in the given path form.
std::vector<std::uint8_t> PathForStorage(std::span<const std::uint8_t> path, int pathForm);

}  // namespace zorbix::p15
