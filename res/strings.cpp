// String table lookup (texts are filled in by the table sources).
#include "res/strings.h"

namespace zorbix::res {

Language UserLanguage() { return kEnglishUS; }

const std::string& Text(int, Language) {
  static const std::string empty;
  return empty;
}

const std::string& Text(int id) { return Text(id, UserLanguage()); }

}  // namespace zorbix::res
