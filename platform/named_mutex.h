// Named mutexes shared by every process of the machine, for the module's guard.
//
// Design: each name is one lock file, opened read-only and held with flock(2).
// The kernel owns the lock: it is released when its holder dies, and the
// file holds no state, so nothing written into it can stop a later caller.
//  - Names: the bytes [A-Za-z0-9._-] are kept, every other byte (blanks in
//    reader names, '/', non-ASCII) becomes %XX; a name whose encoding would
//    pass 200 bytes keeps a prefix and ends in "~" plus a 64-bit hash. The file
//    is "zorbix-<encoded name>" in /dev/shm (/tmp on a system without it; see
//    SetNamedObjectDirectory).
//  - Open to every local user: the creator makes the file mode 0444 and it is
//    never removed, so every user meets the same lock; nobody needs to write
//    to it. A link, a FIFO or anything but a regular file there is refused.
//  - Recursion and the timed wait are kept in the process: the owning thread
//    and its depth are ours; the machine-wide lock is taken once, by the
//    outermost Lock, polling flock with LOCK_NB until the time-out.
//  - Two NamedMutex objects of one name exclude each other as two processes
//    would (each has its own open file description).
//  - The file is opened by each outermost Lock and closed by the last Unlock,
//    so a child forked meanwhile shares no lock with us afterwards.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace zorbix::platform {

enum class LockResult {
  Acquired,
  Abandoned,  // the previous holder died holding it (the kernel's locks never say so)
  TimedOut,
  Failed,     // the lock file could not be opened or is no regular file
};

class NamedMutex {
 public:
  explicit NamedMutex(std::string name);
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Recursive for the calling thread.
  LockResult Lock(std::chrono::milliseconds timeout);
  // False when the calling thread does not hold it.
  bool Unlock();

  const std::string& Name() const { return name_; }

  // File name (no directory) that `name` maps to.
  static std::string FileNameFor(const std::string& name);

 private:
  std::string name_;
  std::mutex mutex_;  // the fields below
  std::condition_variable released_;
  std::thread::id owner_;  // also set while the owner waits for the file lock
  unsigned depth_ = 0;
  int fd_ = -1;  // open while held
  std::string path_;  // of the lock file, made under directory change pathGeneration_
  unsigned pathGeneration_ = 0;
};

// Folder of the lock files; /dev/shm (or /tmp) unless a test moved it. Takes effect
// for mutexes opened afterwards.
void SetNamedObjectDirectory(const std::string& dir);
std::string NamedObjectDirectory();

}  // namespace zorbix::platform
