// Profile set used until the card profiles are part of the build: only the
// basic card.
#include "sim/card.h"

namespace zorbix::sim {

const std::vector<Profile>& AllProfiles() {
  static const std::vector<Profile> all = {BasicProfile()};
  return all;
}

const Profile* FindProfile(const std::string& name) {
  for (const Profile& p : AllProfiles()) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

const char* DefaultProfileName() { return "basic"; }

}  // namespace zorbix::sim
