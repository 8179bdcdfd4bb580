// String table: exact English texts, fallbacks, locale to language.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "res/string_table.h"
#include "res/strings.h"

namespace zorbix::res {
namespace {

TEST(Strings, EnglishTextsLetterForLetter) {
  const std::pair<int, const char*> cases[] = {
      {102, "ORVA-ZEL Card Status Info Wizard"},
      {113, "The tests will focus on the status of the card\u2019s current life "
            "phase and the verification of the objects it contains."},
      {114, "This wizard will create a log file called ZORBIXLOG.HTML inside "
            "the running folder. It is cleared every time you execute this "
            "application."},
      {142, " Software ZORBIX\n"},
      {143, " Software developed by the ORVA-ZEL \n"},
      {144, "ZORBIX operations have been completed. \n"},
      {146, "Software ZORBIX ORVA-ZEL: ERROR!"},
      {166, "Error on obtaining object\u2019s features. \n"},
      {187, "CERTIFICATE # "},
      {191, "\t\tCard type: \t\t"},
      {205, "Could not establish context with the ORVA-ZEL card."},
      {206, "Communication error with the ORVA-ZEL card."},
      {207, "Unable to find any ORVA-ZEL card."},
      {209, "PIN code locked"},
      {249, "ATR: \t\t"},
      {250, "Reader:\t"},
      {262, "\tPKCS#11 library:       \t"},
      {272, "TEST 0: Test CORRECT.\n"},
      {279, "\tUnable to open registry entry\n"},
      {282, "PKCS#15 Step 7: Reading ODF  (5031) \n"},
  };
  for (const auto& [id, text] : cases) EXPECT_EQ(Text(id, kEnglishUS), text) << id;
}

// The tabs and line feeds of a text, in order: the log's columns hang on them.
std::string Layout(std::string_view text) {
  std::string layout;
  for (char c : text)
    if (c == '\t' || c == '\n') layout += c;
  return layout;
}

std::map<int, std::string_view> Table(Language lang) {
  std::map<int, std::string_view> table;
  for (const auto& e : TableOf(lang)) table.emplace(e.id, e.text);
  return table;
}

TEST(Strings, EveryLanguageHasEveryEntryWithTheEnglishLayout) {
  const auto english = Table(kEnglishUS);
  ASSERT_FALSE(english.empty());
  for (const Language lang : kLanguages) {
    const auto table = Table(lang);
    EXPECT_EQ(table.size(), TableOf(lang).size()) << lang << ": an id twice";
    for (const auto& [id, text] : english) {
      const auto it = table.find(id);
      if (it == table.end()) {
        ADD_FAILURE() << "language " << lang << " has no string " << id;
        continue;
      }
      EXPECT_FALSE(it->second.empty()) << lang << " " << id;
      EXPECT_EQ(Layout(it->second), Layout(text)) << "language " << lang << ", string " << id;
    }
    for (const auto& [id, text] : table) EXPECT_TRUE(english.count(id)) << lang << " " << id;
  }
}

// The ids the wizard uses, by purpose: pages, messages, the log header and
// trailer, and each test's log lines.
const std::vector<int>& IdsInUse() {
  static const std::vector<int> ids = [] {
    std::vector<int> v = {102, 103, 104, 105, 107, 108, 109, 110, 111, 112, 113, 114, 115,
                          258, 260, 283, 289, 127, 128, 129, 241, 242, 146, 142, 143, 144,
                          174, 278, 205, 206, 207, 209, 166, 137, 138, 154, 175, 176, 204,
                          248, 249, 250, 251, 253, 254, 255, 256, 257, 259, 280, 281, 282,
                          288, 134, 139, 160, 161, 162, 182, 245, 183, 184, 140, 141, 177,
                          181, 244, 246, 291, 292, 293};
    for (int id = 116; id <= 126; ++id) v.push_back(id);
    for (int id = 262; id <= 279; ++id) v.push_back(id);
    for (int id = 188; id <= 202; ++id) v.push_back(id);
    for (int id = 210; id <= 222; ++id) v.push_back(id);
    for (int id = 224; id <= 237; ++id) v.push_back(id);
    for (int id = 147; id <= 153; ++id) v.push_back(id);
    for (int id = 157; id <= 159; ++id) v.push_back(id);
    for (int id = 163; id <= 173; ++id) v.push_back(id);
    for (int id = 185; id <= 187; ++id) v.push_back(id);
    return v;
  }();
  return ids;
}

// String ids named in the program's sources: Text(N), Message(N ...),
// SetStatusLine(N), constants named k...Text/Caption/Title, and the id
// columns of the tables that pair a control, file or library with a text.
std::set<int> IdsInSources() {
  const std::regex patterns[] = {
      std::regex(R"((?:Text|TextQ|Message|SetStatusLine)\((\d{3})\b)"),
      std::regex(R"(k\w*(?:Text|Caption|Title)\w*\s*=\s*(\d{3})\b)"),
      std::regex(R"(\{\s*kCtl\w+,\s*(\d{3})\s*\})"),
      std::regex(R"(\{\s*(\d{3}),\s*(?:"|k|std::uint16_t))"),
      std::regex(R"(\{\s*platform::kCsidl\w+,\s*(\d{3})\s*\})"),
      std::regex(R"(\bgeneric\s*=\s*(\d{3})\b)"),
  };
  std::set<int> ids;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(ZORBIX_APP_SOURCES)) {
    const auto ext = entry.path().extension();
    if (ext != ".cpp" && ext != ".h") continue;
    std::ifstream in(entry.path());
    const std::string code{std::istreambuf_iterator<char>(in), {}};
    for (const auto& re : patterns) {
      for (std::sregex_iterator m(code.begin(), code.end(), re), end; m != end; ++m) {
        const int id = std::stoi((*m)[1]);
        if (id >= 100 && id < 300) ids.insert(id);
      }
    }
  }
  return ids;
}

TEST(Strings, EveryIdTheProgramUsesExistsInAllSixLanguages) {
  std::set<int> used(IdsInUse().begin(), IdsInUse().end());
  const std::set<int> named = IdsInSources();
  // The scan must see the forms above, or it proves nothing.
  for (int id : {205, 262, 253, 116, 146, 195, 276}) ASSERT_TRUE(named.count(id)) << id;
  used.insert(named.begin(), named.end());
  for (const Language lang : kLanguages) {
    const auto table = Table(lang);
    for (int id : used) EXPECT_TRUE(table.count(id)) << "language " << lang << " lacks string " << id;
  }
}

// The log has no character-set declaration: browsers take it for UTF-8 only
// when every byte sequence is valid UTF-8.
bool ValidUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra < 0 || (extra == 1 && c < 0xC2) || s.size() - i <= static_cast<std::size_t>(extra)) {
      if (extra != 0) return false;
    }
    for (int k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += 1 + extra;
  }
  return true;
}

TEST(Strings, EveryTextIsValidUtf8) {
  for (const Language lang : kLanguages)
    for (const auto& e : TableOf(lang)) EXPECT_TRUE(ValidUtf8(e.text)) << lang << " " << e.id;
  EXPECT_FALSE(ValidUtf8("Versi\xf3n"));  // Latin-1, as a browser would misread it
}

TEST(Strings, TablesAreSortedAndUnknownIdsAreEmpty) {
  for (const Language lang : kLanguages) {
    const auto table = TableOf(lang);
    for (std::size_t i = 1; i < table.size(); ++i) EXPECT_LT(table[i - 1].id, table[i].id) << lang;
  }
  EXPECT_TRUE(TableOf(static_cast<Language>(1031)).empty());
  EXPECT_EQ(Text(999, kEnglishUS), "");
  EXPECT_EQ(Text(999, kBasque), "");
}

// The Spanish page texts as the product has them; the others read as their
// languages, not as English left over.
TEST(Strings, TranslatedTexts) {
  EXPECT_EQ(Text(102, kSpanish), "Asistente para la verificaci\u00f3n de las tarjetas ORVA-ZEL.");
  EXPECT_EQ(Text(118, kSpanish), "Si est\u00e1 bloqueado, desbloquear PIN con el PUK.");
  EXPECT_EQ(Text(146, kSpanish), "Aplicaci\u00f3n ZORBIX ORVA-ZEL: !ERROR!");
  EXPECT_EQ(Text(250, kSpanish), "Lector:\t");
  EXPECT_EQ(Text(134, kEnglishUK), "Error while initialising the library. \n");
  std::size_t differs = 0;
  for (const auto& [id, text] : Table(kEnglishUS)) differs += Text(id, kEnglishUK) != text;
  EXPECT_EQ(differs, 4u);  // spelling only: the page texts are the same
  for (const Language lang : {kSpanish, kCatalan, kBasque, kGalician}) {
    for (int id : {104, 117, 118, 126, 207, 209, 241, 272, 275}) {
      EXPECT_NE(Text(id, lang), Text(id, kEnglishUS)) << lang << " " << id;
    }
  }
}

TEST(Strings, UserLanguageFollowsTheLocale) {
  struct Case {
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    Language expected;
    const char* language = nullptr;  // LANGUAGE
  };
  const Case cases[] = {
      {nullptr, nullptr, nullptr, kEnglishUS},
      {nullptr, nullptr, "es_ES.UTF-8", kSpanish},
      {nullptr, nullptr, "en_GB.UTF-8", kEnglishUK},
      {nullptr, nullptr, "en_US.UTF-8", kEnglishUS},
      {nullptr, nullptr, "ca_ES@valencia", kCatalan},
      {nullptr, nullptr, "eu_ES", kBasque},
      {nullptr, nullptr, "gl", kGalician},
      {nullptr, nullptr, "de_DE.UTF-8", kEnglishUS},
      {nullptr, nullptr, "C", kEnglishUS},
      {nullptr, "gl_ES.UTF-8", "es_ES.UTF-8", kGalician},
      {"en_GB", "gl_ES", "es_ES", kEnglishUK},
      {"", "", "eu_ES", kBasque},
      {nullptr, nullptr, "en_GB.UTF-8", kGalician, "pt_BR:gl:es"},
      {nullptr, nullptr, "es_ES.UTF-8", kEnglishUS, "en"},
      {nullptr, nullptr, "es_ES.UTF-8", kSpanish, "de:fr"},
      {nullptr, nullptr, "C.UTF-8", kEnglishUS, "ca"},
      {nullptr, nullptr, nullptr, kEnglishUS, "eu"},
  };
  for (const auto& c : cases) {
    const auto set = [](const char* name, const char* value) {
      if (value) setenv(name, value, 1); else unsetenv(name);
    };
    set("LC_ALL", c.lcAll);
    set("LC_MESSAGES", c.lcMessages);
    set("LANG", c.lang);
    set("LANGUAGE", c.language);
    EXPECT_EQ(UserLanguage(), c.expected)
        << (c.lcAll ? c.lcAll : "-") << " " << (c.lcMessages ? c.lcMessages : "-")
        << " " << (c.lang ? c.lang : "-") << " " << (c.language ? c.language : "-");
  }
  setenv("LANG", "es_ES.UTF-8", 1);
  unsetenv("LANGUAGE");
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  EXPECT_EQ(Text(207), "No se ha podido encontrar ninguna tarjeta ORVA-ZEL.");
}

}  // namespace
}  // namespace zorbix::res
