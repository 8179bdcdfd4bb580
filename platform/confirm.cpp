// The confirmation through pinentry: one child process, spoken to over a
// socket pair with the Assuan protocol, bounded by a deadline.
#include "platform/confirm.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace zorbix::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Error codes of libgpg-error (low 16 bits of an ERR line) that mean the
// user said no.
constexpr unsigned kGpgErrCanceled = 99;
constexpr unsigned kGpgErrNotConfirmed = 114;
constexpr unsigned kGpgErrCodeMask = 0xFFFF;

// A reply line of more than this is no Assuan peer.
constexpr std::size_t kMaxLine = 4 * kAssuanLineLength;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

// Descriptors 0 to 2 may be free in the host; ours must not take them, or
// the child's dup2 onto them would be a no-op on a close-on-exec copy.
int AboveStandard(int fd) {
  if (fd < 0 || fd > 2) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

// The controlling terminal, for pinentry-curses, which otherwise draws on
// its standard output (our socket).
std::optional<std::string> TerminalName() {
  char name[256];
  if (isatty(STDIN_FILENO) && ttyname_r(STDIN_FILENO, name, sizeof name) == 0) return name;
  const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  close(fd);
  return "/dev/tty";
}

class PinentryProcess {
 public:
  ~PinentryProcess() { End(); }

  bool Start(const char* program) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    fd_ = AboveStandard(sv[0]);
    const int childFd = AboveStandard(sv[1]);
    if (fd_ < 0 || childFd < 0) {
      if (childFd >= 0) close(childFd);
      return false;
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, childFd, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, childFd, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // The host's other descriptors are none of pinentry's business.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    // The host's signal mask and ignored signals do not carry over.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGTTIN, SIGTTOU, SIGTSTP})
      sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    char* argv[] = {const_cast<char*>(program), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, program, &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(childFd);
    if (rc != 0) return false;
    pid_ = pid;
    return true;
  }

  bool Send(std::string line, Clock::time_point deadline) {
    line.push_back('\n');
    std::size_t sent = 0;
    while (sent < line.size()) {
      pollfd p{fd_, POLLOUT, 0};
      if (poll(&p, 1, RemainingMs(deadline)) <= 0) return false;
      const ssize_t n = send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return false;
      }
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  enum class Reply { Ok, Err, Broken };

  // The final reply to the last command; status, data and comment lines
  // are passed over.
  Reply Await(Clock::time_point deadline, unsigned& errorCode) {
    for (;;) {
      std::string line;
      if (!ReadLine(deadline, line)) return Reply::Broken;
      if (line == "OK" || line.starts_with("OK ")) return Reply::Ok;
      if (line.starts_with("ERR ")) {
        errorCode = static_cast<unsigned>(std::strtoul(line.c_str() + 4, nullptr, 10));
        return Reply::Err;
      }
      if (line.starts_with("#") || line == "S" || line.starts_with("S ") ||
          line.starts_with("D "))
        continue;
      return Reply::Broken;  // INQUIRE or anything unknown
    }
  }

  bool Command(std::string line, Clock::time_point deadline) {
    unsigned code = 0;
    return Send(std::move(line), deadline) && Await(deadline, code) == Reply::Ok;
  }

  // Says goodbye, then makes sure the child is gone and reaped.
  void End() {
    if (fd_ >= 0) {
      static constexpr char kBye[] = "BYE\n";
      (void)send(fd_, kBye, sizeof kBye - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      close(fd_);
      fd_ = -1;
    }
    if (pid_ <= 0) return;
    if (!Reaped(milliseconds(1000))) {
      kill(pid_, SIGTERM);
      if (!Reaped(milliseconds(500))) {
        kill(pid_, SIGKILL);
        Reaped(milliseconds(-1));
      }
    }
    pid_ = -1;
  }

 private:
  bool ReadLine(Clock::time_point deadline, std::string& line) {
    for (;;) {
      const auto end = std::find(buffer_.begin(), buffer_.end(), '\n');
      if (end != buffer_.end()) {
        line.assign(buffer_.begin(), end);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        buffer_.erase(buffer_.begin(), end + 1);
        return true;
      }
      if (buffer_.size() > kMaxLine) return false;
      pollfd p{fd_, POLLIN, 0};
      const int ready = poll(&p, 1, RemainingMs(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return false;
      char chunk[512];
      const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // True when the child has ended (or was already reaped elsewhere, as in a
  // host that ignores SIGCHLD: then it is not ours to signal any more). A
  // negative wait blocks.
  bool Reaped(milliseconds wait) {
    const auto deadline = Clock::now() + wait;
    for (;;) {
      int status = 0;
      const pid_t r = waitpid(pid_, &status, wait.count() < 0 ? 0 : WNOHANG);
      if (r == pid_) return true;
      if (r < 0 && errno != EINTR) return true;
      if (r == 0) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(10));
      }
    }
  }

  int fd_ = -1;
  pid_t pid_ = -1;
  std::string buffer_;
};

std::size_t Utf8SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

}  // namespace

std::string AssuanEscape(std::string_view text, std::size_t maxLength) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::string piece;
    std::size_t consumed = 1;
    if (c == '%' || c < 0x20 || c == 0x7F) {
      piece = {'%', kHex[c >> 4], kHex[c & 0xF]};
    } else {
      consumed = std::min(Utf8SequenceLength(c), text.size() - i);
      piece.assign(text.substr(i, consumed));
    }
    if (out.size() + piece.size() > maxLength) break;
    out += piece;
    i += consumed;
  }
  return out;
}

ConfirmAnswer ConfirmWithPinentry(const ConfirmRequest& request, const char* program) {
  try {
    const auto deadline = Clock::now() + request.timeout;
    PinentryProcess pinentry;
    if (program == nullptr || !pinentry.Start(program)) return ConfirmAnswer::Unavailable;
    unsigned code = 0;
    if (pinentry.Await(deadline, code) != PinentryProcess::Reply::Ok)
      return ConfirmAnswer::Unavailable;

    // Options an older pinentry may not know; their refusal is no failure.
    const std::size_t room = kAssuanLineLength - 32;
    std::vector<std::string> options;
    if (const auto tty = TerminalName()) options.push_back("OPTION ttyname=" + AssuanEscape(*tty, room));
    if (const char* term = std::getenv("TERM"); term && *term)
      options.push_back("OPTION ttytype=" + AssuanEscape(term, room));
    const auto seconds =
        std::max<long long>(1, (request.timeout.count() + 999) / 1000);
    options.push_back("SETTIMEOUT " + std::to_string(seconds));
    for (std::string& option : options) {
      if (!pinentry.Send(std::move(option), deadline)) return ConfirmAnswer::Unavailable;
      if (pinentry.Await(deadline, code) == PinentryProcess::Reply::Broken)
        return ConfirmAnswer::Unavailable;
    }

    if (!pinentry.Command("SETTITLE " + AssuanEscape(request.title, room), deadline) ||
        !pinentry.Command("SETDESC " + AssuanEscape(request.description, room), deadline) ||
        !pinentry.Send("CONFIRM", deadline))
      return ConfirmAnswer::Unavailable;
    switch (pinentry.Await(deadline, code)) {
      case PinentryProcess::Reply::Ok:
        return ConfirmAnswer::Yes;
      case PinentryProcess::Reply::Err: {
        const unsigned reason = code & kGpgErrCodeMask;
        return reason == kGpgErrCanceled || reason == kGpgErrNotConfirmed ? ConfirmAnswer::No
                                                                           : ConfirmAnswer::Unavailable;
      }
      case PinentryProcess::Reply::Broken:
        break;
    }
  } catch (...) {
    // Out of memory and the like: no answer.
  }
  return ConfirmAnswer::Unavailable;
}

}  // namespace zorbix::platform
