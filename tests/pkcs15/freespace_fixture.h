// A token on a virtual card reached through a communicator over the fake
// PC/SC layer: its four directories and unused-space file read as a session
// would, the object store, and the card-side storage operations on top.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "comm/fileaccess.h"
#include "comm/securechannel.h"
#include "p11/objects.h"
#include "pkcs15/freespace.h"
#include "sim/card.h"
#include "sim/content_pki.h"
#include "sim/profile.h"
#include "tests/comm/comm_fixture.h"

namespace zorbix::p15test {

using Bytes = std::vector<std::uint8_t>;
using commtest::H;
using commtest::Sw;

class CommLoader : public p11::CObjectLoader {
 public:
  explicit CommLoader(comm::CCommunicator& c) : comm_(c) {}
  void ReadCompressed(p11::ByteView path, std::vector<std::uint8_t>& out) override {
    comm_.ReadCompressed(path, out);
  }
  void ReadPublicKey(std::uint8_t ref, std::vector<std::uint8_t>& exponent,
                     std::vector<std::uint8_t>& modulus) override {
    comm_.ReadPublicKey(ref, exponent, modulus);
  }

 private:
  comm::CCommunicator& comm_;
};

// What a token context holds, opened on the slot's card.
struct Token {
  std::unique_ptr<comm::CCommunicator> comm;
  std::unique_ptr<comm::CCommWriteAccess> access;
  p15::CP15PrKDF prkdf;
  p15::CP15PuKDF pukdf;
  p15::CP15CDF cdf;
  p15::CP15DODF dodf;
  p15::CP15EFUS efus;
  p11::CObjectStore store;
  int standardFormat = 1;
  int pathForm = p15::kPathFormBinary;
  bool loggedIn = false;

  p15::TokenStorage Storage() {
    return {*access, prkdf, pukdf, cdf, dodf, efus, store, standardFormat, pathForm, loggedIn};
  }
  std::vector<p15::CP15File*> Directories() { return {&cdf, &prkdf, &pukdf, &dodf}; }

  // The objects of one class, in directory order.
  const p15::CP15File::ObjectList& Of(CK_OBJECT_CLASS c) {
    auto s = Storage();
    return p15::DirectoryOf(s, c).Objects();
  }
  Bytes Value(p11::CPKCS11Object& o) {
    CommLoader loader(*comm);
    const auto* v = o.FindLoaded(CKA_VALUE, loader);
    return v ? Bytes(v->begin(), v->end()) : Bytes{};
  }
};

inline std::string Label(const p11::CPKCS11Object& o) {
  const auto b = o.Bytes(CKA_LABEL);
  return {b.begin(), b.end()};
}

class VirtualToken : public commtest::CommTest {
 protected:
  // A fresh card of the profile in the slot.
  void UseCard(const std::string& name) {
    profile_ = sim::FindProfile(name);
    ASSERT_NE(profile_, nullptr) << name;
    card = std::make_unique<sim::Card>(*profile_);
    card->StartTrace();  // the tests read the exchanges back
    card->PowerOn();
    card_ = [this](const Bytes& c) {
      if (stopAfter_ && answered_++ >= *stopAfter_) return Sw(0x6F00);
      return card->Process(c);
    };
    fake_.SetResetHandler(kReader, [this] { card->Reset(); });
  }

  // The card answers `commands` more commands, then none.
  void StopAfter(std::size_t commands) {
    answered_ = 0;
    stopAfter_ = commands;
  }
  void Resume() { stopAfter_.reset(); }

  std::unique_ptr<comm::CCommunicator> Communicator() {
    if (profile_->secureChannel) {
      const Bytes params = sim::PkiFile(profile_->name == "Vexa" ? "vexa-channel-params.der"
                                                                 : "tc-orva4-channel-params.der");
      return std::make_unique<comm::CComm_Vexa>(*slot_, params);
    }
    const bool halvo10 = card->FindFile({0x3F11, 0x3F73}) != nullptr;
    return comm::CreateCommunicator(*slot_, halvo10 ? 2 : 0);
  }

  // Opens the token as a session does: the four directories into the store,
  // the token's flags lowered by what they hold; then logs in.
  std::unique_ptr<Token> Open(bool login = true) {
    auto t = std::make_unique<Token>();
    t->comm = Communicator();
    t->access = std::make_unique<comm::CCommWriteAccess>(*t->comm);
    for (p15::CP15File* f : t->Directories()) {
      f->Read(*t->access);
      for (const auto& o : f->Objects()) t->store.Add(o);
      if (f->PathForm() != p15::kPathFormBinary) t->pathForm = f->PathForm();
      if (f->StandardFormat() != 1) t->standardFormat = f->StandardFormat();
    }
    if (login) {
      t->comm->VerifyPin(Bytes(profile_->pin.begin(), profile_->pin.end()));
      t->loggedIn = true;
    }
    card->ClearTrace();
    return t;
  }

  // INS bytes of the commands the card received since the last clear.
  std::vector<std::uint8_t> Instructions() const {
    std::vector<std::uint8_t> out;
    for (const auto& e : card->Trace())
      if (e.command.size() > 1) out.push_back(e.command[1]);
    return out;
  }
  bool Received(std::uint8_t ins) const {
    const auto all = Instructions();
    return std::find(all.begin(), all.end(), ins) != all.end();
  }

  sim::CardFile& File(std::vector<std::uint16_t> path) {
    sim::CardFile* f = card->FindFile(path);
    EXPECT_NE(f, nullptr);
    return *f;
  }

  const sim::Profile* profile_ = nullptr;
  std::unique_ptr<sim::Card> card;
  std::optional<std::size_t> stopAfter_;
  std::size_t answered_ = 0;
};

}  // namespace zorbix::p15test
