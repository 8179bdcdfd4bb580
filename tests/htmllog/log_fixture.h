// Test fixture: runs each test in a fresh temporary folder with a new log.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/htmllog.h"
#include "tests/support/temp_dir.h"

namespace zorbix::app {

class LogFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("LC_ALL", "C", 1);
    ASSERT_EQ(LogCreate(kLogFileName), 0);
  }

  static std::string ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  static std::string Log() { return ReadFile(kLogFileName); }

  // "mm/dd/yy - hh:mm:ss", as the header writes the date and time.
  static bool IsDateAndTime(const std::string& text) {
    const std::string shape = "99/99/99 - 99:99:99";
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
      const bool digit = text[i] >= '0' && text[i] <= '9';
      if (shape[i] == '9' ? !digit : text[i] != shape[i]) return false;
    }
    return true;
  }

  zorbix::testing::TempDir temp_{zorbix::testing::TempDir::kEnter};
  const std::filesystem::path& dir_ = temp_.path();
};

}  // namespace zorbix::app
