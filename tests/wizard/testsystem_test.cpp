// TEST 0 against expected log sections (fixtures/test0_*.txt) on two
// machines laid out below a temporary root: one with the module installed by
// `cmake --install`, one without it.
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "app/htmllog.h"
#include "app/tests/defaultsteps.h"
#include "platform/system_places.h"
#include "tests/support/recording_ui.h"
#include "tests/support/temp_dir.h"

namespace zorbix::app {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

void Replace(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

// The fixture's text: comment lines and line breaks dropped, escapes and
// placeholders filled in.
std::string Expected(const std::string& name, const std::map<std::string, std::string>& values) {
  const std::string raw = ReadFile(fs::path(ZORBIX_FIXTURES) / name);
  std::string text;
  std::size_t at = 0;
  while (at < raw.size()) {
    std::size_t end = raw.find('\n', at);
    if (end == std::string::npos) end = raw.size();
    const std::string line = raw.substr(at, end - at);
    at = end + 1;
    if (line.empty() || line[0] == '#') continue;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size() && (line[i + 1] == 't' || line[i + 1] == 'n')) {
        text += line[i + 1] == 't' ? '\t' : '\n';
        ++i;
      } else {
        text += line[i];
      }
    }
  }
  for (const auto& [key, value] : values) Replace(text, "{" + key + "}", value);
  return text;
}

// Opens every folder below `top` for other users, as an installed system is.
void OpenUp(const fs::path& top) {
  fs::permissions(top, fs::perms(0755));
  for (const auto& entry : fs::recursive_directory_iterator(top))
    if (entry.is_directory() && !entry.is_symlink()) fs::permissions(entry, fs::perms(0755));
}

class SystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("LC_ALL", "C", 1);
    platform::SetSystemRoot(root_.string());
    platform::SetUserHome(home_.string());
  }
  void TearDown() override {
    platform::SetSystemRoot("");
    platform::SetUserHome(getenv("HOME") ? getenv("HOME") : "");
    std::error_code ec;
    fs::permissions(home_ / ".config/pkcs11/modules", fs::perms(0755), ec);
  }

  std::map<std::string, std::string> Values() const {
    return {{"ROOT", root_.string()},
            {"HOME", home_.string()},
            {"LIBDIR", platform::InstallLibDir()},
            {"DASHES", std::string(69, '-')}};
  }

  // Runs TEST 0 in a child process that, when we are root, becomes "nobody",
  // so that a folder without permissions is unreadable as for any user.
  int RunAsUser(const fs::path& log) {
    const pid_t child = fork();
    if (child == 0) {
      if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
        _exit(100);
      LogCreate(log.c_str());
      testing::RecordingUi ui;
      RunState state(ui, nullptr);
      const int result = RunSystemTest(state);
      _exit(state.page.libraryPath == ui.text(kCtlLibraryPath) ? result : 101);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  testing::TempDir temp_{testing::TempDir::kEnter};
  fs::path root_ = temp_.path() / "root";
  fs::path home_ = temp_.path() / "root/home/user";
};

TEST_F(SystemTest, MachineWithoutTheModule) {
  fs::create_directories(root_ / "usr" / platform::InstallLibDir());
  ASSERT_EQ(LogCreate(kLogFileName), 0);
  testing::RecordingUi ui;
  RunState state(ui, nullptr);
  EXPECT_EQ(RunSystemTest(state), 0);
  EXPECT_EQ(ReadFile(kLogFileName), Expected("test0_bare.txt", Values()));
  // Field 1037 keeps the second pass's path, whether the file exists or not.
  const std::string path = root_.string() + "/usr/" + platform::InstallLibDir() + "/pkcs11/ORVA_P11.so";
  EXPECT_EQ(ui.text(kCtlLibraryPath), path);
  EXPECT_EQ(state.page.libraryPath, path);
}

TEST_F(SystemTest, MachineWithTheModuleInstalled) {
  const std::string install = std::string("\"") + ZORBIX_CMAKE + "\" --install \"" +
                              ZORBIX_BUILD_DIR + "\" --prefix \"" + (root_ / "usr").string() +
                              "\" --component p11 > install.out 2>&1";
  ASSERT_EQ(std::system(install.c_str()), 0) << ReadFile("install.out");
  const fs::path lib32 = root_ / "usr/lib/i386-linux-gnu";
  WriteFile(lib32 / "pkcs11/ORVA_P11.so", "not a library\n");
  for (const char* file : {"cert9.db", "key4.db", "pkcs11.txt"}) WriteFile(home_ / ".pki/nssdb" / file, "");
  WriteFile(root_ / "usr/share/p11-kit/modules/p11-kit-trust.module", "module: p11-kit-trust.so\n");
  fs::create_directories(root_ / "etc/reader.conf.d");
  WriteFile(root_ / "etc/pkcs11/modules/orva-zel.module",
            "# copied by hand\nmodule: " + (lib32 / "pkcs11/ORVA_P11.so").string() + "\n");
  const fs::path unreadable = home_ / ".config/pkcs11/modules";
  WriteFile(unreadable / "orva-zel.module", "module: ORVA_P11.so\n");
  const fs::path logs = temp_.path() / "logs";
  fs::create_directories(logs);
  OpenUp(temp_.path());
  fs::permissions(logs, fs::perms(0777));
  fs::permissions(unreadable, fs::perms::none);

  const fs::path log = logs / kLogFileName;
  EXPECT_EQ(RunAsUser(log), 2);

  // The registration's module path, dumped framed as the log writer does.
  const std::string module = ReadFile(root_ / "usr/share/p11-kit/modules/orva-zel.module");
  const std::string modulePath = (root_ / "usr" / platform::InstallLibDir() / "pkcs11/ORVA_P11.so").string();
  ASSERT_NE(module.find("module: " + modulePath + "\n"), std::string::npos) << module;
  ASSERT_EQ(LogCreate("dump.txt"), 0);
  LogHexDump(reinterpret_cast<const std::uint8_t*>(modulePath.data()), modulePath.size(), true);
  auto values = Values();
  values["MODULE_DUMP"] = ReadFile("dump.txt");
  EXPECT_EQ(ReadFile(log), Expected("test0_installed.txt", values));
}

}  // namespace
}  // namespace zorbix::app
