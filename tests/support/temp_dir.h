// A temporary folder for one test, removed with its contents when the object
// goes. Entered, it is also the current directory meanwhile, for code that
// writes relative to it (the wizard's log).
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace zorbix::testing {

class TempDir {
 public:
  enum Mode { kStay, kEnter };

  explicit TempDir(Mode mode = kStay) {
    std::string pattern = (std::filesystem::temp_directory_path() / "zorbix-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    if (mode == kEnter) {
      previous_ = std::filesystem::current_path();
      std::filesystem::current_path(path_);
    }
  }
  ~TempDir() {
    std::error_code ec;
    if (!previous_.empty()) std::filesystem::current_path(previous_, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::filesystem::path previous_;
};

}  // namespace zorbix::testing
