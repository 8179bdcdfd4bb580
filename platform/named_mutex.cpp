// Named, process-shared, robust, recursive mutexes in small shared files.
#include "platform/named_mutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace zorbix::platform {

namespace {

constexpr std::uint32_t kMagic = 0x5A4D5458u;  // "ZMTX": the file is initialised
constexpr std::size_t kMaxEncoded = 200;

std::mutex g_dirMutex;

// Function-local so that it exists whenever a static initialiser asks. A
// system without /dev/shm shares the locks through /tmp instead.
std::string& Directory() {
  static std::string dir = [] {
    struct stat st {};
    return std::string(stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp");
  }();
  return dir;
}
std::atomic<unsigned> g_tempCounter{0};

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

struct NamedMutex::Shared {
  std::atomic<std::uint32_t> magic;
  pthread_mutex_t mutex;
};

void SetNamedObjectDirectory(const std::string& dir) {
  std::lock_guard<std::mutex> lock(g_dirMutex);
  Directory() = dir;
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

NamedMutex::~NamedMutex() {
  if (shared_) munmap(shared_, sizeof(Shared));
}

namespace {

// Maps `size` bytes of the file; null when it is shorter.
void* MapFile(int fd, std::size_t size) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(size)) return nullptr;
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return p == MAP_FAILED ? nullptr : p;
}

}  // namespace

bool NamedMutex::Open() {
  std::lock_guard<std::mutex> lock(openMutex_);
  if (shared_) return true;
  const std::string dir = NamedObjectDirectory();
  const std::string path = dir + "/" + FileNameFor(name_);

  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) {
      // Build an initialised file privately, then publish it under the name.
      const std::string temp = dir + "/.zorbix-new-" + std::to_string(getpid()) + "-" +
                               std::to_string(g_tempCounter.fetch_add(1));
      int tfd = open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
      if (tfd < 0) return false;
      bool ok = fchmod(tfd, 0666) == 0 && ftruncate(tfd, sizeof(Shared)) == 0;
      void* p = ok ? MapFile(tfd, sizeof(Shared)) : nullptr;
      if (p) {
        auto* s = static_cast<Shared*>(p);
        pthread_mutexattr_t attr;
        ok = pthread_mutexattr_init(&attr) == 0;
        ok = ok && pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
             pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
             pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
             pthread_mutex_init(&s->mutex, &attr) == 0;
        pthread_mutexattr_destroy(&attr);
        if (ok) s->magic.store(kMagic, std::memory_order_release);
        munmap(p, sizeof(Shared));
      } else {
        ok = false;
      }
      close(tfd);
      if (ok && link(temp.c_str(), path.c_str()) != 0 && errno != EEXIST) ok = false;
      unlink(temp.c_str());
      if (!ok) return false;
      continue;  // open what is published now, ours or the winner's
    }
    if (fd < 0) return false;
    void* p = MapFile(fd, sizeof(Shared));
    close(fd);
    if (!p) return false;
    auto* s = static_cast<Shared*>(p);
    if (s->magic.load(std::memory_order_acquire) != kMagic) {
      munmap(p, sizeof(Shared));
      return false;
    }
    shared_ = s;
    return true;
  }
  return false;
}

LockResult NamedMutex::Lock(std::chrono::milliseconds timeout) {
  if (!Open()) return LockResult::Failed;
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  const long long ms = timeout.count() < 0 ? 0 : timeout.count();
  deadline.tv_sec += static_cast<time_t>(ms / 1000);
  deadline.tv_nsec += static_cast<long>((ms % 1000) * 1000000);
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  int rc;
  do {
    rc = pthread_mutex_clocklock(&shared_->mutex, CLOCK_MONOTONIC, &deadline);
  } while (rc == EINTR);
  switch (rc) {
    case 0:
      return LockResult::Acquired;
    case EOWNERDEAD:
      pthread_mutex_consistent(&shared_->mutex);
      return LockResult::Abandoned;
    case ETIMEDOUT:
      return LockResult::TimedOut;
    default:
      return LockResult::Failed;
  }
}

bool NamedMutex::Unlock() {
  if (!shared_) return false;
  return pthread_mutex_unlock(&shared_->mutex) == 0;
}

}  // namespace zorbix::platform
