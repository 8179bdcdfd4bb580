// Recording user-interface adapter for wizard tests.
#include "tests/support/recording_ui.h"

namespace zorbix::testing {

namespace {

const char* PageName(app::Page p) {
  switch (p) {
    case app::Page::Welcome: return "Welcome";
    case app::Page::Test: return "Test";
    case app::Page::Completion: return "Completion";
    case app::Page::Error: return "Error";
  }
  return "?";
}

}  // namespace

std::string RecordingUi::text(int controlId) const {
  auto it = texts_.find(controlId);
  return it == texts_.end() || it->second.empty() ? std::string() : it->second.back();
}

std::vector<std::string> RecordingUi::textHistory(int controlId) const {
  auto it = texts_.find(controlId);
  return it == texts_.end() ? std::vector<std::string>() : it->second;
}

int RecordingUi::enabled(int controlId) const {
  auto it = enabled_.find(controlId);
  return it == enabled_.end() ? -1 : it->second ? 1 : 0;
}

int RecordingUi::visible(int controlId) const {
  auto it = visible_.find(controlId);
  return it == visible_.end() ? -1 : it->second ? 1 : 0;
}

int RecordingUi::icon(int controlId) const {
  auto it = icons_.find(controlId);
  return it == icons_.end() ? 0 : it->second;
}

int RecordingUi::font(int controlId) const {
  auto it = fonts_.find(controlId);
  return it == fonts_.end() ? 0 : it->second;
}

std::size_t RecordingUi::count(std::string_view opName) const {
  std::size_t n = 0;
  for (const std::string& op : ops_) {
    if (op.compare(0, opName.size(), opName) == 0 &&
        (op.size() == opName.size() || op[opName.size()] == ' ')) {
      ++n;
    }
  }
  return n;
}

void RecordingUi::Op(std::string line) { ops_.push_back(std::move(line)); }

void RecordingUi::SetButtons(unsigned buttons) {
  buttons_ = buttons;
  buttonHistory_.push_back(buttons);
  Op("SetButtons " + std::to_string(buttons));
}

bool RecordingUi::IsNextEnabled() const { return (buttons_ & app::kButtonNext) != 0; }

void RecordingUi::SetText(int controlId, const std::string& text) {
  texts_[controlId].push_back(text);
  Op("SetText " + std::to_string(controlId) + " " + text);
}

void RecordingUi::SetEnabled(int controlId, bool enabled) {
  enabled_[controlId] = enabled;
  Op("SetEnabled " + std::to_string(controlId) + " " + (enabled ? "1" : "0"));
}

void RecordingUi::SetVisible(int controlId, bool visible) {
  visible_[controlId] = visible;
  Op("SetVisible " + std::to_string(controlId) + " " + (visible ? "1" : "0"));
}

void RecordingUi::SetIcon(int iconControlId, int iconId) {
  icons_[iconControlId] = iconId;
  Op("SetIcon " + std::to_string(iconControlId) + " " + std::to_string(iconId));
}

void RecordingUi::SetFont(int controlId, int pointSize) {
  fonts_[controlId] = pointSize;
  Op("SetFont " + std::to_string(controlId) + " " + std::to_string(pointSize));
}

void RecordingUi::SetTitle(const std::string& text) {
  title_ = text;
  Op("SetTitle " + text);
}

void RecordingUi::GoToPage(app::Page page) {
  page_ = page;
  pageHistory_.push_back(page);
  Op(std::string("GoToPage ") + PageName(page));
  if (events_) events_->OnPageActivated(page);
}

void RecordingUi::MessageBox(const std::string& text, const std::string& caption,
                             app::MessageKind kind) {
  messages_.push_back({text, caption, kind});
  Op("MessageBox " + text);
}

app::ConfirmAnswer RecordingUi::AskYesNo(const std::string& text, const std::string& caption) {
  questions_.push_back({text, caption, app::MessageKind::Warning});
  Op("AskYesNo " + text);
  return answer_;
}

void RecordingUi::StartTimer(unsigned id, unsigned periodMs) {
  timerRunning_ = true;
  timerId_ = id;
  timerPeriod_ = periodMs;
  Op("StartTimer " + std::to_string(id) + " " + std::to_string(periodMs));
}

void RecordingUi::StopTimer(unsigned id) {
  if (id == timerId_) timerRunning_ = false;
  Op("StopTimer " + std::to_string(id));
}

void RecordingUi::AnimationOpen(int resourceId) {
  animation_ = Animation::Opened;
  animationResource_ = resourceId;
  Op("AnimationOpen " + std::to_string(resourceId));
}

void RecordingUi::AnimationPlay() {
  animation_ = Animation::Playing;
  Op("AnimationPlay");
}

void RecordingUi::AnimationStop() {
  animation_ = Animation::Stopped;
  Op("AnimationStop");
}

app::Fields RecordingUi::ReadFields() {
  Op("ReadFields");
  return fields_;
}

void RecordingUi::WriteFields(const app::Fields& fields) {
  fields_ = fields;
  Op("WriteFields");
}

void RecordingUi::ClearReaderList() {
  readers_.clear();
  selected_ = -1;
  Op("ClearReaderList");
}

void RecordingUi::AddReader(const std::string& name) {
  readers_.push_back(name);
  Op("AddReader " + name);
}

void RecordingUi::SelectReader(int index) {
  selected_ = index;
  Op("SelectReader " + std::to_string(index));
}

int RecordingUi::SelectedReader() const { return selected_; }

bool RecordingUi::IsChecked(int controlId) const {
  auto it = checked_.find(controlId);
  return it != checked_.end() && it->second;
}

void RecordingUi::Pause(unsigned ms) {
  pauses_.push_back(ms);
  Op("Pause " + std::to_string(ms));
}

}  // namespace zorbix::testing
