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

// What each setting accepts, shared by the flag and the control line.
const char kTriesText[] = "a number of tries from 0 (blocked) to the card's retry limit";
const char kPhaseText[] = "the life-phase byte as two hex digits (03 user, 0F final)";
const char kDelayText[] = "milliseconds per command from 0 to 60000";
const char kFailText[] =
    "a command number from 1 and a status word of four hex digits (61xx-6Fxx, 9xxx)";
const char kCorruptText[] =
    "a command number from 1 and optionally the answer byte to flip (0 first, -1 last)";
const char kRemoveText[] = "a number of commands from 1";
const char kReinsertText[] = "milliseconds from 0 to 3600000";

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

[[noreturn]] void Refuse(const std::string& what, const std::string& form, const char* accepts,
                         const std::string& got) {
  throw UsageError(what + " takes " + form + ", " + accepts +
                   (got.empty() ? "; none given" : "; not \"" + got + "\""));
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

std::string Hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02X", v & 0xFF);
  return buf;
}

void CheckTries(const std::string& what, const std::string& form, int tries, int limit) {
  if (tries > limit) {
    throw UsageError(what + " takes " + form + ", " + kTriesText + " (" +
                     std::to_string(limit) + " for this card); not \"" + std::to_string(tries) +
                     "\"");
  }
}

}  // namespace

bool TakeCardFlag(int argc, char** argv, int* i, CardOptions* o) {
  std::string flag = argv[*i];
  std::optional<std::string> inlineValue;
  if (const std::size_t eq = flag.find('='); flag.rfind("--", 0) == 0 && eq != std::string::npos) {
    inlineValue = flag.substr(eq + 1);
    flag.resize(eq);
  }
  static const char* const kFlags[] = {"--pin-tries", "--puk-tries", "--phase",
                                       "--delay-ms",  "--fail-at",   "--corrupt-at",
                                       "--remove-after", "--reinsert-after-ms", "--trace"};
  bool known = false;
  for (const char* f : kFlags) known = known || flag == f;
  if (!known) return false;

  std::string form;
  const char* accepts = "";
  if (flag == "--pin-tries" || flag == "--puk-tries") {
    form = "N";
    accepts = kTriesText;
  } else if (flag == "--phase") {
    form = "HH";
    accepts = kPhaseText;
  } else if (flag == "--delay-ms") {
    form = "N";
    accepts = kDelayText;
  } else if (flag == "--fail-at") {
    form = "N:SW (e.g. 3:6A82)";
    accepts = kFailText;
  } else if (flag == "--corrupt-at") {
    form = "N[:INDEX] (e.g. 2 or 2:-1)";
    accepts = kCorruptText;
  } else if (flag == "--remove-after") {
    form = "N";
    accepts = kRemoveText;
  } else if (flag == "--reinsert-after-ms") {
    form = "M";
    accepts = kReinsertText;
  } else {
    form = "FILE";
    accepts = "the file to write the trace to";
  }
  std::string value;
  if (inlineValue) {
    value = *inlineValue;
  } else if (*i + 1 < argc) {
    value = argv[++*i];
  } else {
    throw UsageError(flag + " needs a value: " + form + ", " + accepts);
  }

  if (flag == "--pin-tries" || flag == "--puk-tries") {
    auto v = Integer(value, 0, kMaxTries);
    if (!v) Refuse(flag, form, accepts, value);
    (flag == "--pin-tries" ? o->pinTries : o->pukTries) = static_cast<int>(*v);
  } else if (flag == "--phase") {
    auto v = HexDigits(value, 2);
    if (!v) Refuse(flag, form, accepts, value);
    o->phase = static_cast<std::uint8_t>(*v);
  } else if (flag == "--delay-ms") {
    auto v = Integer(value, 0, kMaxDelayMs);
    if (!v) Refuse(flag, form, accepts, value);
    o->delayMs = static_cast<int>(*v);
  } else if (flag == "--fail-at") {
    const auto parts = Split(value, ':');
    auto n = parts.size() == 2 ? Integer(parts[0], 1, kMaxCommand) : std::nullopt;
    auto sw = parts.size() == 2 ? StatusWord(parts[1]) : std::nullopt;
    if (!n || !sw) Refuse(flag, form, accepts, value);
    o->failAt.emplace_back(static_cast<int>(*n), *sw);
  } else if (flag == "--corrupt-at") {
    const auto parts = Split(value, ':');
    auto n = parts.size() <= 2 ? Integer(parts[0], 1, kMaxCommand) : std::nullopt;
    auto index = parts.size() == 2 ? Integer(parts[1], -65535, 65535) : std::optional<long long>(0);
    if (!n || !index) Refuse(flag, form, accepts, value);
    o->corruptAt.emplace_back(static_cast<int>(*n), static_cast<std::ptrdiff_t>(*index));
  } else if (flag == "--remove-after") {
    auto v = Integer(value, 1, kMaxCommand);
    if (!v) Refuse(flag, form, accepts, value);
    o->removeAfter = static_cast<int>(*v);
  } else if (flag == "--reinsert-after-ms") {
    auto v = Integer(value, 0, kMaxReinsertMs);
    if (!v) Refuse(flag, form, accepts, value);
    o->reinsertAfterMs = static_cast<int>(*v);
  } else {
    if (value.empty()) Refuse(flag, form, accepts, value);
    o->traceFile = value;
  }
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
  const Profile& p = card.profile();
  if (o.pinTries) CheckTries("--pin-tries", "N", *o.pinTries, p.pinTries);
  if (o.pukTries) CheckTries("--puk-tries", "N", *o.pukTries, p.pukTries);
  if (o.reinsertAfterMs && !o.removeAfter) {
    throw UsageError("--reinsert-after-ms M puts the card back after --remove-after N; "
                     "give --remove-after too");
  }
  if (!o.traceFile.empty()) {
    std::FILE* f = std::fopen(o.traceFile.c_str(), "w");
    if (!f) {
      throw std::runtime_error("cannot write the trace to " + o.traceFile + ": " +
                               std::strerror(errno));
    }
    trace_.reset(f, [](std::FILE* file) { std::fclose(file); });
  }

  if (o.pinTries) card.SetPinTries(*o.pinTries);
  if (o.pukTries) card.SetPukTries(*o.pukTries);
  if (o.phase) card.SetLifePhase(*o.phase);
  if (o.delayMs) card.SetDelay(std::chrono::milliseconds(*o.delayMs));
  for (const auto& [n, sw] : o.failAt) card.FailAt(n, sw);
  for (const auto& [n, index] : o.corruptAt) card.CorruptAt(n, index);
  if (o.removeAfter) {
    std::optional<std::chrono::milliseconds> back;
    if (o.reinsertAfterMs) back = std::chrono::milliseconds(*o.reinsertAfterMs);
    card.RemoveAfter(*o.removeAfter, back);
  }
  if (trace_) {
    TraceOn();
  } else {
    card.StopTrace();
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
  std::vector<std::string> args;
  words >> name;
  while (words >> word) args.push_back(word);
  try {
    if (name == "status") {
      if (!args.empty()) throw UsageError("status takes no value");
      return "ok commands=" + std::to_string(card_.CommandCount()) +
             " inserted=" + (card_.Inserted() ? "yes" : "no") +
             " pin-tries=" + std::to_string(card_.PinTriesLeft()) +
             " puk-tries=" + std::to_string(card_.PukTriesLeft()) +
             " phase=" + Hex2(card_.LifePhase()) +
             " delay-ms=" + std::to_string(card_.Delay().count()) +
             " trace=" + (card_.Tracing() ? "on" : "off");
    }
    Apply(name, args);
    return "ok";
  } catch (const std::exception& e) {
    return std::string("error: ") + e.what();
  }
}

void CardControl::Apply(const std::string& name, const std::vector<std::string>& args) {
  const std::string got = [&] {
    std::string all;
    for (const std::string& a : args) all += (all.empty() ? "" : " ") + a;
    return all;
  }();
  auto count = [&](std::size_t min, std::size_t max, const std::string& form, const char* accepts) {
    if (args.size() < min || args.size() > max) Refuse(name, form, accepts, got);
  };
  if (name == "remove" || name == "insert" || name == "reset") {
    if (!args.empty()) throw UsageError(name + " takes no value; not \"" + got + "\"");
    if (name == "remove") card_.Remove();
    else if (name == "insert") card_.Insert();
    else card_.Reset();
  } else if (name == "pin-tries" || name == "puk-tries") {
    count(1, 1, "N", kTriesText);
    const bool pin = name == "pin-tries";
    const int limit = pin ? card_.profile().pinTries : card_.profile().pukTries;
    auto v = Integer(args[0], 0, kMaxTries);
    if (!v) Refuse(name, "N", kTriesText, got);
    CheckTries(name, "N", static_cast<int>(*v), limit);
    if (pin) card_.SetPinTries(static_cast<int>(*v));
    else card_.SetPukTries(static_cast<int>(*v));
  } else if (name == "phase") {
    count(1, 1, "HH", kPhaseText);
    auto v = HexDigits(args[0], 2);
    if (!v) Refuse(name, "HH", kPhaseText, got);
    card_.SetLifePhase(static_cast<std::uint8_t>(*v));
  } else if (name == "delay-ms") {
    count(1, 1, "N", kDelayText);
    auto v = Integer(args[0], 0, kMaxDelayMs);
    if (!v) Refuse(name, "N", kDelayText, got);
    card_.SetDelay(std::chrono::milliseconds(*v));
  } else if (name == "fail-at") {
    const std::string form = "N SW (e.g. fail-at 1 6F00)";
    count(2, 2, form, kFailText);
    auto n = Integer(args[0], 1, kMaxCommand);
    auto sw = StatusWord(args[1]);
    if (!n || !sw) Refuse(name, form, kFailText, got);
    card_.FailAt(static_cast<int>(*n), *sw);
  } else if (name == "corrupt-at") {
    const std::string form = "N [INDEX] (e.g. corrupt-at 2 -1)";
    count(1, 2, form, kCorruptText);
    auto n = Integer(args[0], 1, kMaxCommand);
    auto index = args.size() == 2 ? Integer(args[1], -65535, 65535) : std::optional<long long>(0);
    if (!n || !index) Refuse(name, form, kCorruptText, got);
    card_.CorruptAt(static_cast<int>(*n), static_cast<std::ptrdiff_t>(*index));
  } else if (name == "remove-after") {
    const std::string form = "N [M] (e.g. remove-after 3 500)";
    const std::string accepts = std::string(kRemoveText) + ", and optionally the " +
                                kReinsertText + " after which it comes back";
    count(1, 2, form, accepts.c_str());
    auto n = Integer(args[0], 1, kMaxCommand);
    auto ms = args.size() == 2 ? Integer(args[1], 0, kMaxReinsertMs) : std::optional<long long>(-1);
    if (!n || !ms) Refuse(name, form, accepts.c_str(), got);
    std::optional<std::chrono::milliseconds> back;
    if (*ms >= 0) back = std::chrono::milliseconds(*ms);
    card_.RemoveAfter(static_cast<int>(*n), back);
  } else if (name == "trace") {
    if (args.size() != 1 || (args[0] != "on" && args[0] != "off")) {
      Refuse(name, "on|off", "on to write trace lines, off to stop", got);
    }
    if (args[0] == "on") TraceOn();
    else card_.StopTrace();
  } else {
    throw UsageError("unknown control \"" + name +
                     "\"; one of remove, insert, reset, pin-tries, puk-tries, phase, delay-ms, "
                     "fail-at, corrupt-at, remove-after, trace, status");
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
    pollfd fds[2] = {{signalFd_, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    const int n = ::poll(fds, open_ ? 2 : 1, -1);
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
    if (open_ && (fds[1].revents & POLLNVAL)) {
      open_ = false;
    } else if (open_ && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
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
