// zorbix-bench-card-costs: what each PKCS#11 operation costs the card, on
// every virtual card, counted on the card's own trace; the module runs in
// this process over the fake PC/SC. Prints the rows of the first table of
// BENCHMARKS.md. With --trace-file it sorts a trace written by zorbix-vcard
// or zorbix-bench (the wizard's run) the same way.
//
//   zorbix-bench-card-costs [--profile NAME] [--notes] [--check]
//   zorbix-bench-card-costs --trace-file PROFILE FILE LABEL [--notes]
//
// --notes prints every exchange with its kind; --check exits 1 when an
// exchange repeats what its call already did.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "comm/crypto.h"
#include "p11/confirmation.h"
#include "p11/module.h"
#include "sim/card.h"
#include "sim/profile.h"
#include "tests/bench/trace_costs.h"
#include "tests/p11/attributes_of.h"
#include "tests/p11/fake_env.h"

namespace {

using zorbix::bench::Analyse;
using zorbix::bench::Cost;
using zorbix::bench::Kind;
using zorbix::bench::ParseTrace;
using Bytes = std::vector<std::uint8_t>;

constexpr char kReader[] = "Bench Reader 0";

bool gNotes = false;

const std::vector<std::string> kOperations = {
    "C_Initialize to first C_GetTokenInfo",
    "C_OpenSession",
    "C_Login",
    "listing all objects",
    "reading every attribute of every object",
    "C_Sign (SHA1_RSA_PKCS, Init and Sign)",
    "C_Decrypt (RSA_PKCS, Init and Decrypt)",
    "C_GenerateKeyPair (1024 bits)",
    "C_CreateObject (public data object)",
    "C_DestroyObject (that data object)",
};

struct Failed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void Ok(CK_RV rv, const char* what) {
  if (rv != CKR_OK) throw Failed(std::string(what) + ": " + zorbix::p11::to_string(rv));
}

std::size_t At(const Cost& c, Kind k) {
  auto it = c.of.find(k);
  return it == c.of.end() ? 0 : it->second;
}

void PrintHeader() {
  std::printf("| operation | card | exchanges | bytes | minimum | path steps | FCI answers | root again | redundant |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|\n");
}

void PrintRow(const std::string& operation, const std::string& profile, const Cost& c) {
  std::printf("| %s | %s | %zu | %zu | %zu | %zu | %zu | %zu | %zu |\n", operation.c_str(), profile.c_str(),
              c.exchanges, c.bytes, c.Minimum(), At(c, Kind::PathStep), At(c, Kind::FciAnswer), At(c, Kind::RootAgain),
              c.Redundant());
}

// One card in the fake reader; every call's exchanges sorted as one
// transaction and added to the operation's cost.
class Run {
 public:
  explicit Run(const zorbix::sim::Profile& profile) : profile_(profile) {
    card_ = std::make_unique<zorbix::sim::Card>(profile_);
    card_->StartTrace();
    card_->PowerOn();
    auto& fake = zorbix::p11test::Fake();
    fake.AddReader(kReader);
    fake.AnswerStandardAttributes(kReader, kReader);
    fake.InsertCard(kReader, card_->Atr(), [this](const Bytes& c) { return card_->Process(c); });
    fake.SetResetHandler(kReader, [this] { card_->Reset(); });
    card_->ClearTrace();
  }
  ~Run() {
    if (slot_) C_CloseAllSessions(slot_);
    C_Finalize(nullptr);
    zorbix::p11test::Fake().RemoveReader(kReader);
  }

  // Ends one call: its exchanges go to `operation`.
  void Call(const std::string& operation) {
    const std::string text = card_->TraceText();
    card_->ClearTrace();
    std::vector<std::string> notes;
    const auto exchanges = ParseTrace(text);
    costs[operation] += Analyse(exchanges, profile_, gNotes ? &notes : nullptr);
    if (gNotes && !exchanges.empty()) {
      std::printf("---- %s: %s\n", profile_.name.c_str(), operation.c_str());
      for (const auto& n : notes) std::printf("%s\n", n.c_str());
    }
  }

  void All() {
    const std::string& op0 = kOperations[0];
    Ok(C_Initialize(nullptr), "C_Initialize");
    Call(op0);
    FindSlot();
    Call(op0);
    CK_TOKEN_INFO info;
    Ok(C_GetTokenInfo(slot_, &info), "C_GetTokenInfo");
    Call(op0);

    Ok(C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h_), "C_OpenSession");
    Call(kOperations[1]);
    std::string pin = profile_.pin;
    Ok(C_Login(h_, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size()), "C_Login");
    Call(kOperations[2]);

    const auto objects = Find({}, kOperations[3]);
    for (CK_OBJECT_HANDLE o : objects) ReadEverything(o, kOperations[4]);

    Sign(kOperations[5]);
    Decrypt(kOperations[6]);
    Generate(kOperations[7]);
    const CK_OBJECT_HANDLE data = Create(kOperations[8]);
    Ok(C_DestroyObject(h_, data), "C_DestroyObject");
    Call(kOperations[9]);
  }

  std::map<std::string, Cost> costs;

 private:
  void FindSlot() {
    CK_ULONG n = 0;
    Ok(C_GetSlotList(CK_TRUE, nullptr, &n), "C_GetSlotList");
    std::vector<CK_SLOT_ID> ids(n);
    Ok(C_GetSlotList(CK_TRUE, ids.data(), &n), "C_GetSlotList");
    for (CK_SLOT_ID id : ids) {
      CK_SLOT_INFO info;
      Ok(C_GetSlotInfo(id, &info), "C_GetSlotInfo");
      if (std::memcmp(info.slotDescription, kReader, std::strlen(kReader)) == 0) slot_ = id;
    }
    if (!slot_) throw Failed("no slot for the reader");
  }

  std::vector<CK_OBJECT_HANDLE> Find(std::vector<CK_ATTRIBUTE> tmpl, const std::string& operation) {
    Ok(C_FindObjectsInit(h_, tmpl.data(), tmpl.size()), "C_FindObjectsInit");
    Call(operation);
    std::vector<CK_OBJECT_HANDLE> out(64);
    CK_ULONG n = 0;
    Ok(C_FindObjects(h_, out.data(), out.size(), &n), "C_FindObjects");
    Call(operation);
    Ok(C_FindObjectsFinal(h_), "C_FindObjectsFinal");
    Call(operation);
    out.resize(n);
    return out;
  }

  // Lengths first, then the values, as applications ask.
  void ReadEverything(CK_OBJECT_HANDLE o, const std::string& operation) {
    CK_OBJECT_CLASS c = 0;
    CK_ATTRIBUTE classEntry{CKA_CLASS, &c, sizeof c};
    Ok(C_GetAttributeValue(h_, o, &classEntry, 1), "C_GetAttributeValue");
    Call(operation);
    std::vector<CK_ATTRIBUTE> tmpl;
    for (CK_ATTRIBUTE_TYPE t : zorbix::p11test::AttributesOf(c)) tmpl.push_back({t, nullptr, 0});
    C_GetAttributeValue(h_, o, tmpl.data(), tmpl.size());
    Call(operation);
    auto values = zorbix::p11test::ValueBuffersFor(tmpl);
    C_GetAttributeValue(h_, o, tmpl.data(), tmpl.size());
    Call(operation);
  }

  Bytes Attribute(CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (C_GetAttributeValue(h_, o, &a, 1) != CKR_OK) return {};
    Bytes v(a.ulValueLen);
    a.pValue = v.data();
    if (C_GetAttributeValue(h_, o, &a, 1) != CKR_OK) return {};
    return v;
  }

  // The first private key that may do `usage` (loaded already: no card).
  CK_OBJECT_HANDLE KeyFor(CK_ATTRIBUTE_TYPE usage) {
    CK_OBJECT_CLASS c = CKO_PRIVATE_KEY;
    CK_BBOOL yes = CK_TRUE;
    const auto keys = Find({{CKA_CLASS, &c, sizeof c}, {usage, &yes, 1}}, "(searches for the next calls)");
    if (keys.empty()) throw Failed("no key for the operation");
    return keys[0];
  }

  void Sign(const std::string& operation) {
    const CK_OBJECT_HANDLE key = KeyFor(CKA_SIGN);
    CK_MECHANISM m{CKM_SHA1_RSA_PKCS, nullptr, 0};
    Ok(C_SignInit(h_, &m, key), "C_SignInit");
    Call(operation);
    Bytes data = {'b', 'e', 'n', 'c', 'h'}, signature(512);
    CK_ULONG length = signature.size();
    Ok(C_Sign(h_, data.data(), data.size(), signature.data(), &length), "C_Sign");
    Call(operation);
  }

  void Decrypt(const std::string& operation) {
    const CK_OBJECT_HANDLE key = KeyFor(CKA_DECRYPT);
    zorbix::crypto::RsaPublicKey pub{Attribute(key, CKA_MODULUS), Attribute(key, CKA_PUBLIC_EXPONENT)};
    Call("(searches for the next calls)");
    // A PKCS#1 v1.5 encryption block of a short secret.
    Bytes block(pub.modulus.size(), 0x5A);
    block[0] = 0x00;
    block[1] = 0x02;
    block[block.size() - 17] = 0x00;
    Bytes cipher = zorbix::crypto::RsaPublic(pub, block);
    CK_MECHANISM m{CKM_RSA_PKCS, nullptr, 0};
    Ok(C_DecryptInit(h_, &m, key), "C_DecryptInit");
    Call(operation);
    Bytes plain(512);
    CK_ULONG length = plain.size();
    Ok(C_Decrypt(h_, cipher.data(), cipher.size(), plain.data(), &length), "C_Decrypt");
    Call(operation);
  }

  void Generate(const std::string& operation) {
    CK_MECHANISM m{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG bits = 1024;
    CK_BYTE exponent[] = {0x01, 0x00, 0x01};
    std::string id = "bench", label = "Bench key";
    CK_ATTRIBUTE pubTemplate[] = {{CKA_TOKEN, &yes, 1},
                                  {CKA_VERIFY, &yes, 1},
                                  {CKA_MODULUS_BITS, &bits, sizeof bits},
                                  {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent},
                                  {CKA_ID, id.data(), id.size()},
                                  {CKA_LABEL, label.data(), label.size()}};
    CK_ATTRIBUTE privTemplate[] = {{CKA_TOKEN, &yes, 1},         {CKA_PRIVATE, &yes, 1},
                                   {CKA_SIGN, &yes, 1},          {CKA_ID, id.data(), id.size()},
                                   {CKA_LABEL, label.data(), label.size()}};
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    Ok(C_GenerateKeyPair(h_, &m, pubTemplate, std::size(pubTemplate), privTemplate, std::size(privTemplate), &pub,
                         &priv),
       "C_GenerateKeyPair");
    Call(operation);
  }

  CK_OBJECT_HANDLE Create(const std::string& operation) {
    CK_OBJECT_CLASS c = CKO_DATA;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    std::string label = "bench data", value = "a value written by the bench";
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &c, sizeof c},
                           {CKA_TOKEN, &yes, 1},
                           {CKA_PRIVATE, &no, 1},
                           {CKA_LABEL, label.data(), label.size()},
                           {CKA_VALUE, value.data(), value.size()}};
    CK_OBJECT_HANDLE h = 0;
    Ok(C_CreateObject(h_, tmpl, std::size(tmpl), &h), "C_CreateObject");
    Call(operation);
    return h;
  }

  const zorbix::sim::Profile& profile_;
  std::unique_ptr<zorbix::sim::Card> card_;
  CK_SLOT_ID slot_ = 0;
  CK_SESSION_HANDLE h_ = 0;
};

int TraceFile(const std::string& profileName, const std::string& file, const std::string& label) {
  const zorbix::sim::Profile* profile = zorbix::sim::FindProfile(profileName);
  std::ifstream in(file);
  if (!profile || !in) {
    std::fprintf(stderr, "no profile %s or no file %s\n", profileName.c_str(), file.c_str());
    return 2;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::vector<std::string> notes;
  const Cost c = Analyse(ParseTrace(text.str()), *profile, gNotes ? &notes : nullptr);
  for (const auto& n : notes) std::printf("%s\n", n.c_str());
  PrintRow(label, profileName, c);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string only;
  bool check = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--notes") gNotes = true;
    else if (args[i] == "--check") check = true;
    else if (args[i] == "--profile" && i + 1 < args.size()) only = args[++i];
    else if (args[i] == "--header") {
      PrintHeader();
      return 0;
    } else if (args[i] == "--trace-file" && i + 3 < args.size()) {
      for (std::size_t j = i + 4; j < args.size(); ++j)
        if (args[j] == "--notes") gNotes = true;
      return TraceFile(args[i + 1], args[i + 2], args[i + 3]);
    } else {
      std::fprintf(stderr,
                   "usage: %s [--profile NAME] [--notes] [--check] | --header |\n"
                   "       --trace-file PROFILE FILE LABEL [--notes]\n",
                   argv[0]);
      return 2;
    }
  }
  // Keys whose use the user confirms: the bench says Yes.
  zorbix::p11::SetConfirmationHook([](const auto&) { return zorbix::p11::ConfirmAnswer::Yes; });
  std::map<std::string, std::map<std::string, Cost>> byOperation;  // operation -> card -> cost
  std::vector<std::string> cards;
  for (const auto& profile : zorbix::sim::AllProfiles()) {
    if (!only.empty() && profile.name != only) continue;
    cards.push_back(profile.name);
    try {
      Run run(profile);
      run.All();
      for (const auto& [op, cost] : run.costs) byOperation[op][profile.name] = cost;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: %s\n", profile.name.c_str(), e.what());
      return 1;
    }
  }
  if (gNotes) return 0;
  std::size_t redundant = 0;
  PrintHeader();
  for (const auto& op : kOperations)
    for (const auto& card : cards) {
      const Cost& c = byOperation[op][card];
      PrintRow(op, card, c);
      redundant += c.Redundant();
    }
  if (check && redundant > 0) {
    std::fprintf(stderr, "%zu redundant exchanges\n", redundant);
    return 1;
  }
  return 0;
}
