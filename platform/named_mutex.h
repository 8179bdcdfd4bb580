// Named mutexes shared by every process of the machine, for the module's guard.
//
// Design: each name is one small file holding a pthread mutex that is
// PTHREAD_PROCESS_SHARED, PTHREAD_MUTEX_ROBUST and PTHREAD_MUTEX_RECURSIVE,
// mapped MAP_SHARED by every process that opens the name.
//  - Names: the bytes [A-Za-z0-9._-] are kept, every other byte (blanks in
//    reader names, '/', non-ASCII) becomes %XX; a name whose encoding would
//    pass 200 bytes keeps a prefix and ends in "~" plus a 64-bit hash. The file
//    is "zorbix-<encoded name>" in /dev/shm (/tmp on a system without it; see
//    SetNamedObjectDirectory).
//  - Open security: files are created mode 0666 (fchmod, so the umask does not
//    narrow it) and are never removed, so every local user meets the same lock.
//  - Creation race: the creator initialises the mutex in a private temporary
//    file and publishes it with link(2); whoever loses the link uses the
//    winner's file. A published file is therefore always initialised.
//  - A holder that dies leaves the mutex "owner dead": the next waiter gets it
//    at once, makes it consistent and counts it as acquired (Abandoned).
//  - The file is opened on the first Lock, not at construction.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

namespace zorbix::platform {

enum class LockResult {
  Acquired,
  Abandoned,  // the previous holder died holding it; we hold it now
  TimedOut,
  Failed,     // the backing file could not be opened or is not a mutex
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
  struct Shared;
  bool Open();

  std::string name_;
  std::mutex openMutex_;
  Shared* shared_ = nullptr;
};

// Folder of the backing files; /dev/shm (or /tmp) unless a test moved it. Takes effect
// for mutexes opened afterwards.
void SetNamedObjectDirectory(const std::string& dir);
std::string NamedObjectDirectory();

}  // namespace zorbix::platform
