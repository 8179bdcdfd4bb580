// zorbix-check front-end.
#include "app/ui/console/check.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "app/ui/page_layouts.h"
#include "platform/scard.h"
#include "res/strings.h"

namespace zorbix::app::ui {

const char kCheckUsage[] =
    "Usage: zorbix-check --list\n"
    "       zorbix-check [--reader N] [--unblock] [--no-pin]\n"
    "       zorbix-check --help\n"
    "\n"
    "Checks an ORVA-ZEL card with the same run as the ZORBIX wizard, on the\n"
    "console, and writes the report ZorbixLog.html in the current folder.\n"
    "\n"
    "  --list        list the readers, numbered from 1\n"
    "  --reader N    run on the reader at position N of that list (default 1)\n"
    "  --unblock     if the PIN is blocked, unblock it with the PUK and a new PIN\n"
    "  --no-pin      run without a PIN (no login: the private objects stay hidden)\n"
    "  --help        show this text\n"
    "\n"
    "The PIN is read without echo from the terminal, or as one line from\n"
    "standard input when that is not a terminal. With --unblock the PUK and the\n"
    "new PIN follow, one per line (with --no-pin they are the only lines). Each\n"
    "has at most 16 characters. The rules of the wizard's fields apply: a PIN is\n"
    "needed unless --no-pin is given; to unblock, the PUK has exactly 16\n"
    "characters, the new PIN at least 4, and a PIN typed with them at least 4.\n"
    "\n"
    "Prints the page the run reached (\"Page: Completion\" or \"Page: Error\"),\n"
    "the result text, and after \"Marks:\" the mark the wizard shows beside\n"
    "each step that ran (green passed, yellow a problem found, red failed, grey\n"
    "not run). Message boxes go to standard error as \"caption: text\".\n"
    "\n"
    "Exit status: 0 on the completion page, 1 on the error page or when the run\n"
    "cannot start, 2 on usage errors.\n";

namespace {

bool ParsePosition(const std::string& text, int* out) {
  if (text.empty() || text.size() > 6) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const int n = std::atoi(text.c_str());
  if (n < 1) return false;
  *out = n;
  return true;
}

const char* PageName(Page page) {
  switch (page) {
    case Page::Welcome: return "Welcome";
    case Page::Test: return "Test";
    case Page::Completion: return "Completion";
    case Page::Error: return "Error";
  }
  return "?";
}

// The steps of the test page, label and icon, in the order they run.
struct StepMark {
  int label;
  int icon;
};
constexpr StepMark kStepMarks[] = {{1005, 1010}, {1018, 1019}, {1006, 1011}, {1015, 1016},
                                   {1008, 1012}, {1007, 1013}, {1009, 1014}, {1048, 1047}};

const char* MarkName(int icon) {
  switch (icon) {
    case kIconPass: return "green";
    case kIconNotRun: return "grey";
    case kIconFail: return "red";
    case kIconWarning: return "yellow";
  }
  return "?";
}

// Echo is switched back on if the user interrupts while typing a secret.
struct termios gSavedTerminal;
volatile std::sig_atomic_t gEchoOff = 0;
int gTerminalFd = -1;

extern "C" void RestoreEchoAndDie(int sig) {
  if (gEchoOff) tcsetattr(gTerminalFd, TCSANOW, &gSavedTerminal);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

}  // namespace

std::optional<std::string> ParseCheckOptions(const std::vector<std::string>& args,
                                             CheckOptions* options) {
  CheckOptions o;
  bool readerGiven = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--list") {
      o.list = true;
    } else if (a == "--unblock") {
      o.unblock = true;
    } else if (a == "--no-pin") {
      o.noPin = true;
    } else if (a == "--reader" || a.rfind("--reader=", 0) == 0) {
      std::string value;
      if (a == "--reader") {
        if (i + 1 == args.size()) return "--reader needs a reader number";
        value = args[++i];
      } else {
        value = a.substr(std::strlen("--reader="));
      }
      if (!ParsePosition(value, &o.reader))
        return "bad reader number '" + value + "' (a number from 1)";
      readerGiven = true;
    } else {
      return "unknown argument '" + a + "'";
    }
  }
  if (!o.help && o.list && (readerGiven || o.unblock || o.noPin))
    return "--list takes no other options";
  *options = o;
  return std::nullopt;
}

SecretRead ReadSecretLine(int fd, const char* prompt, SecretString* out) {
  const bool terminal = isatty(fd);
  struct termios quiet;
  if (terminal && tcgetattr(fd, &gSavedTerminal) == 0) {
    quiet = gSavedTerminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    gTerminalFd = fd;
    std::signal(SIGINT, RestoreEchoAndDie);
    std::signal(SIGTERM, RestoreEchoAndDie);
    gEchoOff = tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    // Prompt only once echo is off, so nothing typed after it shows.
    if (prompt) {
      ssize_t ignored = write(STDERR_FILENO, prompt, std::strlen(prompt));
      (void)ignored;
    }
  }

  std::vector<char, WipingAllocator<char>> line;
  line.reserve(kFieldMaxLength + 2);
  bool tooLong = false, failed = false;
  for (;;) {
    char c;
    const ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      failed = true;
      break;
    }
    if (n == 0 || c == '\n') break;
    // One character past the limit ends the read at once: an input without
    // line ends (/dev/zero) must not be read for ever. The rest of the
    // line is not ours to read; on a terminal it is thrown away below.
    if (line.size() > static_cast<std::size_t>(kFieldMaxLength)) {
      tooLong = true;
      break;
    }
    line.push_back(c);
  }
  if (tooLong && terminal) tcflush(fd, TCIFLUSH);
  if (gEchoOff) {
    tcsetattr(fd, TCSAFLUSH, &gSavedTerminal);
    gEchoOff = 0;
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() > static_cast<std::size_t>(kFieldMaxLength)) tooLong = true;
  if (failed) return SecretRead::Failed;
  if (tooLong) {
    out->clear();
    return SecretRead::TooLong;
  }
  out->assign(std::string_view(line.data(), line.size()));
  return SecretRead::Ok;
}

int ReadCheckSecrets(bool unblock, bool noPin, Fields* fields, std::ostream& err) {
  struct Item {
    const char* prompt;
    const char* name;
    SecretString* value;
  };
  std::vector<Item> items;
  if (!noPin) items.push_back({"PIN: ", "PIN", &fields->pin});
  if (unblock) {
    items.push_back({"PUK: ", "PUK", &fields->puk});
    items.push_back({"New PIN: ", "new PIN", &fields->newPin});
  }
  for (const Item& item : items) {
    switch (ReadSecretLine(STDIN_FILENO, item.prompt, item.value)) {
      case SecretRead::Ok: break;
      case SecretRead::TooLong:
        err << "zorbix-check: the " << item.name << " has more than " << kFieldMaxLength
            << " characters\n";
        return kExitUsage;
      case SecretRead::Failed:
        err << "zorbix-check: cannot read the " << item.name << ": " << std::strerror(errno)
            << "\n";
        return kExitFailed;
    }
  }
  return 0;
}

std::optional<std::string> CheckFieldRules(const CheckOptions& options, const Fields& fields) {
  const std::size_t pin = fields.pin.size();
  if (!options.unblock) {
    if (pin == 0 && !options.noPin)
      return "no PIN was given; the PIN needs at least 1 character (or run with --no-pin)";
    return std::nullopt;
  }
  if (fields.puk.size() != 16) return "the PUK must have exactly 16 characters";
  if (fields.newPin.size() < 4) return "the new PIN must have at least 4 characters";
  // The PUK rule also asks for a PIN of at least 4; the new-PIN rule, typed
  // last, does not: that is the run without a PIN, asked for with --no-pin.
  if (!options.noPin && pin < 4)
    return "with --unblock the PIN must have at least 4 characters (or run with --no-pin)";
  return std::nullopt;
}

namespace {

// A context with user scope, else system scope, as the wizard does. On
// failure `err` hears why, once, naming the service when it is not running.
bool EstablishOrExplain(SCARDCONTEXT* ctx, std::ostream& err) {
  platform::ScardApi& scard = platform::Scard();
  LONG rv = scard.EstablishContext(SCARD_SCOPE_USER, ctx);
  if (rv != SCARD_S_SUCCESS) rv = scard.EstablishContext(SCARD_SCOPE_SYSTEM, ctx);
  if (rv == SCARD_S_SUCCESS) return true;
  err << "zorbix-check: " << res::Text(205) << "\n";
  if (rv == SCARD_E_NO_SERVICE)
    err << "zorbix-check: the PC/SC service is not running (start pcscd, e.g. 'systemctl start pcscd')\n";
  else
    err << "zorbix-check: PC/SC error " << platform::ScardErrorName(rv) << "\n";
  return false;
}

// The reader names on a fresh context, which is released again: false when
// no context could be had (`err` was told), else the listing's status in
// `rc` and, on success, the names.
bool ReaderNames(std::vector<std::string>* names, LONG* rc, std::ostream& err) {
  platform::ScardApi& scard = platform::Scard();
  SCARDCONTEXT ctx = 0;
  if (!EstablishOrExplain(&ctx, err)) return false;
  DWORD len = 0;
  *rc = scard.ListReaders(ctx, nullptr, nullptr, &len);
  std::vector<char> block;
  if (*rc == SCARD_S_SUCCESS) {
    block.resize(len);
    *rc = scard.ListReaders(ctx, nullptr, block.data(), &len);
  }
  scard.ReleaseContext(ctx);
  if (*rc == SCARD_S_SUCCESS)
    *names = platform::SplitMultiString(block.data(), std::min<std::size_t>(len, block.size()));
  return true;
}

}  // namespace

int CheckReaderChoice(const CheckOptions& options, std::ostream& err) {
  std::vector<std::string> names;
  LONG rc = SCARD_S_SUCCESS;
  if (!ReaderNames(&names, &rc, err)) return kExitFailed;
  const int count = static_cast<int>(names.size());
  // No reader at all with the default choice: the run goes on and ends as
  // the wizard would.
  if (options.reader > count && (count > 0 || options.reader > 1)) {
    err << "zorbix-check: there is no reader " << options.reader << " (" << count
        << " found, see --list)\n";
    return kExitFailed;
  }
  return 0;
}

int ListReaders(std::ostream& out, std::ostream& err) {
  std::vector<std::string> names;
  LONG rc = SCARD_S_SUCCESS;
  if (!ReaderNames(&names, &rc, err)) return kExitFailed;
  if (rc == SCARD_E_NO_READERS_AVAILABLE) {
    err << "zorbix-check: no readers found\n";
    return kExitCompleted;
  }
  if (rc != SCARD_S_SUCCESS) {
    err << "zorbix-check: cannot list the readers (PC/SC error 0x" << std::hex
        << static_cast<unsigned long>(rc) << std::dec << ")\n";
    return kExitFailed;
  }
  for (std::size_t i = 0; i < names.size(); ++i) out << (i + 1) << ": " << names[i] << "\n";
  return kExitCompleted;
}

int RunCheck(ConsoleUi& ui, const CheckOptions& options, const Fields& fields, std::ostream& out,
             std::ostream& err) {
  if (auto broken = CheckFieldRules(options, fields)) {
    err << "zorbix-check: " << *broken << "\n";
    return kExitUsage;
  }
  ui.Start();
  ui.Next();
  if (ui.CurrentPage() == Page::Test) {
    const auto count = static_cast<int>(ui.Readers().size());
    if (count > 0 && options.reader > count) {
      err << "zorbix-check: there is no reader " << options.reader << " (" << count
          << " found, see --list)\n";
      return kExitFailed;
    }
    // With no reader at all the run goes on and ends as the wizard would.
    ui.ChooseReader(count > 0 ? options.reader - 1 : -1);
    ui.TypeFields(fields, options.unblock);
    // The page's own rules decide as they would on screen; only --no-pin
    // goes past them, on purpose.
    if (!options.noPin && !(ui.Buttons() & kButtonNext)) {
      err << "zorbix-check: the fields do not meet the test page's rules\n";
      return kExitUsage;
    }
    ui.Next();
  }
  const Page page = ui.CurrentPage();
  out << "Page: " << PageName(page) << "\n";
  std::string result;
  if (page == Page::Completion) result = ui.Text(Page::Completion, 1040);
  if (page == Page::Error) result = ui.Text(Page::Error, 1003);
  if (!result.empty()) {
    out << result;
    if (result.back() != '\n') out << "\n";
  }
  bool marks = false;
  for (const StepMark& m : kStepMarks) {
    const int icon = ui.Icon(m.icon);
    if (icon == 0) continue;
    if (!marks) out << "Marks:\n";
    marks = true;
    out << "  " << ui.Text(Page::Test, m.label) << ": " << MarkName(icon) << "\n";
  }
  out.flush();
  return page == Page::Completion ? kExitCompleted : kExitFailed;
}

}  // namespace zorbix::app::ui
