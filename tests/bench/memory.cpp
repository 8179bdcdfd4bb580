// zorbix-bench-memory: the module's resident memory with a token open and
// every object loaded. Loads the module as an application does, and prints
// VmRSS (kB) before the module is loaded, after loading it, after
// C_Initialize, and with a session logged in on the first token and every
// attribute of every object read; then the object count, and RssAnon after
// C_Initialize and at the end. Runs under zorbix-bench, on its card.
//
//   zorbix-bench-memory MODULE PIN
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

#include "tests/p11/attributes_of.h"

namespace {

// A field of /proc/self/status in kB: VmRSS, or RssAnon (the part that is
// no file's pages: heap, stacks, the module's data).
long StatusKb(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}
long VmRssKb() { return StatusKb("VmRSS"); }

int Fail(const char* what, CK_RV rv) {
  std::fprintf(stderr, "%s: 0x%lx\n", what, static_cast<unsigned long>(rv));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s MODULE PIN\n", argv[0]);
    return 2;
  }
  const long start = VmRssKb();
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR f = nullptr;
  if (!get || get(&f) != CKR_OK) return Fail("C_GetFunctionList", CKR_GENERAL_ERROR);
  const long loaded = VmRssKb();
  CK_RV rv = f->C_Initialize(nullptr);
  if (rv != CKR_OK) return Fail("C_Initialize", rv);
  const long initialised = VmRssKb();
  const long initialisedAnon = StatusKb("RssAnon");
  CK_SLOT_ID slot = 0;
  CK_ULONG n = 1;
  if ((rv = f->C_GetSlotList(CK_TRUE, &slot, &n)) != CKR_OK || n < 1) return Fail("C_GetSlotList", rv);
  CK_SESSION_HANDLE h = 0;
  if ((rv = f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h)) != CKR_OK)
    return Fail("C_OpenSession", rv);
  std::string pin = argv[2];
  if ((rv = f->C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size())) != CKR_OK)
    return Fail("C_Login", rv);
  std::vector<CK_OBJECT_HANDLE> objects(256);
  f->C_FindObjectsInit(h, nullptr, 0);
  f->C_FindObjects(h, objects.data(), objects.size(), &n);
  f->C_FindObjectsFinal(h);
  objects.resize(n);
  for (CK_OBJECT_HANDLE o : objects) {
    CK_OBJECT_CLASS c = 0;
    CK_ATTRIBUTE classEntry{CKA_CLASS, &c, sizeof c};
    f->C_GetAttributeValue(h, o, &classEntry, 1);
    std::vector<CK_ATTRIBUTE> tmpl;
    for (CK_ATTRIBUTE_TYPE t : zorbix::p11test::AttributesOf(c)) tmpl.push_back({t, nullptr, 0});
    f->C_GetAttributeValue(h, o, tmpl.data(), tmpl.size());
    auto values = zorbix::p11test::ValueBuffersFor(tmpl);
    f->C_GetAttributeValue(h, o, tmpl.data(), tmpl.size());
  }
  const long full = VmRssKb();
  std::printf("%ld %ld %ld %ld %lu %ld %ld\n", start, loaded, initialised, full, n, initialisedAnon,
              StatusKb("RssAnon"));
  f->C_Finalize(nullptr);
  return 0;
}
