// The module's machine-wide guard: every locked C_ call runs inside it.
#pragma once

#include <p11-kit/pkcs11.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/named_mutex.h"

namespace zorbix::p11 {

inline constexpr char kGlobalMutexName[] = "MutexCryptoCardORVA01";
inline constexpr char kReaderMutexPrefix[] = "MutexORVAZEL";
inline constexpr std::chrono::milliseconds kGuardWait{10000};

// Calls serialise on the global mutex until a card has been connected; then
// on a mutex named after that reader, until its card state is reset.
class CExclusionMutua {
 public:
  // Shared so that a thread still waiting on a mutex keeps it alive when the
  // guard drops it.
  using Holder = std::shared_ptr<platform::NamedMutex>;

  explicit CExclusionMutua(std::chrono::milliseconds wait = kGuardWait);
  virtual ~CExclusionMutua();
  CExclusionMutua(const CExclusionMutua&) = delete;
  CExclusionMutua& operator=(const CExclusionMutua&) = delete;

  // CKR_OK, or CKR_GENERAL_ERROR when the wait timed out or failed.
  CK_RV Lock();
  // Releases what this thread's latest Lock took; CKR_HOST_MEMORY when it
  // holds nothing.
  CK_RV Unlock();

  std::string ReaderName() const;
  // Set by the first connection while no reader is named.
  void SetReaderNameIfEmpty(const std::string& reader);
  // Card state reset: forget the reader and drop its mutex.
  void ClearReader();

  bool ReaderMutexPresent() const;
  unsigned GlobalDepth() const;

 private:
  struct Held {
    Holder mutex;
    bool global;
  };

  // Name from the reader name: the global name while it is empty.
  CK_RV CreateGuardMutex(Holder* holder) const;
  static CK_RV DestroyMutex(Holder* holder);
  CK_RV LockMutex(const Holder& holder, std::chrono::milliseconds wait) const;
  static CK_RV UnlockMutex(const Holder& holder);

  // Threads of this process also queue here first: a switch between the
  // global and the reader mutex must not let two of our own calls overlap.
  std::recursive_timed_mutex local_;
  mutable std::mutex state_;  // our own fields; never held while waiting
  std::string readerName_;
  Holder globalMutex_;
  Holder readerMutex_;
  unsigned globalDepth_ = 0;
  std::map<std::thread::id, std::vector<Held>> held_;
  std::chrono::milliseconds wait_;
};

}  // namespace zorbix::p11
