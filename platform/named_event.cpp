// Named events as files held with shared flocks; see named_event.h.
#include "platform/named_event.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/named_mutex.h"

namespace zorbix::platform {

namespace {

std::string PathFor(const std::string& name) {
  return NamedObjectDirectory() + "/" + NamedEvent::FileNameFor(name);
}

int FlockRetry(int fd, int op) {
  int rc;
  do {
    rc = flock(fd, op);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// Opens the file, creating it when missing. An existing file is opened
// without O_CREAT: with fs.protected_regular a sticky folder such as
// /dev/shm refuses O_CREAT on another user's file.
int OpenOrCreate(const std::string& path) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

std::string NamedEvent::FileNameFor(const std::string& name) {
  // Same encoding as the mutexes, own prefix: "zorbix-" + encoded name.
  return "zorbix-event-" + NamedMutex::FileNameFor(name).substr(7);
}

std::unique_ptr<NamedEvent> NamedEvent::Create(const std::string& name) {
  const int fd = OpenOrCreate(PathFor(name));
  if (fd < 0) return nullptr;
  // Open security: the umask must not keep other users out. Only the
  // creator of the file may change its mode; for anyone else it is set.
  fchmod(fd, 0666);
  // Blocks only while a probe briefly holds its exclusive lock.
  if (FlockRetry(fd, LOCK_SH) != 0) {
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<NamedEvent>(new NamedEvent(name, fd));
}

bool NamedEvent::Exists(const std::string& name) {
  const int fd = open(PathFor(name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;  // never created
  bool held = false;
  if (FlockRetry(fd, LOCK_EX | LOCK_NB) != 0) {
    held = errno == EWOULDBLOCK;
  } else {
    FlockRetry(fd, LOCK_UN);
  }
  close(fd);
  return held;
}

NamedEvent::~NamedEvent() {
  if (fd_ >= 0) close(fd_);
}

}  // namespace zorbix::platform
