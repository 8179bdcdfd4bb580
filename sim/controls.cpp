// Card flags and control lines: parsing with errors that say what a value
// may be, and the loop that serves control lines while a program waits.
#include "sim/controls.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <sstream>

namespace zorbix::sim {
namespace {

constexpr int kMaxTries = 15;  // what 63Cx can tell
constexpr int kMaxDelayMs = 60000;
constexpr int kMaxReinsertMs = 3600000;
constexpr int kMaxCommand = 1000000000;
constexpr std::size_t kMaxLine = 4096;

std::optional<long long> Integer(const std::string& s, long long min, long long max) {
  long long v = 0;
  const char* end = s.data() + s.size();
  auto [p, ec] = std::from_chars(s.data(), end, v);
  if (s.empty() || ec != std::errc() || p != end || v < min || v > max) return std::nullopt;
  return v;
}

std::optional<unsigned> HexDigits(const std::string& s, std::size_t digits) {
  if (s.size() != digits) return std::nullopt;
  unsigned v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 16);
  if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
  return v;
}

std::optional<std::uint16_t> StatusWord(const std::string& s) {
  auto v = HexDigits(s, 4);
  if (!v) return std::nullopt;
  const unsigned sw1 = *v >> 8;
  if (!((sw1 >= 0x61 && sw1 <= 0x6F) || (sw1 >= 0x90 && sw1 <= 0x9F))) return std::nullopt;
  return static_cast<std::uint16_t>(*v);
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  while (true) {
    const std::size_t at = s.find(sep, from);
    parts.push_back(s.substr(from, at - from));
    if (at == std::string::npos) return parts;
    from = at + 1;
  }
}

std::string Joined(const std::vector<std::string>& words, char sep) {
  std::string all;
  for (std::size_t i = 0; i < words.size(); ++i) all += (i ? std::string(1, sep) : "") + words[i];
  return all;
}

std::string Hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02X", v & 0xFF);
  return buf;
}

using Args = std::vector<std::string>;

// A setting that is both a flag (--NAME with its values joined by ':') and a
// control line (NAME with its values separated by spaces). `parse` fills
// the options; false for a bad value.
struct Setting {
  const char* name;
  const char* flagForm;
  const char* lineForm;
  const char* accepts;
  std::size_t minArgs, flagMaxArgs, lineMaxArgs;
  bool (*parse)(const Args& a, CardOptions* o);
};

const char kTriesText[] = "a number of tries from 0 (blocked) to the card's retry limit";

bool Tries(const std::string& value, std::optional<int>* out) {
  auto v = Integer(value, 0, kMaxTries);
  if (v) *out = static_cast<int>(*v);
  return v.has_value();
}

const Setting kSettings[] = {
    {"pin-tries", "N", "N (e.g. pin-tries 0)", kTriesText, 1, 1, 1,
     [](const Args& a, CardOptions* o) { return Tries(a[0], &o->pinTries); }},
    {"puk-tries", "N", "N (e.g. puk-tries 3)", kTriesText, 1, 1, 1,
     [](const Args& a, CardOptions* o) { return Tries(a[0], &o->pukTries); }},
    {"phase", "HH", "HH (e.g. phase 0F)",
     "the life-phase byte as two hex digits (03 user, 0F final)", 1, 1, 1,
     [](const Args& a, CardOptions* o) {
       auto v = HexDigits(a[0], 2);
       if (v) o->phase = static_cast<std::uint8_t>(*v);
       return v.has_value();
     }},
    {"delay-ms", "N", "N (e.g. delay-ms 100)", "milliseconds per command from 0 to 60000", 1, 1,
     1,
     [](const Args& a, CardOptions* o) {
       auto v = Integer(a[0], 0, kMaxDelayMs);
       if (v) o->delayMs = static_cast<int>(*v);
       return v.has_value();
     }},
    {"fail-at", "N:SW (e.g. 3:6A82)", "N SW (e.g. fail-at 1 6F00)",
     "a command number from 1 and a status word of four hex digits (61xx-6Fxx, 9xxx)", 2, 2, 2,
     [](const Args& a, CardOptions* o) {
       auto n = Integer(a[0], 1, kMaxCommand);
       auto sw = StatusWord(a[1]);
       if (n && sw) o->failAt.emplace_back(static_cast<int>(*n), *sw);
       return n && sw;
     }},
    {"corrupt-at", "N[:INDEX] (e.g. 2 or 2:-1)", "N [INDEX] (e.g. corrupt-at 2 -1)",
     "a command number from 1 and optionally the answer byte to flip (0 first, -1 last)", 1, 2, 2,
     [](const Args& a, CardOptions* o) {
       auto n = Integer(a[0], 1, kMaxCommand);
       auto index = a.size() == 2 ? Integer(a[1], -65535, 65535) : std::optional<long long>(0);
       if (n && index) o->corruptAt.emplace_back(static_cast<int>(*n), static_cast<std::ptrdiff_t>(*index));
       return n && index;
     }},
    {"remove-after", "N", "N [M] (e.g. remove-after 3 500)",
     "a number of commands from 1 (and the milliseconds from 0 to 3600000 after which the card "
     "comes back)",
     1, 1, 2,
     [](const Args& a, CardOptions* o) {
       auto n = Integer(a[0], 1, kMaxCommand);
       auto ms = a.size() == 2 ? Integer(a[1], 0, kMaxReinsertMs) : std::optional<long long>(-1);
       if (!n || !ms) return false;
       o->removeAfter = static_cast<int>(*n);
       if (*ms >= 0) o->reinsertAfterMs = static_cast<int>(*ms);
       return true;
     }},
    {"reinsert-after-ms", "M", nullptr, "milliseconds from 0 to 3600000", 1, 1, 0,
     [](const Args& a, CardOptions* o) {
       auto v = Integer(a[0], 0, kMaxReinsertMs);
       if (v) o->reinsertAfterMs = static_cast<int>(*v);
       return v.has_value();
     }},
    {"trace", "FILE", nullptr, "the file to write the trace to", 1, 1, 0,
     [](const Args& a, CardOptions* o) {
       o->traceFile = a[0];
       return !a[0].empty();
     }},
};

const Setting* FindSetting(const std::string& name, bool flag) {
  for (const Setting& s : kSettings) {
    if (name == s.name && (flag || s.lineForm)) return &s;
  }
  return nullptr;
}

// Parses the values of `s` into `o`; `what` names it in the error.
void ParseSetting(const Setting& s, const std::string& what, const Args& args, bool flag,
                  CardOptions* o) {
  const std::string form = flag ? s.flagForm : s.lineForm;
  const std::size_t max = flag ? s.flagMaxArgs : s.lineMaxArgs;
  const std::string got = Joined(args, flag ? ':' : ' ');
  if (args.size() < s.minArgs || args.size() > max || !s.parse(args, o)) {
    throw UsageError(what + " takes " + form + ", " + s.accepts +
                     (got.empty() ? "; none given" : "; not \"" + got + "\""));
  }
}

void CheckTries(const std::string& what, int tries, int limit) {
  if (tries > limit) {
    throw UsageError(what + " takes N, " + kTriesText + " (" + std::to_string(limit) +
                     " for this card); not \"" + std::to_string(tries) + "\"");
  }
}

}  // namespace

bool TakeCardFlag(int argc, char** argv, int* i, CardOptions* o) {
  std::string flag = argv[*i];
  if (flag.rfind("--", 0) != 0) return false;
  std::optional<std::string> value;
  if (const std::size_t eq = flag.find('='); eq != std::string::npos) {
    value = flag.substr(eq + 1);
    flag.resize(eq);
  }
  const Setting* s = FindSetting(flag.substr(2), true);
  if (!s) return false;
  if (!value) {
    if (*i + 1 >= argc) {
      throw UsageError(flag + " needs a value: " + s->flagForm + ", " + s->accepts);
    }
    value = argv[++*i];
  }
  // A file name is one value, whatever it holds.
  const Args args = std::string(s->name) == "trace" ? Args{*value} : Split(*value, ':');
  ParseSetting(*s, flag, args, true, o);
  return true;
}

const char* CardFlagsHelp() {
  return "Card flags (command numbers count every APDU the card receives, GET RESPONSE\n"
         "and envelope chunks included, from 1 when the card starts; repeat --fail-at\n"
         "and --corrupt-at for several commands):\n"
         "  --pin-tries N        PIN tries left, 0 (blocked) to the card's limit: --pin-tries 0\n"
         "  --puk-tries N        PUK tries left, the same way: --puk-tries 1\n"
         "  --phase HH           life-phase byte of the ATR and the card data: --phase 0F\n"
         "  --delay-ms N         wait N ms before each answer, 0 to 60000: --delay-ms 30\n"
         "  --fail-at N:SW       answer command N with status word SW alone: --fail-at 3:6A82\n"
         "  --corrupt-at N[:I]   flip answer byte I of command N (XOR FF; default 0, -1 the\n"
         "                       last): --corrupt-at 5:-1\n"
         "  --remove-after N     leave the reader right after answering command N:\n"
         "                       --remove-after 12\n"
         "  --reinsert-after-ms M  come back M ms after that removal:\n"
         "                       --remove-after 12 --reinsert-after-ms 500\n"
         "  --trace FILE         write every command and answer to FILE, PIN, PUK and key\n"
         "                       data masked: --trace /tmp/card.trace\n"
         "\n"
         "Trace lines: TIME N DIR HEX, TIME in UTC (2025-01-31T12:00:00.123456Z), N the\n"
         "command number, DIR '>' command, '<' answer, '>>' plain command inside a\n"
         "protected command or envelope, '<<' its plain answer; masked bytes show as **.\n"
         "'TIME N ! WORD' lines tell card events: power-on, power-off, reset, remove,\n"
         "insert.\n";
}

const char* ControlLinesHelp() {
  return "Control lines on standard input, one per line, each answered on standard\n"
         "output with \"ok\" or \"error: ...\" (N counts commands from now, 1 = the next):\n"
         "  remove | insert      take the card out of the reader, put it back\n"
         "  reset                end the card's session (PIN state, selection, channel)\n"
         "  pin-tries N          e.g. pin-tries 0\n"
         "  puk-tries N          e.g. puk-tries 3\n"
         "  phase HH             e.g. phase 0F (seen from the next insertion or reset)\n"
         "  delay-ms N           e.g. delay-ms 100\n"
         "  fail-at N SW         e.g. fail-at 1 6F00\n"
         "  corrupt-at N [I]     e.g. corrupt-at 2 -1\n"
         "  remove-after N [M]   e.g. remove-after 3 500 (back after 500 ms)\n"
         "  trace on|off         e.g. trace on (to --trace FILE, else standard error)\n"
         "  status               ok commands=N inserted=yes|no pin-tries=N puk-tries=N ...\n";
}

// --- CardControl ----------------------------------------------------------------

CardControl::CardControl(Card& card, const CardOptions& o) : card_(card) {
  if (o.reinsertAfterMs && !o.removeAfter) {
    throw UsageError("--reinsert-after-ms M puts the card back after --remove-after N; "
                     "give --remove-after too");
  }
  Check(o, "--");
  if (!o.traceFile.empty()) {
    std::FILE* f = std::fopen(o.traceFile.c_str(), "w");
    if (!f) {
      throw std::runtime_error("cannot write the trace to " + o.traceFile + ": " +
                               std::strerror(errno));
    }
    trace_.reset(f, [](std::FILE* file) { std::fclose(file); });
  }
  Apply(o);
  if (trace_) {
    TraceOn();
  } else {
    card.StopTrace();
  }
}

void CardControl::Check(const CardOptions& o, const std::string& prefix) const {
  const Profile& p = card_.profile();
  if (o.pinTries) CheckTries(prefix + "pin-tries", *o.pinTries, p.pinTries);
  if (o.pukTries) CheckTries(prefix + "puk-tries", *o.pukTries, p.pukTries);
}

void CardControl::Apply(const CardOptions& o) {
  if (o.pinTries) card_.SetPinTries(*o.pinTries);
  if (o.pukTries) card_.SetPukTries(*o.pukTries);
  if (o.phase) card_.SetLifePhase(*o.phase);
  if (o.delayMs) card_.SetDelay(std::chrono::milliseconds(*o.delayMs));
  for (const auto& [n, sw] : o.failAt) card_.FailAt(n, sw);
  for (const auto& [n, index] : o.corruptAt) card_.CorruptAt(n, index);
  if (o.removeAfter) {
    std::optional<std::chrono::milliseconds> back;
    if (o.reinsertAfterMs) back = std::chrono::milliseconds(*o.reinsertAfterMs);
    card_.RemoveAfter(*o.removeAfter, back);
  }
}

void CardControl::TraceOn() {
  if (!trace_) trace_ = std::shared_ptr<std::FILE>(stderr, [](std::FILE*) {});
  std::shared_ptr<std::FILE> out = trace_;
  card_.SetTraceSink([out](const std::string& line) {
    std::fprintf(out.get(), "%s\n", line.c_str());
    std::fflush(out.get());
  });
  card_.StartTrace(0);
}

std::string CardControl::Handle(const std::string& line) {
  std::istringstream words(line);
  std::string name, word;
  Args args;
  words >> name;
  while (words >> word) args.push_back(word);
  try {
    if (name == "remove" || name == "insert" || name == "reset" || name == "status") {
      if (!args.empty()) {
        throw UsageError(name + " takes no value; not \"" + Joined(args, ' ') + "\"");
      }
      if (name == "remove") card_.Remove();
      if (name == "insert") card_.Insert();
      if (name == "reset") card_.Reset();
      if (name != "status") return "ok";
      return "ok commands=" + std::to_string(card_.CommandCount()) +
             " inserted=" + (card_.Inserted() ? "yes" : "no") +
             " pin-tries=" + std::to_string(card_.PinTriesLeft()) +
             " puk-tries=" + std::to_string(card_.PukTriesLeft()) +
             " phase=" + Hex2(card_.LifePhase()) +
             " delay-ms=" + std::to_string(card_.Delay().count()) +
             " trace=" + (card_.Tracing() ? "on" : "off");
    }
    if (name == "trace") {
      if (args.size() != 1 || (args[0] != "on" && args[0] != "off")) {
        const std::string got = Joined(args, ' ');
        throw UsageError("trace takes on|off" +
                         (got.empty() ? "; none given" : "; not \"" + got + "\""));
      }
      if (args[0] == "on") TraceOn();
      else card_.StopTrace();
      return "ok";
    }
    const Setting* s = FindSetting(name, false);
    if (!s) {
      throw UsageError("unknown control \"" + name +
                       "\"; one of remove, insert, reset, pin-tries, puk-tries, phase, "
                       "delay-ms, fail-at, corrupt-at, remove-after, trace, status");
    }
    CardOptions o;
    ParseSetting(*s, name, args, false, &o);
    Check(o, "");
    Apply(o);
    return "ok";
  } catch (const std::exception& e) {
    return std::string("error: ") + e.what();
  }
}

// --- ControlChannel ----------------------------------------------------------------

ControlChannel::ControlChannel(CardControl* control) : control_(control), open_(control) {}

ControlChannel::~ControlChannel() {
  if (signalFd_ >= 0) ::close(signalFd_);
}

int ControlChannel::WaitSignal(const sigset_t& signals) {
  if (signalFd_ < 0) signalFd_ = ::signalfd(-1, &signals, SFD_CLOEXEC);
  else ::signalfd(signalFd_, &signals, 0);
  if (signalFd_ < 0) {
    int sig = 0;
    sigwait(&signals, &sig);
    return sig;
  }
  while (true) {
    // Started in the background of a shell (`zorbix-bench &`), reading the
    // terminal would stop the whole program (SIGTTIN): look again later.
    const bool background = open_ && ::isatty(STDIN_FILENO) &&
                            ::tcgetpgrp(STDIN_FILENO) != ::getpgrp();
    const bool reading = open_ && !background;
    pollfd fds[2] = {{signalFd_, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    const int n = ::poll(fds, reading ? 2 : 1, background ? 500 : -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int sig = 0;
      sigwait(&signals, &sig);
      return sig;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      if (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        return static_cast<int>(info.ssi_signo);
      }
    }
    if (!reading) continue;
    if (fds[1].revents & POLLNVAL) {
      open_ = false;
    } else if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      char buf[1024];
      const ssize_t got = ::read(STDIN_FILENO, buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        open_ = false;
        if (!pending_.empty()) Serve("\n");
        continue;
      }
      Serve(std::string(buf, static_cast<std::size_t>(got)));
    }
  }
}

void ControlChannel::Serve(const std::string& chunk) {
  pending_ += chunk;
  std::size_t nl;
  while ((nl = pending_.find('\n')) != std::string::npos) {
    std::string line = pending_.substr(0, nl);
    pending_.erase(0, nl + 1);
    if (skipping_) {  // the rest of an overlong line, already answered
      skipping_ = false;
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    std::printf("%s\n", control_->Handle(line).c_str());
    std::fflush(stdout);
  }
  if (pending_.size() > kMaxLine) {
    pending_.clear();
    if (!skipping_) {
      std::printf("error: a control line holds at most %zu characters\n", kMaxLine);
      std::fflush(stdout);
    }
    skipping_ = true;
  }
}

}  // namespace zorbix::sim
