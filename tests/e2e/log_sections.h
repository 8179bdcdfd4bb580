// Reading the log of an end-to-end run: the whole file, the expected
// fixtures, and the sections cut out by their headings.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/htmllog.h"

namespace zorbix::testing {

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline std::string Fixture(const std::string& name) {
  const std::string text = ReadFile(std::filesystem::path(ZORBIX_E2E_FIXTURES) / name);
  EXPECT_FALSE(text.empty()) << "missing fixture " << name;
  return text;
}

inline std::string Wrapped(const std::string& text) { return "\n<B><PRE>" + text + "</B></PRE>"; }

// Where the section with `heading` starts (its dashed rule); npos if absent.
inline std::size_t SectionStart(const std::string& log, const std::string& heading) {
  const std::size_t h = log.find(heading);
  if (h == std::string::npos) return h;
  return log.rfind(Wrapped(app::kLogDashedRule), h);
}

// From the start of section `from` up to the start of `to` (or the end).
inline std::string Section(const std::string& log, const char* from, const char* to) {
  const std::size_t a = SectionStart(log, from);
  if (a == std::string::npos) return {};
  const std::size_t b = SectionStart(log, to);
  return log.substr(a, b == std::string::npos ? std::string::npos : b - a);
}

// From the start of section `from` up to the run's trailer (or the end).
inline std::string SectionToTrailer(const std::string& log, const char* from) {
  const std::size_t a = SectionStart(log, from);
  if (a == std::string::npos) return {};
  const std::size_t b = log.find(app::kLogTrailerOpen, a);
  return log.substr(a, b == std::string::npos ? std::string::npos : b - a);
}

}  // namespace zorbix::testing
