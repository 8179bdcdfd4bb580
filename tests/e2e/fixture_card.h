// A fixture card for the object test: a profile's card with one public key
// entry more, whose label ends in a NUL byte and whose key reference names
// no key on the card, so that its modulus cannot be read (length -1).
#pragma once

#include <algorithm>
#include <stdexcept>
#include <string>

#include "sim/content_der.h"
#include "sim/content_pkcs15.h"
#include "sim/profile.h"

namespace zorbix::testing {

inline constexpr char kOrphanKeyLabel[] = "Kpub Sin clave";  // a NUL follows on the card
inline constexpr std::uint8_t kOrphanKeyReference = 0x1E;

// `form` and `paths` are those the profile's directories are written in.
inline sim::Profile WithOrphanKey(const sim::Profile& base, sim::p15::Form form,
                                  sim::p15::PathForm paths) {
  sim::Profile p = base;
  sim::p15::KeyEntry e;
  e.common = {std::string(kOrphanKeyLabel) + '\0', false, false, {}};
  e.id = {0x0E, 0x1E};
  e.usage = {6};
  e.access = {4};
  e.keyReference = kOrphanKeyReference;
  e.path = {0x3F, 0x11, 0x01, kOrphanKeyReference};
  e.length = 0x0400;
  e.modulusBits = 1024;
  auto pukdf = std::find_if(p.files.begin(), p.files.end(), [](const sim::FileSpec& f) {
    return f.path == std::vector<std::uint16_t>{0x5015, 0x6002};
  });
  if (pukdf == p.files.end()) throw std::runtime_error("no public key directory in " + base.name);
  pukdf->content = sim::der::Cat({pukdf->content, sim::p15::PublicKeyEntry(e, form, paths)});
  return p;
}

// The profiles the object test's fixtures are written for, with the forms
// their directories use: standard entries, card-family entries, and the
// national ID card.
struct FixtureCardSpec {
  const char* profile;
  sim::p15::Form form;
  sim::p15::PathForm paths;
};
inline constexpr FixtureCardSpec kFixtureCards[] = {
    {"TC-ORVA3", sim::p15::Form::Standard, sim::p15::PathForm::Text},
    {"HALVO", sim::p15::Form::Halvo, sim::p15::PathForm::Text},
    {"Vexa", sim::p15::Form::Standard, sim::p15::PathForm::Binary},
};

// The fixture card of one of kFixtureCards.
inline sim::Profile FixtureCard(const std::string& profile) {
  for (const FixtureCardSpec& c : kFixtureCards) {
    if (profile != c.profile) continue;
    const sim::Profile* base = sim::FindProfile(profile);
    if (base == nullptr) break;
    return WithOrphanKey(*base, c.form, c.paths);
  }
  throw std::runtime_error("no fixture card for " + profile);
}

}  // namespace zorbix::testing
