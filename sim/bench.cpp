// The PC/SC test bench: our own pcscd with the vpcd driver, virtual cards on
// loopback links, and a clean stop.
#include "sim/bench.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>
#include <fcntl.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "sim/vpcd.h"

namespace zorbix::sim {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kFriendlyName = "Virtual PCD";
constexpr const char* kDefaultDriver = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";

// The vpcd reader names that the running daemon lists, sorted; nullopt when
// no daemon answers.
std::optional<std::vector<std::string>> VpcdReaders() {
  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) {
    return std::nullopt;
  }
  std::vector<std::string> names;
  DWORD len = 0;
  LONG rv = SCardListReaders(ctx, nullptr, nullptr, &len);
  if (rv == SCARD_S_SUCCESS && len > 0) {
    std::string block(len, '\0');
    rv = SCardListReaders(ctx, nullptr, block.data(), &len);
    if (rv == SCARD_S_SUCCESS) {
      for (std::size_t p = 0; p < block.size() && block[p];) {
        std::string name(block.c_str() + p);
        p += name.size() + 1;
        if (name.rfind(kFriendlyName, 0) == 0) names.push_back(name);
      }
    }
  }
  SCardReleaseContext(ctx);
  std::sort(names.begin(), names.end());
  return names;
}

// Reader "Virtual PCD 00 01" is slot 1 of the driver, served on base + 1.
int PortOf(const std::string& reader) {
  const std::size_t space = reader.rfind(' ');
  const int slot = space == std::string::npos
                       ? 0
                       : static_cast<int>(std::strtol(reader.c_str() + space + 1, nullptr, 16));
  return kVpcdBasePort + slot;
}

std::string DriverPath() {
  for (const char* dir : {"/etc/reader.conf.d.zorbix-disabled", "/etc/reader.conf.d"}) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
      std::ifstream in(entry.path());
      std::string line;
      while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key, value;
        words >> key >> value;
        if (key == "LIBPATH" && value.find("libifdvpcd") != std::string::npos &&
            fs::exists(value)) {
          return value;
        }
      }
    }
  }
  return fs::exists(kDefaultDriver) ? kDefaultDriver : "";
}

std::string Tail(const std::string& path) {
  std::ifstream in(path);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (all.size() > 2000) all = "..." + all.substr(all.size() - 2000);
  return all;
}

// Benches of different processes (several test runs at once) would share one
// daemon and fight over its ports: one bench at a time per machine.
constexpr const char* kLockPath = "/tmp/zorbix-pcsc-bench.lock";
constexpr int kLockWaitSeconds = 600;

// Benches of every user share the lock file. An existing one is opened
// without O_CREAT: in a sticky /tmp with protected_regular, O_CREAT on another
// user's file fails. A new one is made writable for all with fchmod, not
// through the process-wide umask.
int OpenLockFile() {
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = ::open(kLockPath, O_RDWR | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = ::open(kLockPath, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::fchmod(fd, 0666);
      return fd;
    }
    if (errno != EEXIST) return -1;  // else another process made it just now
  }
  return -1;
}

int TakeMachineLock() {
  const int fd = OpenLockFile();
  if (fd < 0) {
    throw std::runtime_error(std::string("bench: cannot open ") + kLockPath + ": " +
                             std::strerror(errno));
  }
  const auto deadline = Clock::now() + std::chrono::seconds(kLockWaitSeconds);
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (Clock::now() >= deadline) {
      ::close(fd);
      throw std::runtime_error("bench: another bench has held " + std::string(kLockPath) +
                               " for " + std::to_string(kLockWaitSeconds) + " s");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return fd;
}

// State letter of a process from /proc, or 0 when there is none.
char ProcessState(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  const std::size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() ? line[close + 2] : 0;
}

// A daemon killed without its clean-up leaves its socket and pid file, and
// pcscd refuses to start while the pid file names a live (or zombie)
// process, its own or not. Called only when no daemon answers on the socket.
void ClearStaleDaemonFiles(bool root) {
  const std::string pidFile = "/run/pcscd/pcscd.pid";
  std::ifstream in(pidFile);
  long pid = 0;
  if (!(in >> pid) || pid <= 0) return;
  const auto deadline = Clock::now() + std::chrono::seconds(3);
  char state = ProcessState(static_cast<pid_t>(pid));
  while (state == 'Z' && Clock::now() < deadline) {  // not yet reaped by init
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    state = ProcessState(static_cast<pid_t>(pid));
  }
  // A pid file older than a reboot may name some other process by now.
  std::string name;
  std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), name);
  if (state != 0 && state != 'Z' && name == "pcscd") {
    throw std::runtime_error("bench: a pcscd (pid " + std::to_string(pid) +
                             ") runs but does not answer; stop it first");
  }
  if (root) {
    ::unlink(pidFile.c_str());
    ::unlink("/run/pcscd/pcscd.comm");
  } else {
    const int rc = std::system("sudo -n rm -f /run/pcscd/pcscd.pid /run/pcscd/pcscd.comm");
    (void)rc;
  }
}

}  // namespace

std::unique_ptr<Bench> Bench::Start(int readers) {
  if (readers < 1 || readers > 2) {
    throw std::runtime_error("bench: 1 or 2 virtual readers, not " + std::to_string(readers));
  }
  std::unique_ptr<Bench> bench(new Bench());
  bench->lockFd_ = TakeMachineLock();
  auto existing = VpcdReaders();
  if (existing) {
    if (static_cast<int>(existing->size()) < readers) {
      throw std::runtime_error(
          "bench: a pcscd is already running without " + std::to_string(readers) +
          " vpcd reader(s); stop it (only one pcscd can run per machine) so the bench can "
          "start its own");
    }
  } else {
    bench->StartDaemon(readers);
  }
  bench->WaitReaders(readers);
  for (int i = 0; i < readers; ++i) {
    bench->links_.push_back(std::make_unique<VpcdLink>(PortOf(bench->names_[i])));
    bench->cards_.emplace_back();
  }
  return bench;
}

Bench::~Bench() {
  for (auto& link : links_) link->Attach(nullptr);
  links_.clear();  // closes the connections before the daemon goes
  cards_.clear();
  StopDaemon();
  if (lockFd_ >= 0) ::close(lockFd_);  // releases the machine lock
}

void Bench::StartDaemon(int readers) {
  const std::string driver = DriverPath();
  if (driver.empty()) {
    throw std::runtime_error("bench: the vpcd driver (libifdvpcd.so) is not installed; "
                             "run scripts/setup.sh");
  }
  char dirTemplate[] = "/tmp/zorbix-bench-XXXXXX";
  if (!::mkdtemp(dirTemplate)) throw std::runtime_error("bench: cannot create a temporary folder");
  configDir_ = dirTemplate;
  ::chmod(configDir_.c_str(), 0755);
  {
    // The driver listens on every interface in this mode; the cards connect
    // to it on loopback. One entry serves two slots (ports base, base + 1).
    std::ofstream conf(configDir_ + "/vpcd");
    conf << "FRIENDLYNAME \"" << kFriendlyName << "\"\n"
         << "DEVICENAME   /dev/null:0x" << std::hex << kVpcdBasePort << "\n"
         << "LIBPATH      " << driver << "\n"
         << "CHANNELID    0x" << std::hex << kVpcdBasePort << "\n";
  }
  // Not every caller's PATH has the sbin folders.
  std::string daemon = "pcscd";
  for (const char* candidate : {"/usr/sbin/pcscd", "/usr/local/sbin/pcscd", "/sbin/pcscd"}) {
    if (::access(candidate, X_OK) == 0) {
      daemon = candidate;
      break;
    }
  }
  const std::string logPath = configDir_ + "/pcscd.log";
  const bool root = ::geteuid() == 0;
  ClearStaleDaemonFiles(root);

  // The daemon runs under a small root shell that stops it when our end of
  // this pipe closes: on a clean stop, and also when the test process dies
  // without its destructor. The parent-death signal alone does not do that
  // through sudo, which clears it.
  int keep[2];
  if (::pipe2(keep, O_CLOEXEC) != 0) throw std::runtime_error("bench: pipe failed");
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(keep[0]);
    ::close(keep[1]);
    throw std::runtime_error("bench: fork failed");
  }
  if (pid == 0) {
    // The caller may block signals (for sigwait); the daemon must not
    // inherit that, or it would ignore our SIGTERM.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) ::signal(sig, SIG_DFL);
    // No daemon outlives a test process that dies without its destructor.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (log >= 0) {
      ::dup2(log, 1);
      ::dup2(log, 2);
    }
    ::dup2(keep[0], 0);
    // The trap covers a SIGTERM from us (relayed by sudo) or the parent-death signal.
    const char* script =
        "\"$0\" -f -c \"$1\" </dev/null & p=$!\n"
        "trap 'kill $p; wait $p; exit' TERM INT HUP\n"
        "read _ || :\n"
        "kill $p; wait $p\n";
    if (root) {
      ::execl("/bin/sh", "sh", "-c", script, daemon.c_str(), configDir_.c_str(),
              static_cast<char*>(nullptr));
    } else {
      ::execlp("sudo", "sudo", "-n", "/bin/sh", "-c", script, daemon.c_str(),
               configDir_.c_str(), static_cast<char*>(nullptr));
    }
    ::_exit(127);
  }
  ::close(keep[0]);
  keepFd_ = keep[1];
  pcscdPid_ = pid;

  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      pcscdPid_ = -1;
      ::close(keepFd_);
      keepFd_ = -1;
      throw std::runtime_error(std::string("bench: pcscd could not be started") +
                               (root ? "" : " (it needs root: sudo -n pcscd failed)") +
                               "; its output:\n" + Tail(logPath));
    }
    auto names = VpcdReaders();
    if (names && static_cast<int>(names->size()) >= readers) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  throw std::runtime_error("bench: pcscd started but listed no vpcd reader within 20 s; "
                           "its output:\n" + Tail(logPath));
}

void Bench::StopDaemon() {
  if (pcscdPid_ > 0) {
    ::close(keepFd_);
    keepFd_ = -1;
    ::kill(pcscdPid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    int status = 0;
    bool gone = false;
    while (Clock::now() < deadline) {
      if (::waitpid(pcscdPid_, &status, WNOHANG) == pcscdPid_) {
        gone = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!gone) {
      ::kill(pcscdPid_, SIGKILL);
      ::waitpid(pcscdPid_, &status, 0);
    }
    pcscdPid_ = -1;
    // The daemon's socket goes with it; wait so the next bench starts afresh.
    const auto socketDeadline = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < socketDeadline && VpcdReaders()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  if (!configDir_.empty()) {
    std::error_code ec;
    fs::remove_all(configDir_, ec);
    configDir_.clear();
  }
}

void Bench::WaitReaders(int readers) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (true) {
    auto names = VpcdReaders();
    if (names && static_cast<int>(names->size()) >= readers) {
      names_.assign(names->begin(), names->begin() + readers);
      return;
    }
    if (Clock::now() >= deadline) {
      throw std::runtime_error("bench: pcscd lists no vpcd reader");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void Bench::Check(int reader) const {
  if (reader < 0 || reader >= Readers()) {
    throw std::out_of_range("bench: no reader " + std::to_string(reader));
  }
}

std::string Bench::ReaderName(int reader) const {
  Check(reader);
  return names_[reader];
}

Card& Bench::Insert(int reader, const std::string& profileName,
                    const std::function<void(Card&)>& prepare) {
  if (const Profile* p = FindProfile(profileName)) return Insert(reader, *p, prepare);
  throw std::runtime_error("bench: no card profile named \"" + profileName + "\"");
}

Card& Bench::Insert(int reader, Profile profile, const std::function<void(Card&)>& prepare) {
  Check(reader);
  if (cards_[reader]) Remove(reader);
  auto card = std::make_unique<Card>(std::move(profile));
  card->StartTrace();
  if (prepare) prepare(*card);
  cards_[reader] = std::move(card);
  links_[reader]->Attach(cards_[reader].get());
  if (!WaitPresent(reader, true)) {
    throw std::runtime_error("bench: PC/SC did not see the card in " + names_[reader]);
  }
  return *cards_[reader];
}

void Bench::Remove(int reader) {
  Check(reader);
  if (!cards_[reader]) return;
  cards_[reader]->Remove();
  const bool gone = WaitPresent(reader, false);
  links_[reader]->Attach(nullptr);
  cards_[reader].reset();
  if (!gone) throw std::runtime_error("bench: PC/SC still sees a card in " + names_[reader]);
}

Card* Bench::CardIn(int reader) {
  Check(reader);
  return cards_[reader].get();
}

bool Bench::WaitPresent(int reader, bool present, int timeoutMs) const {
  Check(reader);
  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) {
    return false;
  }
  SCARD_READERSTATE state{};
  state.szReader = names_[reader].c_str();
  state.dwCurrentState = SCARD_STATE_UNAWARE;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  bool reached = false;
  while (!reached) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    const LONG rv = SCardGetStatusChange(ctx, static_cast<DWORD>(left.count()), &state, 1);
    if (rv == SCARD_E_TIMEOUT) break;
    if (rv != SCARD_S_SUCCESS) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      state.dwCurrentState = SCARD_STATE_UNAWARE;
      continue;
    }
    const DWORD ev = state.dwEventState;
    // A card counts as there once the daemon has powered it and read its ATR.
    reached = present ? ((ev & SCARD_STATE_PRESENT) && state.cbAtr > 0)
                      : (ev & SCARD_STATE_EMPTY) != 0;
    state.dwCurrentState = ev & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
  }
  SCardReleaseContext(ctx);
  return reached;
}

}  // namespace zorbix::sim
