// Prints what a virtual card profile holds for the wizard's card checks (ATR,
// events, card data, the files of the PKCS#15 application, every file with
// its path, the card keys), one item a line, as input for make_expected.py
// and make_expected_pkcs11.py. With --fixture, the object test's fixture
// card of the profile (fixture_card.h). Not a test.
#include <cstdio>
#include <cstring>
#include <string>

#include "sim/card.h"
#include "sim/profile.h"
#include "tests/e2e/fixture_card.h"

int main(int argc, char** argv) {
  using namespace zorbix::sim;
  const bool fixture = argc == 3 && std::strcmp(argv[2], "--fixture") == 0;
  if (argc != 2 && !fixture) {
    std::fprintf(stderr, "usage: profile_files PROFILE [--fixture]\n");
    return 2;
  }
  Profile card;
  if (fixture) {
    card = zorbix::testing::FixtureCard(argv[1]);
  } else if (const Profile* found = FindProfile(argv[1])) {
    card = *found;
  } else {
    std::fprintf(stderr, "profile_files: no profile %s\n", argv[1]);
    return 2;
  }
  const Profile* p = &card;
  std::printf("atr %s\n", ToHex(p->atr).c_str());
  std::printf("events %s\n", ToHex(p->events).c_str());
  std::printf("carddata %s\n", ToHex(p->cardData).c_str());
  for (const FileSpec& f : p->files) {
    if (f.isDf || f.path.size() != 2 || f.path[0] != 0x5015) continue;
    std::printf("file %04X %zu %s\n", f.path[1], f.size, ToHex(f.content).c_str());
  }
  for (const FileSpec& f : p->files) {
    if (f.isDf || f.path.empty()) continue;
    std::string path;
    for (std::uint16_t id : f.path) {
      char part[8];
      std::snprintf(part, sizeof part, "%s%04X", path.empty() ? "" : "/", id);
      path += part;
    }
    std::printf("ef %s %s\n", path.c_str(), f.content.empty() ? "-" : ToHex(f.content).c_str());
  }
  for (const KeySpec& k : p->keys)
    std::printf("key %02X %s\n", k.reference, ToHex(k.modulus).c_str());
  return 0;
}
