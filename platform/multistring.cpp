// Reader multi-strings: names ended by NUL, the list ended by an empty name.
#include "platform/scard.h"

namespace zorbix::platform {

std::vector<std::string> SplitMultiString(const char* block, std::size_t len) {
  std::vector<std::string> names;
  std::size_t p = 0;
  while (block && p < len && block[p] != '\0') {
    std::size_t start = p;
    while (p < len && block[p] != '\0') ++p;
    names.emplace_back(block + start, p - start);
    ++p;
  }
  return names;
}

}  // namespace zorbix::platform
