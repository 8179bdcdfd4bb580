// The guard's Lock/Unlock rules over the named mutexes.
#include "p11/exclusion.h"

#include <algorithm>
#include <new>

namespace zorbix::p11 {

namespace {
constexpr std::size_t kKeptThreadStacks = 16;
}  // namespace

CExclusionMutua::CExclusionMutua(std::chrono::milliseconds wait) : wait_(wait) {
  CreateGuardMutex(&globalMutex_);
}

CExclusionMutua::~CExclusionMutua() {
  DestroyMutex(&readerMutex_);
  DestroyMutex(&globalMutex_);
}

CK_RV CExclusionMutua::CreateGuardMutex(Holder* holder) const {
  try {
    std::string name = readerName_.empty() ? std::string(kGlobalMutexName)
                                           : std::string(kReaderMutexPrefix) + readerName_;
    *holder = std::make_shared<platform::NamedMutex>(std::move(name));
    return CKR_OK;
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  } catch (...) {
    return CKR_GENERAL_ERROR;
  }
}

CK_RV CExclusionMutua::DestroyMutex(Holder* holder) {
  holder->reset();
  return CKR_OK;
}

CK_RV CExclusionMutua::LockMutex(const Holder& holder, std::chrono::milliseconds wait) const {
  if (!holder) return CKR_GENERAL_ERROR;
  // The first wait opens the mutex's backing file, which allocates: a failure
  // there must come back as a value, so that Lock undoes its count and the
  // local queue, and nothing escapes the call frame.
  platform::LockResult result;
  try {
    result = holder->Lock(wait);
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  } catch (...) {
    return CKR_GENERAL_ERROR;
  }
  switch (result) {
    case platform::LockResult::Acquired:
    case platform::LockResult::Abandoned:
      return CKR_OK;
    default:
      return CKR_GENERAL_ERROR;
  }
}

CK_RV CExclusionMutua::UnlockMutex(const Holder& holder) {
  return holder && holder->Unlock() ? CKR_OK : CKR_GENERAL_ERROR;
}

CK_RV CExclusionMutua::Lock() {
  // One time-out for the whole wait, local queue included.
  const auto deadline = std::chrono::steady_clock::now() + wait_;
  if (!local_.try_lock_until(deadline)) return CKR_GENERAL_ERROR;
  Held target;
  {
    std::lock_guard<std::mutex> lock(state_);
    if (readerMutex_ && globalDepth_ == 0) {
      target = {readerMutex_, false};
    } else {
      ++globalDepth_;
      target = {globalMutex_, true};
    }
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  CK_RV rv = LockMutex(target.mutex, std::max(left, std::chrono::milliseconds(0)));
  std::lock_guard<std::mutex> lock(state_);
  if (rv == CKR_OK) {
    try {
      held_[std::this_thread::get_id()].push_back(target);
    } catch (...) {
      UnlockMutex(target.mutex);
      rv = CKR_HOST_MEMORY;
    }
  }
  if (rv != CKR_OK) {
    // A lock that never held must not count as one to unlock.
    if (target.global) --globalDepth_;
    local_.unlock();
  }
  return rv;
}

CK_RV CExclusionMutua::Unlock() {
  Held top;
  {
    std::lock_guard<std::mutex> lock(state_);
    auto it = held_.find(std::this_thread::get_id());
    if (it == held_.end() || it->second.empty()) return CKR_HOST_MEMORY;
    top = std::move(it->second.back());
    it->second.pop_back();
    // A thread's empty stack stays for its next call (no allocation per
    // call), unless many threads have come and gone.
    if (it->second.empty() && held_.size() > kKeptThreadStacks) held_.erase(it);
    if (top.global) {
      // The first unlock after a connection switches to the reader's mutex.
      if (!readerName_.empty() && !readerMutex_) {
        Holder created;
        if (CreateGuardMutex(&created) == CKR_OK) readerMutex_ = std::move(created);
      }
      --globalDepth_;
    }
  }
  const CK_RV rv = UnlockMutex(top.mutex);
  local_.unlock();
  return rv;
}

std::string CExclusionMutua::ReaderName() const {
  std::lock_guard<std::mutex> lock(state_);
  return readerName_;
}

void CExclusionMutua::SetReaderNameIfEmpty(const std::string& reader) {
  std::lock_guard<std::mutex> lock(state_);
  if (readerName_.empty()) readerName_ = reader;
}

void CExclusionMutua::ClearReader() {
  Holder dropped;
  {
    std::lock_guard<std::mutex> lock(state_);
    if (readerName_.empty()) return;
    readerName_.clear();
    dropped = std::move(readerMutex_);
    readerMutex_.reset();
  }
}

bool CExclusionMutua::ReaderMutexPresent() const {
  std::lock_guard<std::mutex> lock(state_);
  return static_cast<bool>(readerMutex_);
}

unsigned CExclusionMutua::GlobalDepth() const {
  std::lock_guard<std::mutex> lock(state_);
  return globalDepth_;
}

}  // namespace zorbix::p11
