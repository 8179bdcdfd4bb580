// Field rules: when Next is offered while the test page waits.
#include "tests/wizard/wizard_fixture.h"

namespace zorbix::testing {
namespace {

enum class Event { Pin, Puk, NewPin, ToggleOn, ToggleOff };

struct FieldCase {
  const char* name;
  bool unblockMode;  // check box state before the event
  Event event;
  const char* pin;
  const char* puk;
  const char* newPin;
  bool next;
};

const char* const kPuk16 = "1234567890ABCDEF";

const FieldCase kCases[] = {
    {"pin_empty", false, Event::Pin, "", "", "", false},
    {"pin_one_char", false, Event::Pin, "1", "", "", true},
    {"pin_rule_in_unblock_mode_ignores_pin", true, Event::Pin, "", kPuk16, "1234", true},
    {"pin_rule_in_unblock_mode_short_puk", true, Event::Pin, "1234", "1234567890ABCDE", "1234",
     false},
    {"pin_rule_in_unblock_mode_short_new_pin", true, Event::Pin, "1234", kPuk16, "123", false},
    {"puk_rule_all_long_enough", true, Event::Puk, "1234", kPuk16, "1234", true},
    {"puk_rule_needs_four_char_pin", true, Event::Puk, "123", kPuk16, "1234", false},
    {"puk_rule_puk_too_long", true, Event::Puk, "1234", "1234567890ABCDEFG", "1234", false},
    {"puk_rule_counts_characters", true, Event::Puk, "1234", "123456789\xC3\xB1" "ABCDEF",
     "1234", true},
    {"new_pin_rule_ignores_pin", true, Event::NewPin, "", kPuk16, "1234", true},
    {"new_pin_rule_short_new_pin", true, Event::NewPin, "1234", kPuk16, "123", false},
    {"toggle_on_applies_puk_rule", false, Event::ToggleOn, "1234", kPuk16, "1234", true},
    {"toggle_on_puk_rule_wants_pin", false, Event::ToggleOn, "", kPuk16, "1234", false},
    {"toggle_off_applies_pin_rule", true, Event::ToggleOff, "1", "", "", true},
    {"toggle_off_empty_pin", true, Event::ToggleOff, "", kPuk16, "1234", false},
};

class FieldRulesTest : public WizardTest, public ::testing::WithParamInterface<FieldCase> {};

TEST_P(FieldRulesTest, OffersNextWhenTheRuleHolds) {
  const FieldCase& c = GetParam();
  InsertCardReader();
  ActivateTestPage();
  if (c.unblockMode) {
    ui_.SetChecked(1025, true);
    wizard_->OnUnblockClicked();
  }
  ui_.TypePin(c.pin);
  ui_.TypePuk(c.puk);
  ui_.TypeNewPin(c.newPin);
  switch (c.event) {
    case Event::Pin: wizard_->OnPinChanged(); break;
    case Event::Puk: wizard_->OnPukChanged(); break;
    case Event::NewPin: wizard_->OnNewPinChanged(); break;
    case Event::ToggleOn:
    case Event::ToggleOff: wizard_->OnUnblockClicked(); break;
  }
  unsigned expected = c.next ? app::kButtonBack | app::kButtonNext : app::kButtonBack;
  EXPECT_EQ(ui_.buttons(), expected);
  EXPECT_EQ(wizard_->state().page.fields.puk.view(), c.puk);
}

INSTANTIATE_TEST_SUITE_P(, FieldRulesTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WizardTest, CheckBoxTogglesTheUnblockControls) {
  InsertCardReader();
  ActivateTestPage();
  wizard_->OnUnblockClicked();
  EXPECT_TRUE(wizard_->state().page.unblockMode);
  for (int id : {1028, 1023, 1021, 1001}) EXPECT_EQ(ui_.enabled(id), 1) << id;
  wizard_->OnUnblockClicked();
  EXPECT_FALSE(wizard_->state().page.unblockMode);
  for (int id : {1028, 1023, 1021, 1001}) EXPECT_EQ(ui_.enabled(id), 0) << id;
}

}  // namespace
}  // namespace zorbix::testing
