// String table lookup and the user's interface language.
#include "res/strings.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "res/string_table.h"

namespace zorbix::res {
namespace {

struct LoadedTable {
  Language lang;
  std::map<int, std::string> texts;
};

std::vector<LoadedTable> LoadTables() {
  std::vector<LoadedTable> tables;
  for (const Language lang : kLanguages) {
    LoadedTable table{lang, {}};
    for (const auto& entry : TableOf(lang)) table.texts.emplace(entry.id, entry.text);
    tables.push_back(std::move(table));
  }
  return tables;
}

const std::vector<LoadedTable>& Tables() {
  static const std::vector<LoadedTable> tables = LoadTables();
  return tables;
}

const std::string* Find(int id, Language lang) {
  for (const auto& table : Tables()) {
    if (table.lang != lang) continue;
    const auto it = table.texts.find(id);
    return it == table.texts.end() ? nullptr : &it->second;
  }
  return nullptr;
}

std::optional<Language> Known(std::string_view locale) {
  const auto end = locale.find_first_of(".@");
  locale = locale.substr(0, end);
  const auto sep = locale.find_first_of("_-");
  const std::string_view language = locale.substr(0, sep);
  const std::string_view territory =
      sep == std::string_view::npos ? std::string_view{} : locale.substr(sep + 1);
  if (language == "es") return kSpanish;
  if (language == "ca") return kCatalan;
  if (language == "eu") return kBasque;
  if (language == "gl") return kGalician;
  if (language == "en") return territory == "GB" || territory == "UK" ? kEnglishUK : kEnglishUS;
  return std::nullopt;
}

const char* Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

}  // namespace

Language LanguageFromLocale(std::string_view locale, Language fallback) {
  return Known(locale).value_or(fallback);
}

// As the C library picks a message catalogue: the locale from LC_ALL, else
// LC_MESSAGES, else LANG; unless that is "C", LANGUAGE's list of languages
// comes first, and its first entry we have wins.
Language UserLanguage() {
  const char* locale = nullptr;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if ((locale = Env(name)) != nullptr) break;
  }
  const std::string_view current = locale != nullptr ? locale : "C";
  if (current == "C" || current == "POSIX" || current.rfind("C.", 0) == 0) return kEnglishUS;
  if (const char* list = Env("LANGUAGE")) {
    std::string_view rest = list;
    while (!rest.empty()) {
      const auto colon = rest.find(':');
      if (auto lang = Known(rest.substr(0, colon))) return *lang;
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  return LanguageFromLocale(current);
}

const std::string& Text(int id, Language lang) {
  if (const std::string* text = Find(id, lang)) return *text;
  if (const std::string* text = Find(id, kEnglishUS)) return *text;
  static const std::string empty;
  return empty;
}

const std::string& Text(int id) { return Text(id, UserLanguage()); }

}  // namespace zorbix::res
