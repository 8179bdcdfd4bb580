// A stand-in for pinentry: a shell script that speaks just enough Assuan,
// records every line it receives, and answers CONFIRM as a test wants.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace zorbix::testing {

// Shell commands for the CONFIRM line.
inline constexpr char kPinentryYes[] = "echo OK";
inline constexpr char kPinentryCancelled[] = "echo 'ERR 83886179 Operation cancelled <Pinentry>'";
inline constexpr char kPinentryNotConfirmed[] = "echo 'ERR 83886194 Not confirmed <Pinentry>'";
// What pinentry-curses answers without a terminal.
inline constexpr char kPinentryNoTty[] = "echo 'ERR 83918950 Inappropriate ioctl for device <Pinentry>'";
inline constexpr char kPinentryDies[] = "exit 1";
inline constexpr char kPinentryHangs[] = "exec /bin/sleep 30";

// Writes dir/pinentry. greeting: its first line.
inline void WritePinentry(const std::filesystem::path& dir, const std::string& onConfirm,
                          const std::string& greeting = "OK Pleased to meet you") {
  const auto script = dir / "pinentry";
  {
    std::ofstream out(script);
    out << "#!/bin/sh\n"
        << "log='" << (dir / "received").string() << "'\n"
        << "echo '" << greeting << "'\n"
        << "while IFS= read -r line; do\n"
        << "  printf '%s\\n' \"$line\" >> \"$log\"\n"
        << "  case \"$line\" in\n"
        << "    CONFIRM*) " << onConfirm << " ;;\n"
        << "    BYE*) echo OK; exit 0 ;;\n"
        << "    *) echo OK ;;\n"
        << "  esac\n"
        << "done\n";
  }
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
}

// The lines the stand-in in dir received, in order.
inline std::vector<std::string> PinentryReceived(const std::filesystem::path& dir) {
  std::ifstream in(dir / "received");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// PATH set to one folder for the scope (so the machine's own pinentry is
// not found), then restored.
class ScopedPath {
 public:
  explicit ScopedPath(const std::filesystem::path& dir) {
    if (const char* old = getenv("PATH")) previous_ = old;
    setenv("PATH", dir.c_str(), 1);
  }
  ~ScopedPath() { setenv("PATH", previous_.c_str(), 1); }
  ScopedPath(const ScopedPath&) = delete;
  ScopedPath& operator=(const ScopedPath&) = delete;

 private:
  std::string previous_;
};

}  // namespace zorbix::testing
