// A process that loads the module as an application does and works a token
// from several threads for a while: open, login, find, read attributes,
// sign (each signature checked on the host), close. A further thread waits
// in C_WaitForSlotEvent all along, and C_Finalize ends that wait at the end,
// as NSS does at exit.
//
//   p11_load_client MODULE READER PIN SECONDS THREADS MODULUS_HEX EXPONENT_HEX
//
// Prints one line of counts: "signed N checked N wrong N finalize_ms X" and
// "rv 0xHEX N" for every return value seen. Exit status 0, or 1 when a
// signature reported OK is wrong or the wait did not end with the module.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/crypto.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

CK_FUNCTION_LIST_PTR f = nullptr;
std::mutex mu;
std::map<CK_RV, long> seen;
std::atomic<long> signedCount{0}, checked{0}, wrong{0};

CK_RV Note(CK_RV rv) {
  std::lock_guard<std::mutex> lock(mu);
  ++seen[rv];
  return rv;
}

void Work(CK_SLOT_ID slot, const std::string& pin, std::chrono::steady_clock::time_point end,
          const zorbix::crypto::RsaPublicKey& key, int id) {
  const std::string label = "KprivAutenticacion";
  CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
  CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
  for (long round = 0; std::chrono::steady_clock::now() < end; ++round) {
    CK_SESSION_HANDLE h = 0;
    if (Note(f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h)) != CKR_OK) continue;
    std::string p = pin;
    Note(f->C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(p.data()), p.size()));
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                           {CKA_LABEL, const_cast<char*>(label.data()), label.size()}};
    CK_OBJECT_HANDLE found[4];
    CK_ULONG n = 0;
    if (Note(f->C_FindObjectsInit(h, tmpl, 2)) == CKR_OK) {
      Note(f->C_FindObjects(h, found, 4, &n));
      Note(f->C_FindObjectsFinal(h));
    }
    for (CK_ULONG i = 0; i < n; ++i) {
      char buffer[256];
      CK_ATTRIBUTE a{CKA_LABEL, buffer, sizeof buffer};
      Note(f->C_GetAttributeValue(h, found[i], &a, 1));
      if (Note(f->C_SignInit(h, &mechanism, found[i])) != CKR_OK) continue;
      const std::string text = "load " + std::to_string(id) + " " + std::to_string(round);
      Bytes data(text.begin(), text.end()), signature(512);
      CK_ULONG length = signature.size();
      if (Note(f->C_Sign(h, data.data(), data.size(), signature.data(), &length)) != CKR_OK) continue;
      ++signedCount;
      signature.resize(length);
      // 00 01 FF .. FF 00 data, the whole modulus long.
      Bytes block(key.modulus.size(), 0xFF);
      block[0] = 0x00;
      block[1] = 0x01;
      block[block.size() - data.size() - 1] = 0x00;
      std::copy(data.begin(), data.end(), block.end() - static_cast<std::ptrdiff_t>(data.size()));
      bool good = false;
      try {
        good = length == key.modulus.size() && zorbix::crypto::RsaPublic(key, signature) == block;
      } catch (const std::exception&) {
      }
      ++(good ? checked : wrong);
    }
    Note(f->C_CloseSession(h));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 8) {
    std::fprintf(stderr, "usage: %s MODULE READER PIN SECONDS THREADS MODULUS_HEX EXPONENT_HEX\n", argv[0]);
    return 2;
  }
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::fprintf(stderr, "dlopen: %s\n", dlerror());
    return 2;
  }
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
  if (!getList || getList(&f) != CKR_OK) return 2;
  CK_C_INITIALIZE_ARGS init{};
  init.flags = CKF_OS_LOCKING_OK;
  if (f->C_Initialize(&init) != CKR_OK) return 2;

  const std::string reader = argv[2];
  CK_ULONG count = 0;
  f->C_GetSlotList(CK_FALSE, nullptr, &count);
  std::vector<CK_SLOT_ID> slots(count);
  f->C_GetSlotList(CK_FALSE, slots.data(), &count);
  CK_SLOT_ID slot = ~CK_SLOT_ID{0};
  for (CK_SLOT_ID s : slots) {
    CK_SLOT_INFO info;
    if (f->C_GetSlotInfo(s, &info) == CKR_OK &&
        std::memcmp(info.slotDescription, reader.data(), std::min<std::size_t>(reader.size(), 64)) == 0)
      slot = s;
  }
  if (slot == ~CK_SLOT_ID{0}) {
    std::fprintf(stderr, "no slot for %s\n", reader.c_str());
    return 2;
  }

  const zorbix::crypto::RsaPublicKey key{FromHex(argv[6]), FromHex(argv[7])};
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(std::stod(argv[4]) * 1000));
  std::atomic<long> events{0};
  std::atomic<CK_RV> waitEnd{CKR_OK};
  std::thread waiter([&] {
    for (;;) {
      CK_SLOT_ID s = 0;
      const CK_RV rv = f->C_WaitForSlotEvent(0, &s, nullptr);
      if (rv != CKR_OK) {
        waitEnd = rv;
        return;
      }
      ++events;
    }
  });
  std::vector<std::thread> workers;
  for (int i = 0; i < std::stoi(argv[5]); ++i)
    workers.emplace_back(Work, slot, std::string(argv[3]), end, key, i);
  for (auto& t : workers) t.join();

  const auto finalize = std::chrono::steady_clock::now();
  const CK_RV finalized = f->C_Finalize(nullptr);
  waiter.join();
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - finalize).count();

  std::printf("signed %ld checked %ld wrong %ld finalize_ms %.1f wait_rv 0x%lx finalize_rv 0x%lx events %ld\n",
              signedCount.load(), checked.load(), wrong.load(), ms, static_cast<unsigned long>(waitEnd.load()),
              static_cast<unsigned long>(finalized), events.load());
  for (const auto& [rv, n] : seen) std::printf("rv 0x%lx %ld\n", static_cast<unsigned long>(rv), n);
  const bool waitEnded = waitEnd.load() == CKR_CRYPTOKI_NOT_INITIALIZED && finalized == CKR_OK;
  dlclose(lib);
  return wrong.load() == 0 && waitEnded ? 0 : 1;
}
