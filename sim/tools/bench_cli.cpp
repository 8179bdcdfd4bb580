// zorbix-bench: brings up the PC/SC bench with a virtual card, runs a command
// (or serves control lines until SIGINT/SIGTERM), then stops the bench.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "sim/bench.h"
#include "sim/controls.h"
#include "sim/profile.h"

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "Usage: zorbix-bench [--profile NAME] [--readers 1|2] [card flags]\n"
               "                    [-- COMMAND [ARGS...]]\n"
               "\n"
               "Starts pcscd with the vpcd readers (unless one already serves them), puts a\n"
               "virtual card with profile NAME (default: the demo card) in the first reader,\n"
               "prints the card's profile, PIN and PUK, runs COMMAND and stops everything\n"
               "when it ends; COMMAND's exit status is the bench's. Without COMMAND it runs\n"
               "until SIGINT or SIGTERM and takes control lines for the card on standard\n"
               "input (with COMMAND, standard input is the command's).\n"
               "\n"
               "  --profile NAME   the card (zorbix-vcard --list-profiles): --profile Vexa\n"
               "  --readers 1|2    vpcd readers to bring up: --readers 2\n"
               "\n%s\n%s"
               "\n"
               "Example: run the console wizard on a card whose PIN is blocked:\n"
               "  zorbix-bench --profile HALVO --pin-tries 0 -- zorbix-check\n",
               zorbix::sim::CardFlagsHelp(), zorbix::sim::ControlLinesHelp());
}

int Refuse(const std::string& why) {
  std::fprintf(stderr, "zorbix-bench: %s\n(see zorbix-bench --help)\n", why.c_str());
  return 2;
}

// The profile a name given on the command line means: the exact name, else
// the one name that matches it without regard to case. Null when none does.
const zorbix::sim::Profile* ProfileNamed(const std::string& wanted) {
  using zorbix::sim::FindProfile;
  if (const auto* exact = FindProfile(wanted)) return exact;
  const auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  const zorbix::sim::Profile* found = nullptr;
  for (const auto& p : zorbix::sim::AllProfiles()) {
    if (lower(p.name) != lower(wanted)) continue;
    if (found) return nullptr;  // two names differing only in case: say which
    found = &p;
  }
  if (!found && lower(wanted) == "basic") found = FindProfile("basic");
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace zorbix::sim;
  std::string profileName = DefaultProfileName();
  int readers = 1;
  std::vector<char*> command;
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
    } else if (arg == "--profile") {
      if (i + 1 >= argc) return Refuse("--profile needs a value: NAME, a card profile");
      profileName = argv[++i];
    } else if (arg == "--readers") {
      const std::string value = i + 1 < argc ? argv[++i] : "";
      if (value != "1" && value != "2") {
        return Refuse("--readers takes 1 or 2; not \"" + value + "\"");
      }
      readers = value == "1" ? 1 : 2;
    } else if (arg == "--") {
      for (++i; i < argc; ++i) command.push_back(argv[i]);
    } else {
      return Refuse("unknown argument \"" + arg + "\"");
    }
  }
  // Checked before the bench starts: a wrong name is told at once, with the
  // names there are.
  if (const auto* profile = ProfileNamed(profileName)) {
    profileName = profile->name;
  } else {
    std::fprintf(stderr,
                 "zorbix-bench: --profile takes a card profile name; no profile named '%s'; "
                 "the profiles are:",
                 profileName.c_str());
    for (const auto& p : AllProfiles()) std::fprintf(stderr, " %s", p.name.c_str());
    std::fprintf(stderr, " basic\n");
    return 2;
  }

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  std::unique_ptr<Bench> bench;
  std::unique_ptr<CardControl> control;
  try {
    // Options the card cannot take are refused before pcscd starts.
    Card probe(*FindProfile(profileName));
    CardOptions check = options;
    check.traceFile.clear();
    CardControl checked(probe, check);
  } catch (const UsageError& e) {
    return Refuse(e.what());
  }
  try {
    bench = Bench::Start(readers);
    Card& card = bench->Insert(0, profileName, [&](Card& c) {
      control = std::make_unique<CardControl>(c, options);
    });
    const Profile& p = card.profile();
    std::printf("Reader:  %s\nProfile: %s\nATR:     %s\nPIN:     %s\nPUK:     %s\n",
                bench->ReaderName(0).c_str(), p.name.c_str(), ToHex(card.Atr(), true).c_str(),
                p.pin.c_str(), p.puk.c_str());
    std::fflush(stdout);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zorbix-bench: %s\n", e.what());
    return 1;
  }

  pid_t child = -1;
  if (!command.empty()) {
    command.push_back(nullptr);
    const pid_t self = getpid();
    child = fork();
    if (child == 0) {
      pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // the command ends with the bench
      if (getppid() != self) _exit(1);   // the bench is gone already
      execvp(command[0], command.data());
      std::fprintf(stderr, "zorbix-bench: cannot run %s\n", command[0]);
      _exit(127);
    }
  }

  int result = 0;
  ControlChannel channel(command.empty() ? control.get() : nullptr);
  while (true) {
    const int sig = channel.WaitSignal(signals);
    if (sig == SIGCHLD) {
      if (child <= 0) continue;
      int status = 0;
      if (waitpid(child, &status, WNOHANG) != child) continue;
      result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (child > 0) {
      kill(child, sig);  // let the command end; the bench stops after it
    } else {
      break;
    }
  }
  bench.reset();
  return result;
}
