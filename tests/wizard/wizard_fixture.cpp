// Fixture of the wizard tests.
#include "tests/wizard/wizard_fixture.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

#include "app/htmllog.h"
#include "res/strings.h"

namespace zorbix::testing {

namespace {

CK_RV FakeCloseSession(CK_SESSION_HANDLE h) {
  ++FakeModule::closeCalls;
  FakeModule::closedSession = h;
  return FakeModule::closeResult;
}

CK_RV FakeFinalize(CK_VOID_PTR) {
  ++FakeModule::finalizeCalls;
  return FakeModule::finalizeResult;
}

const Bytes kAtr = {0x3B, 0xEF, 0x00, 0x00, 0x40, 0x14, 0x80, 0x25, 0x48, 0x41, 0x4C,
                    0x56, 0x4F, 0x57, 0x01, 0x16, 0x01, 0x01, 0x03, 0x90, 0x00};

}  // namespace

FakeModule::FakeModule() {
  list.version = {2, 20};
  list.C_CloseSession = FakeCloseSession;
  list.C_Finalize = FakeFinalize;
  closeCalls = finalizeCalls = 0;
  closedSession = 0;
  closeResult = finalizeResult = CKR_OK;
}

FakeModule::~FakeModule() = default;

int ScriptedSteps::Step(app::RunState& s, const char* name, int result) {
  script_->calls.push_back(name);
  s.AppendResultText(std::string(name) + ";");
  return result;
}

void ScriptedSteps::TestSystem(app::RunState&) {
  script_->calls.push_back("system");
  app::LogWrite("TEST0-MARK", true);
}

void ScriptedSteps::WriteReaderReport(app::RunState&, SCARDCONTEXT, std::string_view names) {
  script_->calls.push_back("report");
  cardNames.assign(names);
}

int ScriptedSteps::TestSmartCard(app::RunState& s, std::uint8_t statusBytes[2]) {
  statusBytes[0] = 0x90;
  statusBytes[1] = 0x00;
  return Step(s, "smartcard", script_->smartCard);
}

int ScriptedSteps::TestPkcs15Dump(app::RunState& s) { return Step(s, "dump", script_->dump); }

int ScriptedSteps::TestPinStatus(app::RunState& s) {
  if (script_->pinStatusOpensSession) s.page.session = 0x77;
  int r = Step(s, "pin", script_->pinStatus);
  if (script_->pinStatusFinishesRun) {
    s.FinishRun();
    s.GoToErrorPage();
    return 0;
  }
  return r;
}

int ScriptedSteps::UnblockPin(app::RunState& s) { return Step(s, "unblock", script_->unblock); }

void ScriptedSteps::Test4Header(app::RunState&) { script_->calls.push_back("header4"); }

CK_RV ScriptedSteps::LoginStep(app::RunState& s) {
  Step(s, "login", 0);
  return script_->login;
}

int ScriptedSteps::SearchPrivateKeys(app::RunState& s) {
  return Step(s, "priv", script_->privateKeys);
}

int ScriptedSteps::SearchPublicKeys(app::RunState& s) {
  return Step(s, "pub", script_->publicKeys);
}

int ScriptedSteps::SearchCertificates(app::RunState& s) {
  return Step(s, "cert", script_->certificates);
}

int ScriptedSteps::SearchDataObjects(app::RunState& s) {
  return Step(s, "data", script_->dataObjects);
}

WizardTest::WizardTest() {
  auto steps = std::make_unique<ScriptedSteps>(&script_);
  steps_ = steps.get();
  wizard_ = std::make_unique<app::Wizard>(ui_, std::move(steps), &module_.list);
  ui_.SetEvents(wizard_.get());
}

WizardTest::~WizardTest() {
  ui_.SetEvents(nullptr);
  wizard_.reset();
}

void WizardTest::InsertCardReader(const std::string& reader) {
  fake_.AddReader(reader);
  fake_.InsertCard(reader, kAtr);
}

void WizardTest::ActivateTestPage() {
  ui_.GoToPage(app::Page::Test);
  Tick();
}

app::Page WizardTest::PressNext() {
  app::Page next = wizard_->OnNext(ui_.page());
  if (next != ui_.page()) ui_.GoToPage(next);
  return next;
}

std::string WizardTest::LogText() const {
  std::ifstream in(dir_ / app::kLogFileName, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::size_t WizardTest::LogCount(const std::string& needle) const {
  std::string log = LogText();
  std::size_t n = 0;
  for (std::size_t pos = log.find(needle); pos != std::string::npos;
       pos = log.find(needle, pos + needle.size())) {
    ++n;
  }
  return n;
}

}  // namespace zorbix::testing
