// String table: exact English texts, fallbacks, locale to language.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

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

TEST(Strings, TablesAreSortedWithoutDuplicatesOrEmptyTexts) {
  for (const auto table : {EnglishUSStrings(), SpanishStrings()}) {
    ASSERT_FALSE(table.empty());
    for (std::size_t i = 0; i < table.size(); ++i) {
      EXPECT_NE(table[i].text[0], '\0') << table[i].id;
      if (i > 0) {
        EXPECT_LT(table[i - 1].id, table[i].id);
      }
    }
  }
  // Every translated id exists in the reference table.
  std::set<int> english;
  for (const auto& e : EnglishUSStrings()) english.insert(e.id);
  for (const auto& e : SpanishStrings()) EXPECT_TRUE(english.count(e.id)) << e.id;
}

TEST(Strings, MissingLanguageOrIdFallsBackToEnglish) {
  EXPECT_EQ(Text(102, kSpanish),
            "Asistente para la verificaci\u00f3n de las tarjetas ORVA-ZEL.");
  EXPECT_EQ(Text(250, kSpanish), "Reader:\t");
  for (const Language lang : {kEnglishUK, kCatalan, kBasque, kGalician})
    EXPECT_EQ(Text(207, lang), "Unable to find any ORVA-ZEL card.") << lang;
  EXPECT_EQ(Text(999, kEnglishUS), "");
  EXPECT_EQ(Text(999, kSpanish), "");
}

TEST(Strings, UserLanguageFollowsTheLocale) {
  struct Case {
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    Language expected;
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
  };
  for (const auto& c : cases) {
    const auto set = [](const char* name, const char* value) {
      if (value) setenv(name, value, 1); else unsetenv(name);
    };
    set("LC_ALL", c.lcAll);
    set("LC_MESSAGES", c.lcMessages);
    set("LANG", c.lang);
    EXPECT_EQ(UserLanguage(), c.expected)
        << (c.lcAll ? c.lcAll : "-") << " " << (c.lcMessages ? c.lcMessages : "-")
        << " " << (c.lang ? c.lang : "-");
  }
  setenv("LANG", "es_ES.UTF-8", 1);
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  EXPECT_EQ(Text(207), "No se ha podido encontrar ninguna tarjeta ORVA-ZEL.");
}

}  // namespace
}  // namespace zorbix::res
