// The per-language tables behind Text(): sorted {id, text} arrays.
#pragma once

#include <span>
#include <string_view>

#include "res/strings.h"

namespace zorbix::res {

struct StringEntry {
  int id;
  const char* text;
};

// One table per language, each sorted by id. A language without a table, or
// an id missing from one, falls back to English (US).
std::span<const StringEntry> EnglishUSStrings();
std::span<const StringEntry> SpanishStrings();

// The language for a locale name such as "es_ES.UTF-8" or "en_GB".
Language LanguageFromLocale(std::string_view locale);

}  // namespace zorbix::res
