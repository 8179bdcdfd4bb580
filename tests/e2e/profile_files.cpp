// Prints what a virtual card profile holds for the wizard's card checks (ATR,
// events, card data, the files of the PKCS#15 application), one item a line,
// as input for make_expected.py. Not a test.
#include <cstdio>
#include <string>

#include "sim/card.h"
#include "sim/profile.h"

int main(int argc, char** argv) {
  using namespace zorbix::sim;
  if (argc != 2) {
    std::fprintf(stderr, "usage: profile_files PROFILE\n");
    return 2;
  }
  const Profile* p = FindProfile(argv[1]);
  if (!p) {
    std::fprintf(stderr, "profile_files: no profile %s\n", argv[1]);
    return 2;
  }
  std::printf("atr %s\n", ToHex(p->atr).c_str());
  std::printf("events %s\n", ToHex(p->events).c_str());
  std::printf("carddata %s\n", ToHex(p->cardData).c_str());
  for (const FileSpec& f : p->files) {
    if (f.isDf || f.path.size() != 2 || f.path[0] != 0x5015) continue;
    std::printf("file %04X %zu %s\n", f.path[1], f.size, ToHex(f.content).c_str());
  }
  return 0;
}
