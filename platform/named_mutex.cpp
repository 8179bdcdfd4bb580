// Named, machine-wide, recursive mutexes: flock on read-only lock files.
#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace zorbix::platform {

namespace {

// Polling steps while another process holds the lock: short at first, so a
// lock released soon is taken soon.
constexpr std::chrono::milliseconds kFirstPoll{1};
constexpr std::chrono::milliseconds kLongestPoll{10};
constexpr std::size_t kMaxEncoded = 200;

std::mutex g_dirMutex;
// Bumped by every change of the directory: a mutex's cached file path is
// good while the number it was made under stands.
std::atomic<unsigned> g_dirGeneration{0};

// Function-local so that it exists whenever a static initialiser asks. A
// system without /dev/shm shares the locks through /tmp instead.
std::string& Directory() {
  static std::string dir = [] {
    struct stat st {};
    return std::string(stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp");
  }();
  return dir;
}

bool KeptByte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

std::uint64_t Fnv1a(const std::string& s) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : s) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  return h;
}

}  // namespace

void SetNamedObjectDirectory(const std::string& dir) {
  std::lock_guard<std::mutex> lock(g_dirMutex);
  Directory() = dir;
  g_dirGeneration.fetch_add(1);
}

std::string NamedObjectDirectory() {
  std::lock_guard<std::mutex> lock(g_dirMutex);
  return Directory();
}

std::string NamedMutex::FileNameFor(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : name) {
    if (KeptByte(c)) {
      encoded.push_back(static_cast<char>(c));
    } else {
      encoded.push_back('%');
      encoded.push_back(kHex[c >> 4]);
      encoded.push_back(kHex[c & 0x0F]);
    }
  }
  if (encoded.size() > kMaxEncoded) {
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(Fnv1a(name)));
    encoded.resize(kMaxEncoded - 17);
    encoded += "~";
    encoded += hash;
  }
  return "zorbix-" + encoded;
}

NamedMutex::NamedMutex(std::string name) : name_(std::move(name)) {}

// Closing the file releases a lock still held.
NamedMutex::~NamedMutex() {
  if (fd_ >= 0) close(fd_);
}

namespace {

// Opens the lock file read-only, creating it when missing. An existing file
// is opened without O_CREAT: with fs.protected_regular a sticky folder such
// as /dev/shm refuses O_CREAT on another user's file. O_NONBLOCK: a FIFO
// planted under the name must not hang the caller; it is refused below.
int OpenLockFile(const std::string& path) {
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  int fd = -1;
  for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
    fd = open(path.c_str(), kFlags);
    if (fd >= 0 || errno != ENOENT) break;
    fd = open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0444);
    // Ours: readable by every user whatever the umask, writable by nobody.
    if (fd >= 0) fchmod(fd, 0444);
    else if (errno != EEXIST) break;
  }
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

// True once the file lock is ours; false at the deadline or on an error.
bool TakeFileLock(int fd, std::chrono::steady_clock::time_point deadline) {
  auto pause = kFirstPoll;
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, kLongestPoll);
  }
}

}  // namespace

LockResult NamedMutex::Lock(std::chrono::milliseconds timeout) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::max(timeout, std::chrono::milliseconds(0));
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(mutex_);
  if (owner_ == self) {
    ++depth_;
    return LockResult::Acquired;
  }
  // Our other threads first: the file lock is taken once per process.
  if (!released_.wait_until(lock, deadline, [&] { return owner_ == std::thread::id(); }))
    return LockResult::TimedOut;
  owner_ = self;
  // A file description of our own for each hold: one inherited through fork
  // would share its lock with the child.
  int fd = -1;
  try {
    // The path is made once per directory, not at every hold.
    const unsigned generation = g_dirGeneration.load();
    if (path_.empty() || pathGeneration_ != generation) {
      path_ = NamedObjectDirectory() + "/" + FileNameFor(name_);
      pathGeneration_ = generation;
    }
    fd = OpenLockFile(path_);
  } catch (...) {
    fd = -1;
  }
  bool taken = false;
  if (fd >= 0) {
    lock.unlock();
    taken = TakeFileLock(fd, deadline);
    lock.lock();
  }
  if (!taken) {
    if (fd >= 0) close(fd);
    owner_ = std::thread::id();
    released_.notify_one();
    if (fd < 0) return LockResult::Failed;
    return std::chrono::steady_clock::now() >= deadline ? LockResult::TimedOut : LockResult::Failed;
  }
  fd_ = fd;
  depth_ = 1;
  return LockResult::Acquired;
}

bool NamedMutex::Unlock() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (owner_ != std::this_thread::get_id() || depth_ == 0) return false;
  if (--depth_ > 0) return true;
  // Unlocked explicitly: a copy of the descriptor in a forked child must not
  // keep the lock.
  flock(fd_, LOCK_UN);
  close(fd_);
  fd_ = -1;
  owner_ = std::thread::id();
  released_.notify_one();
  return true;
}

}  // namespace zorbix::platform
