// String table lookup and the user's interface language.
#include "res/strings.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <vector>

#include "res/string_table.h"

namespace zorbix::res {
namespace {

struct LoadedTable {
  Language lang;
  std::map<int, std::string> texts;
};

std::vector<LoadedTable> LoadTables() {
  const std::pair<Language, std::span<const StringEntry>> sources[] = {
      {kEnglishUS, EnglishUSStrings()},
      {kSpanish, SpanishStrings()},
  };
  std::vector<LoadedTable> tables;
  for (const auto& [lang, entries] : sources) {
    LoadedTable table{lang, {}};
    for (const auto& entry : entries) table.texts.emplace(entry.id, entry.text);
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

}  // namespace

Language LanguageFromLocale(std::string_view locale) {
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
  if (language == "en" && territory == "GB") return kEnglishUK;
  return kEnglishUS;
}

Language UserLanguage() {
  // The usual precedence of the C library's message catalogue lookup.
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return LanguageFromLocale(value);
  }
  return kEnglishUS;
}

const std::string& Text(int id, Language lang) {
  if (const std::string* text = Find(id, lang)) return *text;
  if (const std::string* text = Find(id, kEnglishUS)) return *text;
  static const std::string empty;
  return empty;
}

const std::string& Text(int id) { return Text(id, UserLanguage()); }

}  // namespace zorbix::res
