// Console adapter state and navigation.
#include "app/ui/console/console_ui.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

#include "app/ui/navigation.h"

namespace zorbix::app::ui {
namespace {
int Index(Page page) { return static_cast<int>(page); }
}  // namespace

ConsoleUi::ConsoleUi(std::ostream& messages, std::istream* answers)
    : messages_(messages), answers_(answers) {}

void ConsoleUi::Start() { Activate(Page::Welcome); }

void ConsoleUi::Activate(Page page) {
  page_ = page;
  if (!events_) return;
  ++depth_;
  events_->OnPageActivated(page);
  --depth_;
  Flush();
}

void ConsoleUi::Flush() {
  while (depth_ == 0 && requested_) {
    const Page page = *requested_;
    requested_.reset();
    if (page != page_) Activate(page);
  }
}

void ConsoleUi::Next() {
  if (!events_ || depth_ > 0) return;
  const Page from = page_;
  ++depth_;
  requested_.reset();
  const Page to = ResolveNext(from, events_->OnNext(from), requested_);
  requested_.reset();
  --depth_;
  if (to != from) Activate(to);
}

void ConsoleUi::Deliver(void (WizardEvents::*event)()) {
  if (!events_) return;
  ++depth_;
  (events_->*event)();
  --depth_;
  Flush();
}

void ConsoleUi::ChooseReader(int index) {
  SelectReader(index);
  Deliver(&WizardEvents::OnReaderSelectionChanged);
}

void ConsoleUi::TypeFields(const Fields& fields, bool unblock) {
  fields_ = fields;
  Deliver(&WizardEvents::OnPinChanged);
  if (!unblock) return;
  checked_[1025] = true;
  Deliver(&WizardEvents::OnUnblockClicked);
  Deliver(&WizardEvents::OnPukChanged);
  Deliver(&WizardEvents::OnNewPinChanged);
}

void ConsoleUi::GoToPage(Page page) {
  requested_ = page;
  Flush();
}

std::string ConsoleUi::Text(Page page, int controlId) const {
  const auto& map = texts_[Index(page)];
  auto it = map.find(controlId);
  return it == map.end() ? std::string() : it->second;
}

bool ConsoleUi::Enabled(Page page, int controlId) const {
  const auto& map = enabled_[Index(page)];
  auto it = map.find(controlId);
  return it == map.end() || it->second;
}

int ConsoleUi::Icon(int controlId) const {
  auto it = icons_.find(controlId);
  return it == icons_.end() ? 0 : it->second;
}

void ConsoleUi::SetText(int controlId, const std::string& text) {
  texts_[Index(page_)][controlId] = text;
}

void ConsoleUi::SetEnabled(int controlId, bool enabled) {
  enabled_[Index(page_)][controlId] = enabled;
}

void ConsoleUi::MessageBox(const std::string& text, const std::string& caption, MessageKind) {
  messages_ << caption << ": " << text;
  if (text.empty() || text.back() != '\n') messages_ << '\n';
  messages_.flush();
}

ConfirmAnswer ConsoleUi::AskYesNo(const std::string& text, const std::string& caption) {
  if (!answers_) return ConfirmAnswer::Unavailable;
  messages_ << caption << ": " << text << " (y/n) ";
  messages_.flush();
  std::string line;
  if (!std::getline(*answers_, line)) return ConfirmAnswer::Unavailable;
  std::transform(line.begin(), line.end(), line.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  line.erase(std::remove_if(line.begin(), line.end(), [](unsigned char c) { return std::isspace(c); }),
             line.end());
  return line == "y" || line == "yes" ? ConfirmAnswer::Yes : ConfirmAnswer::No;
}

void ConsoleUi::ClearReaderList() {
  readers_.clear();
  selected_ = -1;
}

void ConsoleUi::SelectReader(int index) {
  selected_ = index >= 0 && index < static_cast<int>(readers_.size()) ? index : -1;
}

bool ConsoleUi::IsChecked(int controlId) const {
  auto it = checked_.find(controlId);
  return it != checked_.end() && it->second;
}

void ConsoleUi::Pause(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace zorbix::app::ui
