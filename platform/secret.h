// Storage for secrets (PIN, PUK, keys, padded blocks): wiped before release.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace zorbix {

// Overwrites memory in a way the optimiser may not drop.
inline void WipeMemory(void* p, std::size_t n) {
  if (p && n) {
    volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
    while (n--) *v++ = 0;
  }
}

template <typename T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() noexcept = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    WipeMemory(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }
  template <typename U>
  bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
};

// Bytes of a secret; the vector never keeps data inline, so every copy lives
// in allocator memory and is wiped on release.
using SecureBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

// Text of a secret (PIN, PUK). Not std::string: its inline buffer would escape
// the wiping allocator for short texts.
class SecretString {
 public:
  SecretString() = default;
  SecretString(std::string_view s) { assign(s); }  // NOLINT(google-explicit-constructor)
  SecretString(const SecretString&) = default;
  SecretString(SecretString&&) noexcept = default;
  SecretString& operator=(const SecretString&) = default;
  SecretString& operator=(SecretString&&) noexcept = default;
  ~SecretString() { clear(); }

  void assign(std::string_view s) {
    clear();
    data_.assign(s.begin(), s.end());
  }
  void clear() {
    WipeMemory(data_.data(), data_.size());
    data_.clear();
  }
  std::size_t size() const { return data_.size(); }
  bool empty() const { return data_.empty(); }
  std::string_view view() const { return {data_.data(), data_.size()}; }
  const char* data() const { return data_.data(); }
  bool operator==(const SecretString& o) const { return view() == o.view(); }

 private:
  std::vector<char, WipingAllocator<char>> data_;
};

}  // namespace zorbix
