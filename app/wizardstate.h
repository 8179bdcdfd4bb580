// The state one test-page activation and its run share: the test page's
// PC/SC handles and fields, the run-wide values, and the handful of helpers
// every test step uses (status line, result text, message boxes).
#pragma once

#include <p11-kit/pkcs11.h>
#include <PCSC/winscard.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/ui/wizard_ui.h"

namespace zorbix::app {

// Number of reader handle slots (reader positions 0 to 10).
inline constexpr std::size_t kReaderSlots = 11;

// Capacities, terminator included, of the run-wide texts.
inline constexpr std::size_t kLineBufferSize = 400;
inline constexpr std::size_t kResultTextSize = 600;

inline constexpr int kStatusFontPoints = 17;
inline constexpr int kDefaultCaptionId = 146;  // "Software ZORBIX ORVA-ZEL: ERROR!"

// Controls of the test page the logic touches.
enum TestPageControl : int {
  kCtlReaderPrompt = 1031,
  kCtlReaderList = 1035,
  kCtlPinExplanation = 1027,
  kCtlPinPrompt = 1026,
  kCtlPin = 1000,
  kCtlUnblockBox = 1025,
  kCtlPukPrompt = 1028,
  kCtlPuk = 1023,
  kCtlNewPinPrompt = 1021,
  kCtlNewPin = 1001,
  kCtlStatusLine = 1002,
  kCtlTestsGroup = 1017,
  kCtlAtrLabel = 1005,
  kCtlAtrIcon = 1010,
  kCtlDumpLabel = 1018,
  kCtlDumpIcon = 1019,
  kCtlPinStatusLabel = 1006,
  kCtlPinStatusIcon = 1011,
  kCtlLoginLabel = 1015,
  kCtlLoginIcon = 1016,
  kCtlPrivateKeysLabel = 1008,
  kCtlPrivateKeysIcon = 1012,
  kCtlPublicKeysLabel = 1007,
  kCtlPublicKeysIcon = 1013,
  kCtlCertificatesLabel = 1009,
  kCtlCertificatesIcon = 1014,
  kCtlDataObjectsLabel = 1048,
  kCtlDataObjectsIcon = 1047,
  kCtlPukStepLabel = 1041,
  kCtlPukStepIcon = 1042,
  kCtlLibraryGroup = 1046,
  kCtlLibraryLabel = 1039,
  kCtlLibraryIcon = 1043,
  kCtlLibraryPath = 1037,
  kCtlLibraryButton = 1036,
};

// State of the test page; reset in part at each activation.
struct TestPageState {
  SCARDCONTEXT context = 0;
  std::array<SCARDHANDLE, kReaderSlots> readerHandles{};
  SCARDHANDLE cardHandle = 0;
  int readerPosition = 0;  // 1-based; 0 while nothing is selected
  int readerCount = 0;
  std::vector<char> readerNames;  // multi-string of the last listing
  bool readersListed = false;
  bool pkcs11Initialized = false;
  CK_SESSION_HANDLE session = 0;
  bool unblockMode = false;
  bool pinBlocked = false;
  Fields fields;  // PIN, PUK, new PIN
  std::string libraryPath;  // PKCS#11 library path TEST 0 found (field 1037)
};

// Everything a test step may read or change. Owned by the Wizard, handed to
// each step by reference.
class RunState {
 public:
  RunState(WizardUi& ui, CK_FUNCTION_LIST_PTR p11) : ui(ui), p11(p11) {}
  RunState(const RunState&) = delete;
  RunState& operator=(const RunState&) = delete;

  WizardUi& ui;
  // The PKCS#11 module the steps call; null when none is available.
  CK_FUNCTION_LIST_PTR p11;

  TestPageState page;

  // Run-wide values.
  std::string lineBuffer;  // at most kLineBufferSize - 1 characters
  std::string resultText;  // at most kResultTextSize - 1 characters
  bool runCompleted = false;
  std::uint8_t cardFamily = 0;

  // Set by FinishRun; cleared when a run starts. Lets the run tell that a
  // step already closed it and switched to the error page.
  bool runFinished = false;

  // resultText := text / += text, cut to its capacity.
  void SetResultText(std::string_view text);
  void AppendResultText(std::string_view text);
  // lineBuffer := text, cut to its capacity.
  void SetLineBuffer(std::string_view text);

  // Status line 1002 := text `textId`, shown in the status font.
  void SetStatusLine(int textId);
  void SetStatusLineText(const std::string& text);

  // OK-only message box; texts are string ids.
  void Message(int textId, int captionId = kDefaultCaptionId,
               MessageKind kind = MessageKind::Error);

  // Copies the three edit fields between the controls and the page state.
  void ReadFields();
  void WriteFields();

  void GoToErrorPage();

  // Closes a run: log trailer, animation stopped, PKCS#11 session closed and
  // module finalised when a session is open.
  void FinishRun();
};

// `text` cut to at most `capacity - 1` bytes, never inside a UTF-8 sequence.
std::string_view CapText(std::string_view text, std::size_t capacity);

// Length of an edit field in characters.
std::size_t FieldLength(const SecretString& field);

}  // namespace zorbix::app
