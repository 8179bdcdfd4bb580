// TEST 3 (serial number, module session, PIN retries, unblock) and TEST 4
// (login, the four object searches, the attribute dump).
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>

#include "app/wizardstate.h"

namespace zorbix::app {

// `format` (one %08lX or similar) filled with the return value.
std::string ErrorSuffix(const char* format, CK_RV rv);

// C_Initialize (once per activation), the slot of the chosen reader, the
// session and its token information. 1, or 0 with the error page current.
int OpenPkcs11Session(RunState& s);

// TEST 3: 187 PIN blocked, 1 counter read, 0 failure (after a failure to
// hand the card over it has finished the run itself).
int TestPinStatus(RunState& s);
// 1 unblocked, -1 refused or failed, 187 PUK blocked.
int UnblockPin(RunState& s);

// TEST 4.
void Test4Header(RunState& s);
CK_RV LoginStep(RunState& s);
int SearchPrivateKeys(RunState& s);
int SearchPublicKeys(RunState& s);
int SearchCertificates(RunState& s);
int SearchDataObjects(RunState& s);

// Writes "<PRE>", one block per attribute of the template, "</PRE>". With
// `withValues` false no value counts as returned.
void DumpAttributes(const CK_ATTRIBUTE* attributes, CK_ULONG count, bool withValues);

}  // namespace zorbix::app
