// zorbix-vcard: lists the virtual card profiles, or plays one behind pcscd's
// vpcd driver until stopped, with its starting state and faults from the
// command line and control lines on standard input.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "sim/card.h"
#include "sim/controls.h"
#include "sim/vpcd.h"

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "Usage: zorbix-vcard --list-profiles\n"
               "       zorbix-vcard --profile NAME [--port N] [card flags]\n"
               "\n"
               "  --list-profiles  one line per card profile: name, ATR, pin=, puk=\n"
               "  --profile NAME   play that card for the vpcd reader until SIGINT/SIGTERM:\n"
               "                   --profile Vexa\n"
               "  --port N         the driver's port on 127.0.0.1 (default %d, reader\n"
               "                   \"Virtual PCD 00 00\"; %d is \"Virtual PCD 00 01\"):\n"
               "                   --port %d\n"
               "\n"
               "Once the card plays, a first line \"zorbix-vcard: playing NAME on HOST:PORT\"\n"
               "goes to standard output.\n"
               "\n%s\n%s"
               "\n"
               "Example: a card whose PIN is blocked, which leaves the reader after its\n"
               "fifth command and comes back a second later:\n"
               "  zorbix-vcard --profile HALVO --pin-tries 0 --remove-after 5 \\\n"
               "      --reinsert-after-ms 1000 --trace /tmp/halvo.trace\n",
               zorbix::sim::kVpcdBasePort, zorbix::sim::kVpcdBasePort + 1,
               zorbix::sim::kVpcdBasePort + 1, zorbix::sim::CardFlagsHelp(),
               zorbix::sim::ControlLinesHelp());
}

int Refuse(const std::string& why) {
  std::fprintf(stderr, "zorbix-vcard: %s\n(see zorbix-vcard --help)\n", why.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace zorbix::sim;
  std::string profileName;
  int port = kVpcdBasePort;
  bool list = false;
  CardOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    try {
      if (TakeCardFlag(argc, argv, &i, &options)) continue;
    } catch (const UsageError& e) {
      return Refuse(e.what());
    }
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else if (arg == "--list-profiles") {
      list = true;
    } else if (arg == "--profile") {
      if (i + 1 >= argc) return Refuse("--profile needs a value: NAME, one of --list-profiles");
      profileName = argv[++i];
    } else if (arg == "--port") {
      char* end = nullptr;
      const char* value = i + 1 < argc ? argv[++i] : "";
      const long v = std::strtol(value, &end, 10);
      if (!*value || !end || *end || v <= 0 || v > 65535) {
        return Refuse(std::string("--port takes N, a TCP port from 1 to 65535; not \"") + value +
                      "\"");
      }
      port = static_cast<int>(v);
    } else {
      return Refuse("unknown argument \"" + arg + "\"");
    }
  }
  if (list) {
    for (const Profile& p : AllProfiles()) {
      std::printf("%s %s pin=%s puk=%s\n", p.name.c_str(), ToHex(p.atr).c_str(), p.pin.c_str(),
                  p.puk.c_str());
    }
    return 0;
  }
  if (profileName.empty()) return Refuse("--profile NAME is needed (see --list-profiles)");
  const Profile* profile = FindProfile(profileName);
  if (!profile) {
    return Refuse("--profile takes a card profile name; no profile named \"" + profileName +
                  "\" (see --list-profiles)");
  }

  // Signals are taken by the control channel below, not by the link thread.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  Card card(*profile);
  std::unique_ptr<CardControl> control;
  try {
    control = std::make_unique<CardControl>(card, options);
  } catch (const UsageError& e) {
    return Refuse(e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zorbix-vcard: %s\n", e.what());
    return 1;
  }
  VpcdLink link(port);
  link.Attach(&card);
  std::printf("zorbix-vcard: playing %s on 127.0.0.1:%d\n", profile->name.c_str(), port);
  std::fflush(stdout);
  ControlChannel channel(control.get());
  channel.WaitSignal(stop);
  link.Attach(nullptr);
  return 0;
}
