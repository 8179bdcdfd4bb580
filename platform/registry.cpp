// Registry calls over folders, the card database and p11-kit registrations.
#include "platform/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>

#include "platform/carddb.h"
#include "platform/system_places.h"
#include "platform/version.h"

namespace zorbix::platform {

class RegistryKey {
 public:
  SystemKey key;
  std::vector<std::string> subkeys;
  // Provider keys: the registration's fields.
  std::vector<std::pair<std::string, std::string>> fields;
};

void RegistryKeyDeleter::operator()(RegistryKey* key) const { delete key; }

namespace {

constexpr char kRegistration[] = "orva-zel.module";
constexpr std::size_t kMaxRegistrationSize = 64 * 1024;

long FromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return kRegNotFound;
    case EACCES:
    case EPERM: return kRegAccessDenied;
    case ENOMEM: return 8;       // not enough memory
    case EMFILE:
    case ENFILE: return 4;       // too many open files
    default: return 1117;        // I/O device error
  }
}

std::string MachineRoot() { return SystemRoot() + "/"; }

std::string UserRoot() {
  std::string home = UserHome();
  while (!home.empty() && home.back() == '/') home.pop_back();
  return home + "/";
}

std::string NativeModuleFolder() { return std::string("usr/") + InstallLibDir() + "/pkcs11/"; }

std::string Module32Folder() {
  if (auto folder = ShellFolderPath(kCsidlSystemX86)) {
    const std::string root = SystemRoot();
    if (folder->compare(0, root.size(), root) == 0) return folder->substr(root.size() + 1) + "/pkcs11/";
  }
  return "usr/lib/i386-linux-gnu/pkcs11/";
}

std::string FilePath(const KeyName& name) {
  std::string path = name.root + name.path;
  if (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

long ReadFolder(const std::string& path, std::vector<std::string>* names) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return FromErrno(errno);
  errno = 0;
  while (const dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      names->emplace_back(entry->d_name);
  }
  const int error = errno;
  closedir(dir);
  if (error != 0) return FromErrno(error);
  std::sort(names->begin(), names->end());
  return kRegOk;
}

std::string Trim(std::string s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

// A p11-kit module file: "field: value" lines; "#" starts a comment line.
long ReadRegistration(const std::string& path,
                      std::vector<std::pair<std::string, std::string>>* fields) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FromErrno(errno);
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const bool folder = S_ISDIR(st.st_mode);
    close(fd);
    return folder ? kRegNotFound : FromErrno(errno);
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      close(fd);
      return FromErrno(error);
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxRegistrationSize) break;  // nothing sensible is that long
  }
  close(fd);
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trim(text.substr(at, end - at));
    at = end + 1;
    if (line.empty() || line[0] == '#') continue;
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    fields->emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
  }
  return kRegOk;
}

std::optional<std::string> Field(const RegistryKey& key, const std::string& name) {
  for (const auto& [field, value] : key.fields)
    if (field == name) return value;
  return std::nullopt;
}

// The module a registration names; relative names live in the module folder.
std::optional<std::string> ModulePath(const RegistryKey& key) {
  auto module = Field(key, "module");
  if (!module || module->empty()) return std::nullopt;
  if ((*module)[0] == '/') return module;
  return MachineRoot() + NativeModuleFolder() + *module;
}

std::optional<std::vector<std::uint8_t>> ValueOf(const RegistryKey& key, ProviderValue value) {
  if (value == ProviderValue::kImagePath) {
    auto module = Field(key, "module");
    if (!module) return std::nullopt;
    return std::vector<std::uint8_t>(module->begin(), module->end());
  }
  const auto path = ModulePath(key);
  if (!path) return std::nullopt;
  const std::uint32_t size = GetFileVersionInfoSize(*path);
  if (size == 0) return std::nullopt;
  std::vector<std::uint8_t> block(size);
  const void* record = nullptr;
  std::uint32_t length = 0;
  if (!GetFileVersionInfo(*path, size, block.data()) ||
      !VerQueryValue(block.data(), "\\", &record, &length) || record == nullptr)
    return std::nullopt;
  const auto* bytes = static_cast<const std::uint8_t*>(record);
  return std::vector<std::uint8_t>(bytes, bytes + length);
}

}  // namespace

KeyName NameOf(SystemKey key) {
  switch (key) {
    case SystemKey::kUserCertificateStores: return {UserRoot(), ".pki/nssdb/"};
    case SystemKey::kSmartCards: return {"zorbix:", "carddb/"};
    case SystemKey::kProviders: return {MachineRoot(), "usr/share/p11-kit/modules/"};
    case SystemKey::kOrvaProvider:
      return {MachineRoot(), std::string("usr/share/p11-kit/modules/") + kRegistration + "/"};
    case SystemKey::kCertificateStores: return {MachineRoot(), "etc/pki/nssdb/"};
    case SystemKey::kSmartCards32: return {MachineRoot(), "etc/reader.conf.d/"};
    case SystemKey::kProviders32: return {MachineRoot(), "etc/pkcs11/modules/"};
    case SystemKey::kOrvaProvider32:
      return {MachineRoot(), std::string("etc/pkcs11/modules/") + kRegistration + "/"};
    case SystemKey::kCertificateStores32: return {UserRoot(), ".config/pkcs11/modules/"};
    case SystemKey::kMaker: return {MachineRoot(), NativeModuleFolder()};
    case SystemKey::kMaker32: return {MachineRoot(), Module32Folder()};
  }
  return {};
}

const char* NameOf(ProviderValue value) {
  return value == ProviderValue::kSignature ? "signature" : "module";
}

bool HasValues(SystemKey key) {
  return key == SystemKey::kOrvaProvider || key == SystemKey::kOrvaProvider32;
}

long RegOpenKey(SystemKey key, RegistryHandle* handle) {
  if (handle == nullptr) return 87;  // invalid parameter
  RegistryHandle opened(new RegistryKey);
  opened->key = key;
  long rv = kRegOk;
  if (key == SystemKey::kSmartCards) {
    for (const RegisteredCard& card : RegisteredCards()) {
      if (std::find(opened->subkeys.begin(), opened->subkeys.end(), card.name) ==
          opened->subkeys.end())
        opened->subkeys.push_back(card.name);
    }
  } else if (HasValues(key)) {
    rv = ReadRegistration(FilePath(NameOf(key)), &opened->fields);
  } else {
    rv = ReadFolder(FilePath(NameOf(key)), &opened->subkeys);
  }
  if (rv == kRegOk) *handle = std::move(opened);
  return rv;
}

long RegEnumKey(const RegistryHandle& handle, std::uint32_t index, std::string* name) {
  if (!handle || name == nullptr) return 6;  // invalid handle
  if (index >= handle->subkeys.size()) return kRegNoMoreItems;
  *name = handle->subkeys[index];
  return kRegOk;
}

long RegQueryValue(const RegistryHandle& handle, ProviderValue value, std::uint8_t* data,
                   std::uint32_t* size) {
  if (!handle || size == nullptr) return 6;
  const auto bytes = ValueOf(*handle, value);
  if (!bytes) return kRegNotFound;
  const auto needed = static_cast<std::uint32_t>(bytes->size());
  if (data == nullptr) {
    *size = needed;
    return kRegOk;
  }
  if (*size < needed) {
    *size = needed;
    return kRegMoreData;
  }
  std::copy(bytes->begin(), bytes->end(), data);
  *size = needed;
  return kRegOk;
}

long RegCloseKey(RegistryHandle handle) { return handle ? kRegOk : 6; }

}  // namespace zorbix::platform
