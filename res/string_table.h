// The per-language tables behind Text(): sorted {id, text} arrays generated
// from the catalogues in res/po at build time.
#pragma once

#include <span>
#include <string_view>

#include "res/strings.h"

namespace zorbix::res {

struct StringEntry {
  int id;
  const char* text;
};

// The six languages of the table.
inline constexpr Language kLanguages[] = {kSpanish, kEnglishUS, kEnglishUK,
                                          kCatalan, kBasque,    kGalician};

// The table of `lang`, sorted by id; empty for a language without one.
std::span<const StringEntry> TableOf(Language lang);

// The language for a locale name such as "es_ES.UTF-8" or "en_GB", or for a
// LANGUAGE entry such as "gl" or "pt_BR"; `fallback` when none of the six.
Language LanguageFromLocale(std::string_view locale, Language fallback = kEnglishUS);

}  // namespace zorbix::res
