// The places of the workstation the system test reads, as Linux has them:
// the folders that stand for the Windows and system folders and the two
// system-folder passes, below a root that tests may move (a temporary prefix
// holding an installed copy of the module).
//
// | role                   | Linux place                                              |
// |------------------------|----------------------------------------------------------|
// | Windows folder         | <root>/usr                                               |
// | system folder          | <root>/usr/<libdir>, the library folder of this build    |
// | 32-bit system folder   | <root>/usr/lib/i386-linux-gnu or <root>/usr/lib32, when  |
// |                        | one exists (the native folder on a 32-bit build)         |
// | native system folder   | the system folder                                        |
//
// <libdir> is the build's install library folder ("lib", or
// "lib/<multiarch>" when configured for the prefix /usr).
#pragma once

#include <optional>
#include <string>

namespace zorbix::platform {

// Shell folder ids of the two passes.
inline constexpr int kCsidlSystem = 37;
inline constexpr int kCsidlSystemX86 = 41;

// Root of the machine-wide places ("" for the real system) and the user's
// home folder (by default $HOME, else the password database's entry).
void SetSystemRoot(std::string root);
const std::string& SystemRoot();
void SetUserHome(std::string home);
const std::string& UserHome();

// Folders that exist, without a trailing "/"; nullopt otherwise.
std::optional<std::string> WindowsDirectory();
std::optional<std::string> SystemDirectory();
std::optional<std::string> ShellFolderPath(int csidl);

// The library folder of this build, relative to /usr ("lib", ...).
const char* InstallLibDir();

}  // namespace zorbix::platform
