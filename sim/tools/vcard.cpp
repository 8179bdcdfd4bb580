// zorbix-vcard: lists the virtual card profiles, or plays one behind pcscd's
// vpcd driver until stopped.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/card.h"
#include "sim/vpcd.h"

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "Usage: zorbix-vcard --list-profiles\n"
               "       zorbix-vcard --profile NAME [--port N]\n"
               "\n"
               "  --list-profiles  one line per card profile: name, ATR, pin=, puk=\n"
               "  --profile NAME   play that card for the vpcd reader until SIGINT/SIGTERM\n"
               "  --port N         the driver's port on 127.0.0.1 (default %d, reader\n"
               "                   \"Virtual PCD 00 00\"; %d is \"Virtual PCD 00 01\")\n",
               zorbix::sim::kVpcdBasePort, zorbix::sim::kVpcdBasePort + 1);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace zorbix::sim;
  std::string profileName;
  int port = kVpcdBasePort;
  bool list = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else if (arg == "--list-profiles") {
      list = true;
    } else if (arg == "--profile" && i + 1 < argc) {
      profileName = argv[++i];
    } else if (arg == "--port" && i + 1 < argc) {
      char* end = nullptr;
      const long v = std::strtol(argv[++i], &end, 10);
      if (!end || *end || v <= 0 || v > 65535) {
        std::fprintf(stderr, "zorbix-vcard: bad port %s\n", argv[i]);
        return 2;
      }
      port = static_cast<int>(v);
    } else {
      Usage(stderr);
      return 2;
    }
  }
  if (list) {
    for (const Profile& p : AllProfiles()) {
      std::printf("%s %s pin=%s puk=%s\n", p.name.c_str(), ToHex(p.atr).c_str(), p.pin.c_str(),
                  p.puk.c_str());
    }
    return 0;
  }
  if (profileName.empty()) {
    Usage(stderr);
    return 2;
  }
  const Profile* profile = FindProfile(profileName);
  if (!profile) {
    std::fprintf(stderr, "zorbix-vcard: no profile named \"%s\" (see --list-profiles)\n",
                 profileName.c_str());
    return 2;
  }

  // Signals are taken by sigwait below, not by the link thread.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  Card card(*profile);
  VpcdLink link(port);
  link.Attach(&card);
  std::printf("zorbix-vcard: playing %s on 127.0.0.1:%d\n", profile->name.c_str(), port);
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stop, &sig);
  link.Attach(nullptr);
  return 0;
}
