// zorbix-bench-host-cost: the host's cost of the calls that need no card,
// ours against SoftHSM2 in the same process and run: a find cycle, an
// attribute already loaded, C_GetSessionInfo, C_GetTokenInfo. Ours runs on a
// virtual card behind the fake PC/SC with every object loaded first; the
// card's trace proves that the measured calls send it nothing.
//
//   zorbix-bench-host-cost SOFTHSM_LIBRARY
//
// Prints one line per call and module: the median time per call in ns
// (batches of calls) and the calls measured. Under callgrind
// (--instr-atstart=no) only the measured loops are instrumented, each
// dumped as "<module> <call>", fewer times.
#include <dlfcn.h>
#include <valgrind/callgrind.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "p11/module.h"
#include "sim/card.h"
#include "sim/profile.h"
#include "tests/p11/fake_env.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr char kReader[] = "Host Cost Reader 0";
constexpr char kSoftPin[] = "1234";

bool Check(CK_RV rv, const char* what) {
  if (rv != CKR_OK) std::fprintf(stderr, "%s: 0x%lx\n", what, static_cast<unsigned long>(rv));
  return rv == CKR_OK;
}

// One module's token, a session logged in, and an object to ask about.
struct Subject {
  std::string name;
  CK_FUNCTION_LIST_PTR f = nullptr;
  CK_SLOT_ID slot = 0;
  CK_SESSION_HANDLE h = 0;
  CK_OBJECT_HANDLE object = 0;
};

// Batches of `perBatch` calls; the median batch over calls, in ns.
double MedianNs(const std::function<void()>& call, int batches, int perBatch) {
  std::vector<double> ns;
  for (int b = 0; b < batches; ++b) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < perBatch; ++i) call();
    const auto end = std::chrono::steady_clock::now();
    ns.push_back(std::chrono::duration<double, std::nano>(end - start).count() / perBatch);
  }
  std::nth_element(ns.begin(), ns.begin() + ns.size() / 2, ns.end());
  return ns[ns.size() / 2];
}

void Measure(const Subject& s, const std::string& call, const std::function<void()>& body) {
  if (RUNNING_ON_VALGRIND) {
    constexpr int kCalls = 2000;
    for (int i = 0; i < 50; ++i) body();  // warm: first-use allocations stay out
    CALLGRIND_ZERO_STATS;
    CALLGRIND_START_INSTRUMENTATION;
    for (int i = 0; i < kCalls; ++i) body();
    CALLGRIND_STOP_INSTRUMENTATION;
    const std::string what = s.name + " " + call + " " + std::to_string(kCalls);
    CALLGRIND_DUMP_STATS_AT(what.c_str());
    std::printf("%s\t%s\tcallgrind\t%d\n", s.name.c_str(), call.c_str(), kCalls);
    return;
  }
  for (int i = 0; i < 1000; ++i) body();
  const double ns = MedianNs(body, 201, 200);
  std::printf("%s\t%s\t%.0f\n", s.name.c_str(), call.c_str(), ns);
}

void MeasureAll(const Subject& s) {
  CK_OBJECT_CLASS certificate = CKO_CERTIFICATE;
  CK_ATTRIBUTE byClass{CKA_CLASS, &certificate, sizeof certificate};
  CK_OBJECT_HANDLE found[16];
  Measure(s, "find cycle", [&] {
    CK_ULONG n = 0;
    s.f->C_FindObjectsInit(s.h, &byClass, 1);
    s.f->C_FindObjects(s.h, found, 16, &n);
    s.f->C_FindObjectsFinal(s.h);
  });
  char label[128];
  Measure(s, "C_GetAttributeValue", [&] {
    CK_ATTRIBUTE a{CKA_LABEL, label, sizeof label};
    s.f->C_GetAttributeValue(s.h, s.object, &a, 1);
  });
  Measure(s, "C_GetSessionInfo", [&] {
    CK_SESSION_INFO info;
    s.f->C_GetSessionInfo(s.h, &info);
  });
}

void MeasureTokenInfo(const Subject& s) {
  Measure(s, "C_GetTokenInfo", [&] {
    CK_TOKEN_INFO info;
    s.f->C_GetTokenInfo(s.slot, &info);
  });
}

// The first certificate the session finds.
CK_OBJECT_HANDLE FirstCertificate(const Subject& s) {
  CK_OBJECT_CLASS certificate = CKO_CERTIFICATE;
  CK_ATTRIBUTE byClass{CKA_CLASS, &certificate, sizeof certificate};
  CK_OBJECT_HANDLE o = 0;
  CK_ULONG n = 0;
  s.f->C_FindObjectsInit(s.h, &byClass, 1);
  s.f->C_FindObjects(s.h, &o, 1, &n);
  s.f->C_FindObjectsFinal(s.h);
  return o;
}

// Our module on the default virtual card, every object and attribute
// loaded.
int Ours() {
  const zorbix::sim::Profile profile = *zorbix::sim::FindProfile(zorbix::sim::DefaultProfileName());
  auto card = std::make_unique<zorbix::sim::Card>(profile);
  card->StartTrace();
  card->PowerOn();
  auto& fake = zorbix::p11test::Fake();
  fake.AddReader(kReader);
  fake.AnswerStandardAttributes(kReader, kReader);
  fake.InsertCard(kReader, card->Atr(), [&card](const Bytes& c) { return card->Process(c); });
  Subject s{"ours", nullptr};
  if (!Check(C_GetFunctionList(&s.f), "C_GetFunctionList") || !Check(s.f->C_Initialize(nullptr), "C_Initialize"))
    return 1;
  CK_ULONG n = 1;
  if (!Check(s.f->C_GetSlotList(CK_TRUE, &s.slot, &n), "C_GetSlotList") || n != 1) return 1;
  // C_GetTokenInfo asks the card for the PIN tries while a session is
  // open: measured before.
  CK_TOKEN_INFO info;
  s.f->C_GetTokenInfo(s.slot, &info);
  card->ClearTrace();
  MeasureTokenInfo(s);
  const std::size_t tokenInfoExchanges = card->Trace().size();

  if (!Check(s.f->C_OpenSession(s.slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s.h), "C_OpenSession")) return 1;
  std::string pin = profile.pin;
  if (!Check(s.f->C_Login(s.h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size()), "C_Login"))
    return 1;
  s.object = FirstCertificate(s);
  char label[128];
  CK_ATTRIBUTE a{CKA_LABEL, label, sizeof label};
  s.f->C_GetAttributeValue(s.h, s.object, &a, 1);
  card->ClearTrace();
  MeasureAll(s);
  const std::size_t exchanges = card->Trace().size();
  std::printf("ours\tcard exchanges during the measured calls\t%zu\n", tokenInfoExchanges + exchanges);
  s.f->C_Finalize(nullptr);
  fake.RemoveReader(kReader);
  return tokenInfoExchanges + exchanges == 0 ? 0 : 1;
}

// SoftHSM2's token (set up by the script), with as many certificates as
// the virtual card holds, made by C_CreateObject.
int Soft(const char* library) {
  void* lib = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
  Subject s{"softhsm2", nullptr};
  if (!get || !Check(get(&s.f), "C_GetFunctionList") || !Check(s.f->C_Initialize(nullptr), "C_Initialize"))
    return 1;
  // The token set up by the script; SoftHSM2 adds a free one beside it.
  CK_SLOT_ID slots[8];
  CK_ULONG n = 8;
  if (!Check(s.f->C_GetSlotList(CK_TRUE, slots, &n), "C_GetSlotList") || n < 1) return 1;
  for (CK_ULONG i = n; i-- > 0;) {
    CK_TOKEN_INFO info;
    if (s.f->C_GetTokenInfo(slots[i], &info) == CKR_OK && (info.flags & CKF_TOKEN_INITIALIZED)) s.slot = slots[i];
  }
  if (s.slot == 0) {
    std::fprintf(stderr, "SoftHSM2 has no initialised token: is SOFTHSM2_CONF set?\n");
    return 1;
  }
  MeasureTokenInfo(s);
  if (!Check(s.f->C_OpenSession(s.slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s.h),
             "C_OpenSession"))
    return 1;
  std::string pin = kSoftPin;
  if (!Check(s.f->C_Login(s.h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size()), "C_Login"))
    return 1;
  // The same certificates and data objects as the default card, as session
  // objects (the token stays as set up).
  const zorbix::sim::Profile profile = *zorbix::sim::FindProfile(zorbix::sim::DefaultProfileName());
  CK_OBJECT_CLASS certificate = CKO_CERTIFICATE, data = CKO_DATA;
  CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  CK_BBOOL no = CK_FALSE;
  Bytes der = {0x30, 0x03, 0x02, 0x01, 0x01};
  for (int i = 0; i < 4; ++i) {
    std::string label = "certificate " + std::to_string(i);
    Bytes subject = {0x30, 0x00};
    CK_ATTRIBUTE cert[] = {{CKA_CLASS, &certificate, sizeof certificate},
                           {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
                           {CKA_TOKEN, &no, 1},
                           {CKA_LABEL, label.data(), label.size()},
                           {CKA_SUBJECT, subject.data(), subject.size()},
                           {CKA_VALUE, der.data(), der.size()}};
    CK_ATTRIBUTE dat[] = {{CKA_CLASS, &data, sizeof data},
                          {CKA_TOKEN, &no, 1},
                          {CKA_LABEL, label.data(), label.size()},
                          {CKA_VALUE, der.data(), der.size()}};
    CK_OBJECT_HANDLE o = 0;
    if (!Check(s.f->C_CreateObject(s.h, cert, std::size(cert), &o), "C_CreateObject")) return 1;
    if (!Check(s.f->C_CreateObject(s.h, dat, std::size(dat), &o), "C_CreateObject")) return 1;
  }
  s.object = FirstCertificate(s);
  MeasureAll(s);
  s.f->C_Finalize(nullptr);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s SOFTHSM_LIBRARY\n", argv[0]);
    return 2;
  }
  const int ours = Ours();
  const int soft = Soft(argv[1]);
  return ours || soft ? 1 : 0;
}
