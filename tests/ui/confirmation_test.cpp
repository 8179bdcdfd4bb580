// The Yes/No question of the wizard's adapters, and the wizard's box as the
// module's confirmation before a key whose CKA_ID starts with 'F' signs.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "app/confirmation_hook.h"
#include "app/ui/console/console_ui.h"
#include "p11/objects.h"
#include "res/strings.h"
#include "tests/p11/raised.h"
#include "tests/support/pinentry_standin.h"
#include "tests/support/recording_ui.h"
#include "tests/support/temp_dir.h"

namespace {

using zorbix::app::ConfirmAnswer;
using zorbix::p11::to_string;

struct ConsoleCase {
  const char* typed;  // null: no stream of answers
  ConfirmAnswer expected;
};

TEST(ConsoleQuestion, AnsweredByALine) {
  const ConsoleCase cases[] = {
      {"y\n", ConfirmAnswer::Yes},     {" YES \n", ConfirmAnswer::Yes}, {"n\n", ConfirmAnswer::No},
      {"\n", ConfirmAnswer::No},       {"si\n", ConfirmAnswer::No},     {"", ConfirmAnswer::Unavailable},
      {nullptr, ConfirmAnswer::Unavailable},
  };
  for (const ConsoleCase& c : cases) {
    std::ostringstream shown;
    std::istringstream typed(c.typed ? c.typed : "");
    zorbix::app::ui::ConsoleUi ui(shown, c.typed ? &typed : nullptr);
    EXPECT_EQ(ui.AskYesNo("Sign?", "Caption"), c.expected) << (c.typed ? c.typed : "no answers");
    EXPECT_EQ(shown.str(), c.typed ? "Caption: Sign? (y/n) " : "");
  }
}

// The hook the wizard installs puts strings 104 and 105 to its own box and
// keeps the three outcomes; gone with its object, pinentry asks again.
TEST(WizardConfirmation, TheWizardsBoxAnswersForTheModule) {
  zorbix::testing::RecordingUi ui;
  auto key = std::make_shared<zorbix::p11::CPKCS11PrivateKeyObject>();
  const std::uint8_t id[] = {'F', '1'};
  key->Set(CKA_ID, id);
  const auto confirm = [&key] { return to_string(zorbix::testing::RaisedBy([&] { zorbix::p11::ConfirmKeyUse(*key); })); };
  {
    const zorbix::app::ScopedConfirmationHook hook(ui);
    const std::pair<ConfirmAnswer, const char*> cases[] = {
        {ConfirmAnswer::Yes, "CKR_OK"},
        {ConfirmAnswer::No, "CKR_FUNCTION_FAILED"},
        {ConfirmAnswer::Unavailable, "CKR_FUNCTION_CANCELED"},
    };
    for (const auto& [answer, rv] : cases) {
      ui.AnswerYesNo(answer);
      EXPECT_EQ(confirm(), rv);
    }
    ASSERT_EQ(ui.questions().size(), 3u);
    for (const auto& q : ui.questions()) {
      EXPECT_EQ(q.caption, zorbix::res::Text(104));
      EXPECT_EQ(q.text, zorbix::res::Text(105));
    }
  }
  zorbix::testing::TempDir empty;
  zorbix::testing::ScopedPath path(empty.path());
  EXPECT_EQ(confirm(), "CKR_FUNCTION_CANCELED");
  EXPECT_EQ(ui.questions().size(), 3u);
}

}  // namespace
