// TEST 0: the workstation the card software depends on. Library versions in
// the system folders, then the configuration places that play the registry
// keys' roles (platform/system_places.h, platform/registry.h).
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "app/htmllog.h"
#include "app/tests/defaultsteps.h"
#include "platform/registry.h"
#include "platform/system_places.h"
#include "platform/version.h"
#include "res/strings.h"

namespace zorbix::app {
namespace {

using res::Text;

constexpr int kUndefinedText = 275;  // "Undefined\n"

struct Library {
  int labelId;
  const char* file;
};

// The maker's libraries; rows 1 and 7 are PKCS#11 modules, in the pkcs11
// folder p11-kit and our install use.
constexpr Library kLibraries[] = {
    {262, "pkcs11/OrvaPk2.so"},     {268, "libOrvaProv.so"},
    {269, "libOrvaAsn.so"},         {270, "libOrvaLink.so"},
    {263, "libOrvaCSP.so"},         {265, "libOrvaCertStore.so"},
    {262, "pkcs11/ORVA_P11.so"},
};
constexpr std::size_t kModuleRow = 6;

struct Pass {
  int csidl;
  int labelId;
};
constexpr Pass kPasses[] = {{platform::kCsidlSystemX86, 276}, {platform::kCsidlSystem, 277}};

// "v %02d.%02d.%02d.%02d\n": the four 16-bit parts of the file version.
std::string VersionText(const platform::FixedFileInfo& info) {
  char text[64];
  std::snprintf(text, sizeof text, "v %02d.%02d.%02d.%02d\n",
                static_cast<int>(info.fileVersionMS >> 16),
                static_cast<int>(info.fileVersionMS & 0xFFFF),
                static_cast<int>(info.fileVersionLS >> 16),
                static_cast<int>(info.fileVersionLS & 0xFFFF));
  return text;
}

// Folder and library paths are the file system's: escaped for the log.
void WriteLine(RunState& s, std::string_view label, std::string_view value) {
  s.SetLineBuffer(std::string(label) + HtmlEscape(value));
  LogWrite(s.lineBuffer, false);
}

void WriteFolder(RunState& s, int labelId, const std::optional<std::string>& folder) {
  if (folder) {
    WriteLine(s, Text(labelId), *folder);
  } else {
    LogWrite(Text(labelId) + Text(kUndefinedText), false);
    LogWrite("<BR>", false);
  }
}

void WriteVersion(const std::string& path) {
  const std::uint32_t size = platform::GetFileVersionInfoSize(path);
  if (size == 0) {
    LogWrite(Text(266), false);
    return;
  }
  std::vector<std::uint8_t> block(size, 0);
  const void* record = nullptr;
  std::uint32_t length = 0;
  if (!platform::GetFileVersionInfo(path, size, block.data()) ||
      !platform::VerQueryValue(block.data(), "\\", &record, &length) || record == nullptr ||
      length < sizeof(platform::FixedFileInfo)) {
    LogWrite("\t\t" + Text(166), false);
    return;
  }
  platform::FixedFileInfo info;
  std::memcpy(&info, record, sizeof info);
  LogWrite(Text(264) + VersionText(info), false);
}

void TestLibraries(RunState& s) {
  LogDashedRule();
  LogWrite(kLogSectionFrameOpen, true);
  LogWrite(kLogHeadingTest0, true);
  LogWrite("TEST 0.1: ", true);
  LogWrite(Text(267), false);
  LogWrite(kLogSectionFrameClose, true);

  WriteFolder(s, 274, platform::WindowsDirectory());
  WriteFolder(s, 273, platform::SystemDirectory());

  for (const Pass& pass : kPasses) {
    LogDashedRule();
    const std::string folder = platform::ShellFolderPath(pass.csidl).value_or(std::string());
    if (!folder.empty()) WriteLine(s, Text(pass.labelId), folder);
    for (std::size_t row = 0; row < std::size(kLibraries); ++row) {
      const std::string path = folder + "/" + kLibraries[row].file;
      WriteLine(s, Text(kLibraries[row].labelId), path);
      if (row == kModuleRow) {
        s.page.libraryPath = path;
        s.ui.SetText(kCtlLibraryPath, path);
      }
      WriteVersion(path);
    }
  }
}

// "\tUnable to open registry entry" with ". Error: 0x%08X\n" for its last
// line feed.
std::string OpenFailedLine(long error) {
  std::string text = Text(279);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  char code[32];
  std::snprintf(code, sizeof code, ". Error: 0x%08lX\n", static_cast<unsigned long>(error));
  return text + code;
}

// Reads the two values of a provider key; false when one failed.
bool ListValues(const platform::RegistryHandle& key, const std::string& keyText) {
  using platform::ProviderValue;
  for (ProviderValue value : {ProviderValue::kSignature, ProviderValue::kImagePath}) {
    std::uint32_t size = 0;
    long rv = platform::RegQueryValue(key, value, nullptr, &size);
    if (rv != platform::kRegOk && rv != platform::kRegMoreData) {
      LogWrite("\t" + Text(kUndefinedText), false);
      return false;
    }
    std::vector<std::uint8_t> data(size, 0);
    rv = platform::RegQueryValue(key, value, data.data(), &size);
    if (rv != platform::kRegOk && rv != platform::kRegMoreData) {
      LogWrite("\t" + Text(kUndefinedText), false);
      if (value == ProviderValue::kSignature) LogWrite("<BR>", false);
      return false;
    }
    data.resize(std::min<std::size_t>(size, data.size()));
    LogWrite("\t" + keyText + platform::NameOf(value) + "/\n", false);
    LogHexDump(data.data(), data.size(), true);
  }
  return true;
}

void ListSubkeys(const platform::RegistryHandle& key, const std::string& keyText) {
  std::string name;
  std::uint32_t index = 0;
  for (;; ++index) {
    const long rv = platform::RegEnumKey(key, index, &name);
    if (rv != platform::kRegOk && rv != platform::kRegMoreData) break;
    LogWrite("\t" + keyText + HtmlEscape(name), false);
  }
  if (index == 0) LogWrite("\t" + Text(kUndefinedText), false);
}

int TestRegistry() {
  LogDashedRule();
  LogWrite(kLogSectionFrameOpen, true);
  LogWrite("<H3>TEST 0.2:", true);
  LogWrite(Text(271), false);
  LogWrite(kLogSectionFrameClose, true);

  int result = 0;
  try {
    for (platform::SystemKey which : platform::kSystemKeys) {
      const platform::KeyName name = platform::NameOf(which);
      const std::string keyText = HtmlEscape(name.root + name.path);
      LogWrite(keyText + ":\n", false);
      platform::RegistryHandle key;
      const long rv = platform::RegOpenKey(which, &key);
      if (rv != platform::kRegOk) {
        LogWrite(OpenFailedLine(rv), false);
        continue;
      }
      if (platform::HasValues(which)) {
        if (!ListValues(key, keyText)) result = 2;
      } else {
        ListSubkeys(key, keyText);
      }
      if (platform::RegCloseKey(std::move(key)) != platform::kRegOk) result = 2;
    }
  } catch (const std::exception&) {
    result = 2;  // the remaining keys are skipped
  }

  LogWrite(Text(272), false);
  std::string rule = kLogDashedRule;
  rule.pop_back();
  LogWrite(rule, false);
  return result;
}

}  // namespace

int RunSystemTest(RunState& s) {
  TestLibraries(s);
  return TestRegistry();
}

void DefaultTestSteps::TestSystem(RunState& s) { RunSystemTest(s); }

}  // namespace zorbix::app
