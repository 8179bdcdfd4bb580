// The string table: every text shown or logged, by id, in six languages.
#pragma once

#include <string>

namespace zorbix::res {

// Language ids of the table.
enum Language : int {
  kSpanish = 3082,
  kEnglishUS = 1033,
  kEnglishUK = 2057,
  kCatalan = 1027,
  kBasque = 1069,
  kGalician = 1110,
};

// The language of the user's interface (from the locale), one of the above.
Language UserLanguage();

// The text of `id` in `lang`, falling back to English (US); empty when the
// id is unknown.
const std::string& Text(int id, Language lang);

// The text of `id` in the user's language.
const std::string& Text(int id);

}  // namespace zorbix::res
