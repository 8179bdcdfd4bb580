// Helpers of the run state shared by the flow and the test steps, and the
// close of a run.
#include "app/wizardstate.h"

#include "app/htmllog.h"
#include "res/strings.h"

namespace zorbix::app {

namespace {

std::size_t Utf8Length(std::string_view s) {
  std::size_t n = 0;
  for (unsigned char c : s) {
    if ((c & 0xC0) != 0x80) ++n;
  }
  return n;
}

}  // namespace

std::string_view CapText(std::string_view text, std::size_t capacity) {
  if (capacity == 0) return {};
  std::size_t max = capacity - 1;
  if (text.size() <= max) return text;
  // Back off to the start of a character so no partial sequence is kept.
  while (max > 0 && (static_cast<unsigned char>(text[max]) & 0xC0) == 0x80) --max;
  return text.substr(0, max);
}

void RunState::SetResultText(std::string_view text) {
  resultText.assign(CapText(text, kResultTextSize));
}

void RunState::AppendResultText(std::string_view text) {
  std::size_t room = kResultTextSize - 1 - resultText.size();
  resultText.append(CapText(text, room + 1));
}

void RunState::SetLineBuffer(std::string_view text) {
  lineBuffer.assign(CapText(text, kLineBufferSize));
}

void RunState::SetStatusLine(int textId) { SetStatusLineText(res::Text(textId)); }

void RunState::SetStatusLineText(const std::string& text) {
  ui.SetFont(kCtlStatusLine, kStatusFontPoints);
  ui.SetText(kCtlStatusLine, text);
  ui.SetVisible(kCtlStatusLine, true);
}

void RunState::Message(int textId, int captionId, MessageKind kind) {
  ui.MessageBox(res::Text(textId), res::Text(captionId), kind);
}

void RunState::ReadFields() { page.fields = ui.ReadFields(); }

void RunState::WriteFields() { ui.WriteFields(page.fields); }

void RunState::GoToErrorPage() { ui.GoToPage(Page::Error); }

void RunState::FinishRun() {
  LogTrailer();
  ui.AnimationStop();
  if (page.session != 0 && p11 != nullptr) {
    if (p11->C_CloseSession(page.session) != CKR_OK) Message(278);
    if (p11->C_Finalize(nullptr) != CKR_OK) Message(174);
    // Closed either way: the next run starts from a new session.
    page.session = 0;
    page.pkcs11Initialized = false;
  }
  runFinished = true;
}

// Field lengths are in characters, not bytes.
std::size_t FieldLength(const SecretString& field) { return Utf8Length(field.view()); }

}  // namespace zorbix::app
