// Folders of the workstation below a movable root.
#include "platform/system_places.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#ifndef ZORBIX_INSTALL_LIBDIR
#define ZORBIX_INSTALL_LIBDIR "lib"
#endif

namespace zorbix::platform {
namespace {

std::string& Root() {
  static std::string root;
  return root;
}

std::string DefaultHome() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr)
    return pw->pw_dir;
  return {};
}

std::string& Home() {
  static std::string home = DefaultHome();
  return home;
}

std::string Below(const std::string& path) { return Root() + path; }

std::optional<std::string> IfFolder(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  return path;
}

}  // namespace

void SetSystemRoot(std::string root) {
  while (!root.empty() && root.back() == '/') root.pop_back();
  Root() = std::move(root);
}

const std::string& SystemRoot() { return Root(); }

void SetUserHome(std::string home) { Home() = std::move(home); }

const std::string& UserHome() { return Home(); }

const char* InstallLibDir() { return ZORBIX_INSTALL_LIBDIR; }

std::optional<std::string> WindowsDirectory() { return IfFolder(Below("/usr")); }

std::optional<std::string> SystemDirectory() {
  return IfFolder(Below(std::string("/usr/") + InstallLibDir()));
}

std::optional<std::string> ShellFolderPath(int csidl) {
  if (csidl == kCsidlSystem) return SystemDirectory();
  if (csidl != kCsidlSystemX86) return std::nullopt;
#if defined(__i386__) || (defined(__arm__) && !defined(__aarch64__))
  return SystemDirectory();
#else
  for (const char* folder : {"/usr/lib/i386-linux-gnu", "/usr/lib32"}) {
    if (auto found = IfFolder(Below(folder))) return found;
  }
  return std::nullopt;
#endif
}

}  // namespace zorbix::platform
