// The test steps the run calls, with the result codes the run routes on.
// Each step writes its own log section and updates its own controls through
// the RunState it is given; no exception leaves a step.
#pragma once

#include <p11-kit/pkcs11.h>
#include <PCSC/winscard.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

#include "app/wizardstate.h"

namespace zorbix::app {

// The five card model names; the index is the card type index.
inline constexpr std::array<std::string_view, 5> kCardModelNames = {
    "ORVA-ZEL_MODEL_A1", "ORVA-ZEL_MODEL_A2", "ORVA-ZEL_MODEL_B2",
    "ORVA-ZEL_MODEL_B", "ORVA-ZEL_MODEL_C"};

// The same names as one multi-string (each ended by NUL, then an empty name).
inline constexpr char kCardModelMultiString[] =
    "ORVA-ZEL_MODEL_A1\0ORVA-ZEL_MODEL_A2\0ORVA-ZEL_MODEL_B2\0"
    "ORVA-ZEL_MODEL_B\0ORVA-ZEL_MODEL_C\0";
inline constexpr std::string_view kCardModelNamesBlock{
    kCardModelMultiString, sizeof(kCardModelMultiString)};

// Result codes shared by several steps.
inline constexpr int kStepFailed = -1;
inline constexpr int kStepBlocked = 187;   // PIN or PUK blocked
inline constexpr int kLifePhaseUser = 3;   // TestSmartCard: card passed
inline constexpr int kLifePhaseFinal = 15; // TestSmartCard: stops the run

// Login results the run treats as a device failure.
inline bool IsLoginDeviceFailure(CK_RV rv) {
  return rv == CKR_DEVICE_ERROR || rv == CKR_DEVICE_MEMORY || rv == CKR_SESSION_HANDLE_INVALID;
}

class TestSteps {
 public:
  virtual ~TestSteps() = default;

  // TEST 0, at each activation of the test page; the flow ignores it.
  virtual void TestSystem(RunState& s) = 0;
  // First thing of the run; sets s.cardFamily. `cardNames` is a multi-string.
  virtual void WriteReaderReport(RunState& s, SCARDCONTEXT context,
                                 std::string_view cardNames) = 0;
  // TEST 1: the life-phase byte, kLifePhaseUser when the card passed.
  // `statusBytes` receives the two status bytes at the end of the ATR.
  virtual int TestSmartCard(RunState& s, std::uint8_t statusBytes[2]) = 0;
  // TEST 2: 0, or -1 when the dump could not start.
  virtual int TestPkcs15Dump(RunState& s) = 0;
  // TEST 3: 187 PIN blocked, 1 done, 0 failure. Opens s.page.session; may
  // call s.FinishRun() and switch to the error page itself.
  virtual int TestPinStatus(RunState& s) = 0;
  // 1 unblocked, -1 failed, 187 PUK blocked.
  virtual int UnblockPin(RunState& s) = 0;
  // TEST 4 section start and step 0 frame.
  virtual void Test4Header(RunState& s) = 0;
  // C_Login with the PIN (CKR_OK when no PIN was typed). The run stops on
  // IsLoginDeviceFailure(result) and goes on after anything else.
  virtual CK_RV LoginStep(RunState& s) = 0;
  // 1 objects found, 0 none found, -1 failure.
  virtual int SearchPrivateKeys(RunState& s) = 0;
  virtual int SearchPublicKeys(RunState& s) = 0;
  virtual int SearchCertificates(RunState& s) = 0;
  virtual int SearchDataObjects(RunState& s) = 0;
};

// The steps the executables use.
std::unique_ptr<TestSteps> MakeDefaultTestSteps();

}  // namespace zorbix::app
