// A process that uses the module as the wizard does (the module linked in,
// the card through pcscd) and then looks through its own memory for the
// secrets it handed over: after C_Login, C_SetPIN, the PIN unblock and a
// session on the secure channel, once each call returned and this program
// wiped its own copy, no readable byte range of the process may hold the
// PIN, the new PINs, the PUK or the channel's session keys.
//
//   p11_secret_client READER PIN PUK NEW_PIN UNBLOCKED_PIN DIR
//
// The codes come XOR 5A (hex), so that neither the arguments nor the
// scanner hold them in clear. After its calls the program creates DIR/done
// and waits for DIR/keys: the session keys the card used, one per line, in
// the same form. Prints "found NAME after STEP in REGION" for each copy, and
// "clean" when there is none; exit status 1 when something was found.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/tests/sessioncard.h"
#include "p11/module.h"
#include "platform/secret.h"

namespace {

constexpr std::uint8_t kMask = 0x5A;

struct Secret {
  std::string name;
  std::vector<std::uint8_t> masked;  // the value XOR kMask
};

std::vector<std::uint8_t> FromHex(const std::string& hex) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// The value in clear, for a call; wiped by the caller.
zorbix::SecretString Clear(const Secret& s) {
  zorbix::SecretString out;
  std::vector<char, zorbix::WipingAllocator<char>> bytes;
  for (std::uint8_t b : s.masked) bytes.push_back(static_cast<char>(b ^ kMask));
  out.assign(std::string_view(bytes.data(), bytes.size()));
  return out;
}

int failures = 0;

// Every readable mapping, read through /proc/self/mem into a buffer of its
// own mapping, which is left out.
void Scan(const std::vector<Secret>& secrets, const std::string& step, bool report = true) {
  constexpr std::size_t kChunk = 1 << 20;
  static auto* buffer =
      static_cast<std::uint8_t*>(mmap(nullptr, kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  const int mem = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    unsigned long start = 0, end = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) != 3 || perms[0] != 'r') continue;
    if (start == reinterpret_cast<unsigned long>(buffer)) continue;
    if (line.find("[vvar]") != std::string::npos || line.find("[vsyscall]") != std::string::npos) continue;
    // The sanitizers' shadow: terabytes reserved, no data of the program.
    if (end - start > (1ul << 32)) continue;
    for (unsigned long at = start; at < end;) {
      const std::size_t want = std::min<unsigned long>(kChunk, end - at);
      const ssize_t got = pread(mem, buffer, want, static_cast<off_t>(at));
      if (got <= 0) break;
      for (const Secret& s : secrets) {
        const std::size_t n = s.masked.size();
        if (n == 0 || static_cast<std::size_t>(got) < n) continue;
        const std::uint8_t first = s.masked[0] ^ kMask;  // one byte in clear: no copy of the value
        for (std::size_t i = 0; i + n <= static_cast<std::size_t>(got); ++i) {
          const void* next = std::memchr(buffer + i, first, static_cast<std::size_t>(got) - n + 1 - i);
          if (!next) break;
          i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(next) - buffer);
          std::size_t j = 1;
          while (j < n && (buffer[i + j] ^ kMask) == s.masked[j]) ++j;
          if (j == n) {
            if (report)
              std::printf("found %s after %s in %s (+0x%lx)\n", s.name.c_str(), step.c_str(), line.c_str(),
                        at + i - start);
            ++failures;
          }
        }
      }
      // Overlap the next chunk by a secret's length, so none is cut in two.
      at += static_cast<std::size_t>(got) > 64 ? static_cast<std::size_t>(got) - 64 : static_cast<std::size_t>(got);
      if (static_cast<std::size_t>(got) < want) break;
    }
  }
  close(mem);
  std::memset(buffer, 0, kChunk);
}

CK_RV Login(CK_SESSION_HANDLE h, const Secret& pin) {
  zorbix::SecretString clear = Clear(pin);
  return C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(clear.data())), clear.size());
}

bool Check(const char* what, CK_RV rv) {
  if (rv == CKR_OK) return true;
  std::printf("error: %s gave 0x%lx\n", what, static_cast<unsigned long>(rv));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s READER PIN PUK NEW_PIN UNBLOCKED_PIN DIR\n", argv[0]);
    return 2;
  }
  const std::string reader = argv[1];
  const Secret pin{"the PIN", FromHex(argv[2])}, puk{"the PUK", FromHex(argv[3])},
      newPin{"the new PIN", FromHex(argv[4])}, unblockedPin{"the unblocked PIN", FromHex(argv[5])};
  const std::string dir = argv[6];
  // The card's first PIN is a run of digits that code and tables hold by
  // chance; the codes this program chose, and the PUK, are looked for.
  std::vector<Secret> secrets = {puk, newPin, unblockedPin};

  if (!Check("C_Initialize", C_Initialize(nullptr))) return 2;
  CK_ULONG count = 0;
  C_GetSlotList(CK_TRUE, nullptr, &count);
  std::vector<CK_SLOT_ID> slots(count);
  C_GetSlotList(CK_TRUE, slots.data(), &count);
  CK_SLOT_ID slot = ~CK_SLOT_ID{0};
  for (CK_SLOT_ID s : slots) {
    CK_SLOT_INFO info;
    if (C_GetSlotInfo(s, &info) == CKR_OK &&
        std::memcmp(info.slotDescription, reader.data(), std::min<std::size_t>(reader.size(), 64)) == 0)
      slot = s;
  }
  CK_SESSION_HANDLE h = 0;
  if (slot == ~CK_SLOT_ID{0} ||
      !Check("C_OpenSession", C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h)))
    return 2;

  if (!Check("C_Login", Login(h, pin))) return 2;

  {
    zorbix::SecretString oldClear = Clear(pin), newClear = Clear(newPin);
    const CK_RV rv = C_SetPIN(h, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(oldClear.data())),
                              oldClear.size(), reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(newClear.data())),
                              newClear.size());
    if (!Check("C_SetPIN", rv)) return 2;
  }
  Scan(secrets, "C_SetPIN");

  C_Logout(h);
  if (!Check("C_Login with the new PIN", Login(h, newPin))) return 2;
  Scan(secrets, "C_Login");

  {
    const zorbix::SecretString pukClear = Clear(puk), pinClear = Clear(unblockedPin);
    const auto call = zorbix::app::ResetRetryCounter(h, pukClear, pinClear);
    if (call.outcome != zorbix::app::SessionCardCall::kDone) {
      std::printf("error: the unblock gave 0x%lx\n", static_cast<unsigned long>(call.rv));
      return 2;
    }
  }
  Scan(secrets, "the PIN unblock");

  // A session on the channel with the unblocked PIN: login and a signature.
  C_Logout(h);
  if (!Check("C_Login with the unblocked PIN", Login(h, unblockedPin))) return 2;
  CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE tmpl{CKA_CLASS, &keyClass, sizeof keyClass};
  CK_OBJECT_HANDLE key = 0;
  CK_ULONG found = 0;
  C_FindObjectsInit(h, &tmpl, 1);
  C_FindObjects(h, &key, 1, &found);
  C_FindObjectsFinal(h);
  CK_MECHANISM mechanism{CKM_SHA1_RSA_PKCS, nullptr, 0};
  std::uint8_t data[] = "signed on the channel", signature[512];
  CK_ULONG length = sizeof signature;
  if (found != 1 || !Check("C_SignInit", C_SignInit(h, &mechanism, key)) ||
      !Check("C_Sign", C_Sign(h, data, sizeof data, signature, &length)))
    return 2;
  Scan(secrets, "a signature on the channel");

  // The keys the card uses, from the test. While the channel is open the
  // module holds them: seeing them then shows that the scan would.
  std::ofstream(dir + "/done") << "done\n";
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (access((dir + "/keys").c_str(), R_OK) != 0 && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::ifstream keys(dir + "/keys");
  std::vector<Secret> sessionKeys;
  for (std::string line; std::getline(keys, line);)
    if (!line.empty()) sessionKeys.push_back({"session key " + std::to_string(sessionKeys.size() + 1), FromHex(line)});
  if (sessionKeys.empty()) {
    std::printf("error: no session keys\n");
    return 2;
  }
  const int before = failures;
  Scan(sessionKeys, "", false);
  const int seen = failures - before;
  failures = before;
  if (seen == 0) {
    std::printf("error: the open channel's keys are nowhere in memory: the scan does not see the module's\n");
    return 2;
  }
  std::printf("seen while open: %d copies of the session keys\n", seen);
  secrets.insert(secrets.end(), sessionKeys.begin(), sessionKeys.end());

  if (!Check("C_CloseAllSessions", C_CloseAllSessions(slot))) return 2;
  Scan(secrets, "the channel's end (C_CloseAllSessions)");
  C_Finalize(nullptr);
  Scan(secrets, "C_Finalize");
  if (failures == 0) std::printf("clean\n");
  return failures == 0 ? 0 : 1;
}
