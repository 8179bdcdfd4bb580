// The registry keys the system test lists, as the Linux configuration that
// plays each key's role. A key is a folder (its subkeys are the folder's
// entries, in byte order of their names), the card database of
// platform/carddb (its subkeys are the model names), or a p11-kit module
// registration (a file of "field: value" lines, read for two values).
//
// The calls mirror the registry calls: results are 0 on success, 2 when the
// place is missing, 5 when the user may not read it, 259 past the last
// subkey; other system errors keep the registry's codes where one fits.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace zorbix::platform {

inline constexpr long kRegOk = 0;
inline constexpr long kRegNotFound = 2;
inline constexpr long kRegAccessDenied = 5;
inline constexpr long kRegMoreData = 234;
inline constexpr long kRegNoMoreItems = 259;

// The eleven keys, in the order the system test lists them.
enum class SystemKey {
  kUserCertificateStores,    // user's NSS database
  kSmartCards,               // card database of platform/carddb
  kProviders,                // p11-kit module registrations of the packages
  kOrvaProvider,             // our registration among them
  kCertificateStores,        // machine-wide NSS database
  kSmartCards32,             // reader driver configuration of pcsc-lite
  kProviders32,              // p11-kit module registrations of the system
  kOrvaProvider32,           // our registration among them
  kCertificateStores32,      // the user's own p11-kit module registrations
  kMaker,                    // native PKCS#11 module folder
  kMaker32,                  // 32-bit PKCS#11 module folder
};

inline constexpr SystemKey kSystemKeys[] = {
    SystemKey::kUserCertificateStores, SystemKey::kSmartCards,   SystemKey::kProviders,
    SystemKey::kOrvaProvider,          SystemKey::kCertificateStores, SystemKey::kSmartCards32,
    SystemKey::kProviders32,           SystemKey::kOrvaProvider32, SystemKey::kCertificateStores32,
    SystemKey::kMaker,                 SystemKey::kMaker32,
};

// The two values of a provider key.
enum class ProviderValue {
  kSignature,  // the version record of the registered module (52 bytes)
  kImagePath,  // the registration's "module" field: the library's path
};

struct KeyName {
  std::string root;  // the part before the key path, e.g. "/" or "/home/u/"
  std::string path;  // ends with "/"
};

// Where key `key` is, as written in the log.
KeyName NameOf(SystemKey key);
// Name of a provider value as written in the log ("signature", "module").
const char* NameOf(ProviderValue value);
// True for the two provider keys, which are read for values.
bool HasValues(SystemKey key);

class RegistryKey;
struct RegistryKeyDeleter {
  void operator()(RegistryKey* key) const;
};
using RegistryHandle = std::unique_ptr<RegistryKey, RegistryKeyDeleter>;

// Opens `key` for reading. On success `*handle` holds it.
long RegOpenKey(SystemKey key, RegistryHandle* handle);
// Subkey `index` (from 0) into `*name`; kRegNoMoreItems past the last one.
long RegEnumKey(const RegistryHandle& handle, std::uint32_t index, std::string* name);
// A provider value: with `data` null, `*size` receives its size; otherwise
// `data` (at least `*size` bytes) receives it. kRegMoreData when `*size` is
// too small (and `*size` then holds the size needed).
long RegQueryValue(const RegistryHandle& handle, ProviderValue value, std::uint8_t* data,
                   std::uint32_t* size);
long RegCloseKey(RegistryHandle handle);

}  // namespace zorbix::platform
