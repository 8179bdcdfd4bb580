// Test fixture: runs each test in a fresh temporary folder with a new log.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/htmllog.h"

namespace zorbix::app {

class LogFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("LC_ALL", "C", 1);
    oldDir_ = std::filesystem::current_path();
    char pattern[] = "/tmp/zorbix-log-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::filesystem::current_path(dir_);
    ASSERT_EQ(LogCreate(kLogFileName), 0);
  }
  void TearDown() override {
    std::filesystem::current_path(oldDir_);
    std::filesystem::remove_all(dir_);
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

  std::filesystem::path oldDir_;
  std::filesystem::path dir_;
};

}  // namespace zorbix::app
