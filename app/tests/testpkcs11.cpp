// TEST 4: login on the session TEST 3 opened, the four object searches with
// every object's attributes in the log, and the count lines of the result.
#include "app/tests/testpkcs11.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/htmllog.h"
#include "app/tests/defaultsteps.h"
#include "res/strings.h"

namespace zorbix::app {

namespace {

using res::Text;

// ---------------------------------------------------------------- attribute dump

constexpr std::size_t kBlockSize = 5000;  // composition buffer of one block

enum class Kind { Class, Label, Application, CertificateType, KeyType, Ulong, Bool, Bytes };

struct AttributeInfo {
  CK_ATTRIBUTE_TYPE type;
  const char* name;
  Kind kind;
};

const AttributeInfo kAttributeInfo[] = {
    {CKA_CLASS, "CKA_CLASS", Kind::Class},
    {CKA_LABEL, "CKA_LABEL", Kind::Label},
    {CKA_APPLICATION, "CKA_APPLICATION", Kind::Application},
    {CKA_CERTIFICATE_TYPE, "CKA_CERTIFICATE_TYPE", Kind::CertificateType},
    {CKA_KEY_TYPE, "CKA_KEY_TYPE", Kind::KeyType},
    {CKA_MODULUS_BITS, "CKA_MODULUS_BITS", Kind::Ulong},
    {CKA_VALUE_BITS, "CKA_VALUE_BITS", Kind::Ulong},
    {CKA_VALUE_LEN, "CKA_VALUE_LEN", Kind::Ulong},
    {CKA_TOKEN, "CKA_TOKEN", Kind::Bool},
    {CKA_PRIVATE, "CKA_PRIVATE", Kind::Bool},
    {CKA_SENSITIVE, "CKA_SENSITIVE", Kind::Bool},
    {CKA_ENCRYPT, "CKA_ENCRYPT", Kind::Bool},
    {CKA_DECRYPT, "CKA_DECRYPT", Kind::Bool},
    {CKA_WRAP, "CKA_WRAP", Kind::Bool},
    {CKA_UNWRAP, "CKA_UNWRAP", Kind::Bool},
    {CKA_SIGN, "CKA_SIGN", Kind::Bool},
    {CKA_SIGN_RECOVER, "CKA_SIGN_RECOVER", Kind::Bool},
    {CKA_VERIFY, "CKA_VERIFY", Kind::Bool},
    {CKA_VERIFY_RECOVER, "CKA_VERIFY_RECOVER", Kind::Bool},
    {CKA_DERIVE, "CKA_DERIVE", Kind::Bool},
    {CKA_EXTRACTABLE, "CKA_EXTRACTABLE", Kind::Bool},
    {CKA_LOCAL, "CKA_LOCAL", Kind::Bool},
    {CKA_NEVER_EXTRACTABLE, "CKA_NEVER_EXTRACTABLE", Kind::Bool},
    {CKA_ALWAYS_SENSITIVE, "CKA_ALWAYS_SENSITIVE", Kind::Bool},
    {CKA_MODIFIABLE, "CKA_MODIFIABLE", Kind::Bool},
    {CKA_VALUE, "CKA_VALUE", Kind::Bytes},
    {CKA_ISSUER, "CKA_ISSUER", Kind::Bytes},
    {CKA_SERIAL_NUMBER, "CKA_SERIAL_NUMBER", Kind::Bytes},
    {CKA_SUBJECT, "CKA_SUBJECT", Kind::Bytes},
    {CKA_ID, "CKA_ID", Kind::Bytes},
    {CKA_START_DATE, "CKA_START_DATE", Kind::Bytes},
    {CKA_END_DATE, "CKA_END_DATE", Kind::Bytes},
    {CKA_MODULUS, "CKA_MODULUS", Kind::Bytes},
    {CKA_PUBLIC_EXPONENT, "CKA_PUBLIC_EXPONENT", Kind::Bytes},
    {CKA_PRIVATE_EXPONENT, "CKA_PRIVATE_EXPONENT", Kind::Bytes},
    {CKA_PRIME_1, "CKA_PRIME_1", Kind::Bytes},
    {CKA_PRIME_2, "CKA_PRIME_2", Kind::Bytes},
    {CKA_EXPONENT_1, "CKA_EXPONENT_1", Kind::Bytes},
    {CKA_EXPONENT_2, "CKA_EXPONENT_2", Kind::Bytes},
    {CKA_COEFFICIENT, "CKA_COEFFICIENT", Kind::Bytes},
    {CKA_PRIME, "CKA_PRIME", Kind::Bytes},
    {CKA_SUBPRIME, "CKA_SUBPRIME", Kind::Bytes},
    {CKA_BASE, "CKA_BASE", Kind::Bytes},
    {CKA_ECDSA_PARAMS, "CKA_ECDSA_PARAMS", Kind::Bytes},
    {CKA_EC_POINT, "CKA_EC_POINT", Kind::Bytes},
};

const AttributeInfo* FindInfo(CK_ATTRIBUTE_TYPE type) {
  for (const AttributeInfo& info : kAttributeInfo)
    if (info.type == type) return &info;
  return nullptr;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// A returned number in the host's order (CK_ULONG values come so).
CK_ULONG NumberOf(const std::uint8_t* value, CK_ULONG length) {
  CK_ULONG n = 0;
  std::memcpy(&n, value, std::min<CK_ULONG>(length, sizeof n));
  return n;
}

const char* ClassName(CK_ULONG value) {
  static const char* const kNames[] = {"CKO_DATA", "CKO_CERTIFICATE", "CKO_PUBLIC_KEY",
                                       "CKO_PRIVATE_KEY", "CKO_SECRET_KEY"};
  return value < std::size(kNames) ? kNames[value] : nullptr;
}

const char* KeyTypeName(CK_ULONG value) {
  switch (value) {
    case CKK_RSA: return "CKK_RSA";
    case CKK_DSA: return "CKK_DSA";
    case CKK_DH: return "CKK_DH";
    case CKK_GENERIC_SECRET: return "CKK_GENERIC_SECRET";
    case CKK_RC2: return "CKK_RC2";
    case CKK_RC4: return "CKK_RC4";
    case CKK_DES: return "CKK_DES";
    case CKK_DES2: return "CKK_DES2";
    case CKK_DES3: return "CKK_DES3";
    default: return "CKK_VENDOR_DEFINED";
  }
}

// `prefix`, then the card's text (escaped: it comes from outside) ending in
// one line feed: a final NUL becomes it, otherwise it is added. A text too
// long for the block is cut.
std::string TextBlock(const std::string& prefix, const std::uint8_t* value, CK_ULONG length) {
  std::string_view text(reinterpret_cast<const char*>(value), length);
  if (!text.empty() && text.back() == '\0') text.remove_suffix(1);
  const std::size_t room = kBlockSize - 1 - prefix.size() - 1;
  if (text.size() > room) text = text.substr(0, room);
  return prefix + HtmlEscape(text) + "\n";
}

void DumpAttribute(const CK_ATTRIBUTE& a, bool withValues) {
  const auto* value = static_cast<const std::uint8_t*>(a.pValue);
  const bool returned = withValues && value != nullptr && a.ulValueLen != CK_UNAVAILABLE_INFORMATION;
  const int length = static_cast<int>(a.ulValueLen);
  const AttributeInfo* info = FindInfo(a.type);
  std::string block;
  if (info == nullptr) {
    block = Format("%s %08lX\n ", "CKA_VENDOR_DEFINED", static_cast<unsigned long>(a.type));
  } else {
    switch (info->kind) {
      case Kind::Class: {
        const CK_ULONG c = returned ? NumberOf(value, a.ulValueLen) : 0;
        const char* name = returned ? ClassName(c) : "NULL";
        if (name == nullptr) {
          block = Format("(0x%08lX) ", static_cast<unsigned long>(c));
          name = "CKO_VENDOR_DEFINED";
        }
        block += Format("CKA_CLASS, %s\n", name);
        break;
      }
      case Kind::Label: {
        const std::string prefix = Format("CKA_LABEL (%d bytes), ", length);
        block = returned ? TextBlock(prefix, value, a.ulValueLen) : prefix + " NULL\n";
        break;
      }
      case Kind::Application:
        block = returned ? TextBlock("CKA_APPLICATION, ", value, a.ulValueLen)
                         : "CKA_APPLICATION,  NULL\n";
        break;
      case Kind::CertificateType:
        block = Format("CKA_CERTIFICATE_TYPE, %s\n",
                       !returned                             ? "(null)"
                       : NumberOf(value, a.ulValueLen) == CKC_X_509 ? "CKC_X_509"
                                                             : "CKC_VENDOR_DEFINED");
        break;
      case Kind::KeyType:
        block = Format("CKA_KEY_TYPE, %s\n",
                       returned ? KeyTypeName(NumberOf(value, a.ulValueLen)) : "NULL");
        break;
      case Kind::Ulong:
        block = returned ? Format("%s, %lu bits\n", info->name,
                                  static_cast<unsigned long>(NumberOf(value, a.ulValueLen)))
                         : Format("%s (NULL)\n", info->name);
        break;
      case Kind::Bool:
        block = Format("%s: \n\t%s\n", info->name,
                       !returned           ? "NULL"
                       : a.ulValueLen == 0 ? "NULL Length!!"
                       : value[0] != 0     ? "TRUE"
                                           : "FALSE");
        break;
      case Kind::Bytes:
        block = returned ? Format("%s (%d bytes)\n", info->name, length)
                         : Format("%s NULL (%d bytes)\n", info->name, length);
        break;
    }
  }
  LogWrite(block, true);
  if (info != nullptr && info->kind == Kind::Bytes && returned)
    LogHexDump(value, a.ulValueLen, false);
  if (a.ulValueLen == CK_UNAVAILABLE_INFORMATION) LogWrite("\tValor no devuelto (ulValueLen==-1) \n", true);
}

// ---------------------------------------------------------------- searches

struct SearchRules {
  CK_OBJECT_CLASS objectClass;
  int startText;
  int label;
  bool newlineWrapped;
  int title;
  int heading;
  int noneFound;
  bool closingStatus;  // status line 185 once the search is closed
  int closeFailText;
  bool closeFailLogged;
  int closeFailResult;
  const char* countFormat;
  std::vector<CK_ATTRIBUTE_TYPE> attributes;
};

const SearchRules kPrivateKeys = {
    CKO_PRIVATE_KEY, 149, kCtlPrivateKeysLabel, false, 140, 177, 169, false, 168, true,
    kStepFailed, "\nCKO_PRIVATE_KEY: \t\t%d objects.\n",
    {CKA_LABEL, CKA_ID, CKA_MODULUS, CKA_SUBJECT, CKA_DECRYPT, CKA_SIGN, CKA_SIGN_RECOVER,
     CKA_UNWRAP}};

const SearchRules kPublicKeys = {
    CKO_PUBLIC_KEY, 150, kCtlPublicKeysLabel, true, 181, 186, 172, false, 170, false, 0,
    "CKO_PUBLIC_KEY:  \t\t%d objects.\n",
    {CKA_LABEL, CKA_ID, CKA_MODULUS_BITS, CKA_MODULUS, CKA_SUBJECT, CKA_ENCRYPT, CKA_VERIFY,
     CKA_VERIFY_RECOVER, CKA_WRAP}};

const SearchRules kCertificates = {
    CKO_CERTIFICATE, 151, kCtlCertificatesLabel, false, 244, 187, 173, true, 171, true,
    kStepFailed, "CKO_CERTIFICATE: \t\t%d objects.\n",
    {CKA_LABEL, CKA_ID, CKA_SERIAL_NUMBER, CKA_SUBJECT, CKA_ISSUER, CKA_VALUE}};

const SearchRules kDataObjects = {
    CKO_DATA, 151, kCtlDataObjectsLabel, false, 291, 292, 293, true, 171, true, kStepFailed,
    "CKO_DATA: \t\t\t%d objects.\n", {CKA_LABEL, CKA_APPLICATION, CKA_VALUE}};

// resultText := text `textId` and the return value; logged wrapped.
int SearchFailure(RunState& s, int textId, CK_RV rv) {
  s.SetResultText(Text(textId) + ErrorSuffix("\nError 0x%08lX", rv));
  LogWrite(s.resultText, false);
  return kStepFailed;
}

int Search(RunState& s, const SearchRules& rules) {
  CK_FUNCTION_LIST_PTR p11 = s.p11;
  const CK_SESSION_HANDLE session = s.page.session;

  s.lineBuffer.clear();
  s.SetStatusLine(rules.startText);
  s.ui.SetEnabled(rules.label, true);
  s.ReadFields();
  s.ui.SetButtons(kButtonsNone);

  LogWrite("\n", !rules.newlineWrapped);
  LogWrite(kLogStepFrameOpen, true);
  LogWrite(kLogStepTitleOpen, true);
  LogWrite(Text(rules.title), true);
  LogWrite(kLogStepTitleClose, true);

  CK_BBOOL token = CK_TRUE;
  CK_OBJECT_CLASS objectClass = rules.objectClass;
  CK_ATTRIBUTE search[] = {{CKA_TOKEN, &token, sizeof token},
                           {CKA_CLASS, &objectClass, sizeof objectClass}};
  CK_RV rv = p11 ? p11->C_FindObjectsInit(session, search, 2) : CKR_CRYPTOKI_NOT_INITIALIZED;
  if (rv != CKR_OK) {
    // Every class reports it: the error page must not show the counts of
    // the classes before as if the run had passed.
    s.SetResultText(Text(rv == CKR_SESSION_HANDLE_INVALID ? 163 : 164) +
                    ErrorSuffix("\nError 0x%08lX", rv));
    LogWrite(kLogErrorMark, false);
    LogWrite(s.resultText, false);
    LogWrite("\n\n", false);
    return kStepFailed;
  }

  int count = 0;
  for (;;) {
    s.WriteFields();
    CK_OBJECT_HANDLE object = 0;
    CK_ULONG found = 0;
    rv = p11->C_FindObjects(session, &object, 1, &found);
    if (rv != CKR_OK) return SearchFailure(s, 165, rv);
    if (found == 0) break;

    std::vector<CK_ATTRIBUTE> attributes;
    for (CK_ATTRIBUTE_TYPE type : rules.attributes) attributes.push_back({type, nullptr, 0});
    rv = p11->C_GetAttributeValue(session, object, attributes.data(), attributes.size());
    if (rv != CKR_OK && rv != CKR_ATTRIBUTE_TYPE_INVALID) return SearchFailure(s, 166, rv);

    std::vector<std::vector<std::uint8_t>> values(attributes.size());
    bool allocated = false;
    for (std::size_t i = 0; i < attributes.size(); ++i) {
      const CK_ULONG n = attributes[i].ulValueLen;
      if (n == 0 || n == CK_UNAVAILABLE_INFORMATION) continue;
      values[i].resize(n);
      attributes[i].pValue = values[i].data();
      allocated = true;
    }
    if (allocated) {
      s.SetStatusLine(141);
      rv = p11->C_GetAttributeValue(session, object, attributes.data(), attributes.size());
      if (rv != CKR_OK && rv != CKR_ATTRIBUTE_TYPE_INVALID) return SearchFailure(s, 167, rv);
    }

    ++count;
    s.SetLineBuffer(Text(rules.heading) + std::to_string(count) + "...");
    LogWrite(kLogItemFrameOpen, true);
    LogWrite(s.lineBuffer, true);
    LogWrite(kLogItemFrameClose, true);
    DumpAttributes(attributes.data(), attributes.size(), true);
  }
  if (count == 0) LogPrintf(kLogEmptySearchFormat, Text(rules.noneFound).c_str());

  rv = p11->C_FindObjectsFinal(session);
  s.WriteFields();
  if (rules.closingStatus) s.SetStatusLine(185);
  if (rv != CKR_OK) {
    s.SetResultText(Text(rules.closeFailText) + ErrorSuffix("\nError 0x%08lX", rv));
    if (rules.closeFailLogged) LogWrite(s.resultText, false);
    return rules.closeFailResult;
  }
  s.AppendResultText(Format(rules.countFormat, count));
  return count > 0 ? 1 : 0;
}

}  // namespace

void DumpAttributes(const CK_ATTRIBUTE* attributes, CK_ULONG count, bool withValues) {
  LogPrintf("<PRE>");
  for (CK_ULONG i = 0; i < count; ++i) DumpAttribute(attributes[i], withValues);
  LogPrintf("</PRE>");
}

void Test4Header(RunState&) {
  LogSectionStart(kLogHeadingTest4, Text(147));
  LogWrite(kLogStepFrameOpenBr, true);
  LogWrite(kLogStepTitleOpen, true);
  LogWrite(Text(148), true);
  LogWrite(kLogStepTitleClose, true);
}

CK_RV LoginStep(RunState& s) {
  TestPageState& p = s.page;
  // Just unblocked: the new PIN is the card's PIN now.
  const bool unblocked = p.pinBlocked && s.ui.IsChecked(kCtlUnblockBox);
  const SecretString& typed = unblocked ? p.fields.newPin : p.fields.pin;
  if (typed.empty()) {
    LogWrite(Text(246), false);
    return CKR_OK;
  }
  s.SetStatusLine(152);
  s.ui.SetEnabled(kCtlLoginLabel, true);
  SecureBytes pin(typed.data(), typed.data() + typed.size());
  const CK_RV rv =
      s.p11 ? s.p11->C_Login(p.session, CKU_USER, pin.data(), pin.size()) : CKR_GENERAL_ERROR;
  if (IsLoginDeviceFailure(rv)) {
    s.ui.SetIcon(kCtlLoginIcon, kIconWarning);
    LogWrite(Text(157), false);
    s.SetResultText(Text(158) + ErrorSuffix("\nError 0x%08lX", rv));
    LogWrite(s.resultText, false);
    return rv;
  }
  if (rv != CKR_OK) {
    s.ui.SetIcon(kCtlLoginIcon, kIconFail);
    s.SetResultText(Text(159) + ErrorSuffix("\tError 0x%08lX.", rv));
    LogWrite(s.resultText, false);
    p.fields.pin.clear();
    s.WriteFields();
    return rv;
  }
  s.ui.SetIcon(kCtlLoginIcon, kIconPass);
  LogWrite(Text(153), false);
  s.SetResultText(Text(153));
  return CKR_OK;
}

int SearchPrivateKeys(RunState& s) { return Search(s, kPrivateKeys); }
int SearchPublicKeys(RunState& s) { return Search(s, kPublicKeys); }
int SearchCertificates(RunState& s) { return Search(s, kCertificates); }
int SearchDataObjects(RunState& s) { return Search(s, kDataObjects); }

void DefaultTestSteps::Test4Header(RunState& s) { app::Test4Header(s); }
CK_RV DefaultTestSteps::LoginStep(RunState& s) { return app::LoginStep(s); }
int DefaultTestSteps::SearchPrivateKeys(RunState& s) { return app::SearchPrivateKeys(s); }
int DefaultTestSteps::SearchPublicKeys(RunState& s) { return app::SearchPublicKeys(s); }
int DefaultTestSteps::SearchCertificates(RunState& s) { return app::SearchCertificates(s); }
int DefaultTestSteps::SearchDataObjects(RunState& s) { return app::SearchDataObjects(s); }

}  // namespace zorbix::app
