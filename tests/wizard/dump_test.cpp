// The attribute dump of TEST 4 for every kind of attribute, and a search
// that cannot start, on a scripted module.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/htmllog.h"
#include "app/tests/testpkcs11.h"
#include "app/tests/teststeps.h"
#include "res/strings.h"
#include "tests/support/recording_ui.h"
#include "tests/support/temp_dir.h"

namespace zorbix::testing {
namespace {

std::string ReadLog(const std::filesystem::path& dir) {
  std::ifstream in(dir / app::kLogFileName, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// One template entry with its value (nothing returned when `returned` is
// false; `length` then is what the module reported).
struct Entry {
  CK_ATTRIBUTE_TYPE type;
  std::vector<std::uint8_t> value;
  bool returned = true;
  CK_ULONG length = 0;
};

std::vector<std::uint8_t> Ulong(CK_ULONG v) {
  std::vector<std::uint8_t> b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}

std::vector<std::uint8_t> Text(const std::string& s) { return {s.begin(), s.end()}; }

constexpr CK_ULONG kUnavailable = CK_UNAVAILABLE_INFORMATION;

TEST(AttributeDump, EveryKindOfAttribute) {
  TempDir dir(TempDir::kEnter);
  app::LogCreate(app::kLogFileName);
  std::vector<Entry> entries = {
      {CKA_CLASS, Ulong(CKO_PRIVATE_KEY)},
      {CKA_CLASS, Ulong(0x80000001)},
      {CKA_CLASS, {}, false, 0},
      {CKA_LABEL, Text(std::string("Firma\0", 6))},
      {CKA_LABEL, Text("Firma")},
      {CKA_LABEL, Text("<b>&")},
      {CKA_LABEL, {}, false, 0},
      {CKA_LABEL, {}, false, kUnavailable},
      {CKA_APPLICATION, Text("ZORBIX")},
      {CKA_APPLICATION, {}, false, 0},
      {CKA_CERTIFICATE_TYPE, Ulong(CKC_X_509)},
      {CKA_CERTIFICATE_TYPE, Ulong(CKC_X_509_ATTR_CERT)},
      {CKA_CERTIFICATE_TYPE, {}, false, 0},
      {CKA_KEY_TYPE, Ulong(CKK_DES3)},
      {CKA_KEY_TYPE, Ulong(0x42)},
      {CKA_KEY_TYPE, {}, false, 0},
      {CKA_MODULUS_BITS, Ulong(2048)},
      {CKA_VALUE_LEN, {}, false, 0},
      {CKA_SIGN, {1}},
      {CKA_TOKEN, {0}},
      {CKA_DERIVE, {}, true, 0},
      {CKA_PRIVATE, {}, false, 0},
      {CKA_ID, {'a', 'b', 'c'}},
      {CKA_MODULUS, {}, false, kUnavailable},
      {CKA_SUBJECT, {}, false, 0},
      {CKA_VENDOR_DEFINED + 0x10, {1}},
      {CKA_VENDOR_DEFINED + 0x10D, {}, false, kUnavailable},
  };
  std::vector<CK_ATTRIBUTE> attributes;
  for (Entry& e : entries) {
    CK_ATTRIBUTE a{e.type, nullptr, e.returned ? e.value.size() : e.length};
    // A buffer given, nothing in it: a pointer but no length.
    if (e.returned) a.pValue = e.value.empty() ? static_cast<void*>(&e) : e.value.data();
    attributes.push_back(a);
  }
  app::DumpAttributes(attributes.data(), attributes.size(), true);

  const std::string kNotReturned = "\tValor no devuelto (ulValueLen==-1) \n";
  const std::string expected =
      "<PRE>"
      "CKA_CLASS, CKO_PRIVATE_KEY\n"
      "(0x80000001) CKA_CLASS, CKO_VENDOR_DEFINED\n"
      "CKA_CLASS, NULL\n"
      "CKA_LABEL (6 bytes), Firma\n"
      "CKA_LABEL (5 bytes), Firma\n"
      "CKA_LABEL (4 bytes), &lt;b&gt;&amp;\n"
      "CKA_LABEL (0 bytes),  NULL\n"
      "CKA_LABEL (-1 bytes),  NULL\n" + kNotReturned +
      "CKA_APPLICATION, ZORBIX\n"
      "CKA_APPLICATION,  NULL\n"
      "CKA_CERTIFICATE_TYPE, CKC_X_509\n"
      "CKA_CERTIFICATE_TYPE, CKC_VENDOR_DEFINED\n"
      "CKA_CERTIFICATE_TYPE, (null)\n"
      "CKA_KEY_TYPE, CKK_DES3\n"
      "CKA_KEY_TYPE, CKK_VENDOR_DEFINED\n"
      "CKA_KEY_TYPE, NULL\n"
      "CKA_MODULUS_BITS, 2048 bits\n"
      "CKA_VALUE_LEN (NULL)\n"
      "CKA_SIGN: \n\tTRUE\n"
      "CKA_TOKEN: \n\tFALSE\n"
      "CKA_DERIVE: \n\tNULL Length!!\n"
      "CKA_PRIVATE: \n\tNULL\n"
      "CKA_ID (3 bytes)\n"
      "\t 000 - 61 62 63 " + std::string(39, ' ') + "\tabc\n"
      "CKA_MODULUS NULL (-1 bytes)\n" + kNotReturned +
      "CKA_SUBJECT NULL (0 bytes)\n"
      "CKA_VENDOR_DEFINED 80000010\n "
      "CKA_VENDOR_DEFINED 8000010D\n " + kNotReturned +
      "</PRE>";
  EXPECT_EQ(ReadLog(dir.path()), expected);
}

// A label longer than the block is cut, and the block still ends its line.
TEST(AttributeDump, ALongLabelIsCutToTheBlock) {
  TempDir dir(TempDir::kEnter);
  app::LogCreate(app::kLogFileName);
  std::vector<std::uint8_t> label(6000, 'x');
  CK_ATTRIBUTE a{CKA_LABEL, label.data(), label.size()};
  app::DumpAttributes(&a, 1, true);
  const std::string log = ReadLog(dir.path());
  const std::string prefix = "<PRE>CKA_LABEL (6000 bytes), ";
  ASSERT_EQ(log.rfind(prefix, 0), 0u);
  const std::string block = log.substr(5, log.size() - 5 - 6);
  EXPECT_LT(block.size(), 5000u);
  EXPECT_EQ(block.back(), '\n');
  EXPECT_EQ(log.substr(log.size() - 6), "</PRE>");
}

// ---------------------------------------------------------------- searches

// A module whose searches of one class cannot start.
struct ScriptedModule {
  static inline CK_OBJECT_CLASS failingClass = CKO_CERTIFICATE;
  static inline CK_RV failure = CKR_DEVICE_REMOVED;
  static CK_RV FindObjectsInit(CK_SESSION_HANDLE, CK_ATTRIBUTE_PTR t, CK_ULONG n) {
    for (CK_ULONG i = 0; i < n; ++i)
      if (t[i].type == CKA_CLASS && *static_cast<CK_OBJECT_CLASS*>(t[i].pValue) == failingClass)
        return failure;
    return CKR_OK;
  }
  static CK_RV FindObjects(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR, CK_ULONG, CK_ULONG_PTR n) {
    *n = 0;
    return CKR_OK;
  }
  static CK_RV FindObjectsFinal(CK_SESSION_HANDLE) { return CKR_OK; }
  ScriptedModule() {
    list.C_FindObjectsInit = FindObjectsInit;
    list.C_FindObjects = FindObjects;
    list.C_FindObjectsFinal = FindObjectsFinal;
  }
  CK_FUNCTION_LIST list{};
};

// Every class tells why its search could not start: the error page must
// not show the counts of the classes before as if all had passed.
TEST(Searches, ASearchThatCannotStartLeavesItsReasonInTheResultText) {
  struct Case {
    CK_OBJECT_CLASS objectClass;
    int (*search)(app::RunState&);
    CK_RV failure;
    int text;
  };
  const Case cases[] = {
      {CKO_PRIVATE_KEY, app::SearchPrivateKeys, CKR_SESSION_HANDLE_INVALID, 163},
      {CKO_PUBLIC_KEY, app::SearchPublicKeys, CKR_DEVICE_REMOVED, 164},
      {CKO_CERTIFICATE, app::SearchCertificates, CKR_DEVICE_REMOVED, 164},
      {CKO_DATA, app::SearchDataObjects, CKR_SESSION_HANDLE_INVALID, 163},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TempDir dir(TempDir::kEnter);
    app::LogCreate(app::kLogFileName);
    ScriptedModule module;
    ScriptedModule::failingClass = c.objectClass;
    ScriptedModule::failure = c.failure;
    RecordingUi ui;
    app::RunState s(ui, &module.list);
    s.page.session = 7;
    s.SetResultText("PIN correct!\n\nCKO_PRIVATE_KEY: \t\t2 objects.\n");
    EXPECT_EQ(c.search(s), app::kStepFailed);
    char code[32];
    std::snprintf(code, sizeof code, "\nError 0x%08lX", static_cast<unsigned long>(c.failure));
    EXPECT_EQ(s.resultText, res::Text(c.text) + code);
    const std::string log = ReadLog(dir.path());
    EXPECT_NE(log.find("\n<B><PRE>!ERROR!\n</B></PRE>\n<B><PRE>" + s.resultText +
                       "</B></PRE>\n<B><PRE>\n\n</B></PRE>"),
              std::string::npos)
        << log;
  }
}

// A search that finds nothing passes with its none-found line and count 0;
// closing the public-key search is the one failure that does not stop.
TEST(Searches, NoneFoundAndAFailedClose) {
  TempDir dir(TempDir::kEnter);
  app::LogCreate(app::kLogFileName);
  ScriptedModule module;
  ScriptedModule::failingClass = CKO_SECRET_KEY;
  RecordingUi ui;
  app::RunState s(ui, &module.list);
  s.page.session = 7;
  EXPECT_EQ(app::SearchDataObjects(s), 0);
  EXPECT_EQ(s.resultText, "CKO_DATA: \t\t\t0 objects.\n");
  EXPECT_NE(ReadLog(dir.path()).find("<H3>" + res::Text(293) + "</H3>\n"), std::string::npos);
  EXPECT_EQ(ui.text(app::kCtlStatusLine), res::Text(185));

  module.list.C_FindObjectsFinal = [](CK_SESSION_HANDLE) -> CK_RV { return CKR_DEVICE_ERROR; };
  EXPECT_EQ(app::SearchPublicKeys(s), 0);
  EXPECT_EQ(s.resultText, res::Text(170) + "\nError 0x00000030");
  EXPECT_EQ(ReadLog(dir.path()).find(res::Text(170)), std::string::npos) << "not logged";
  EXPECT_EQ(app::SearchCertificates(s), app::kStepFailed);
  EXPECT_EQ(s.resultText, res::Text(171) + "\nError 0x00000030");
  EXPECT_NE(ReadLog(dir.path()).find(res::Text(171)), std::string::npos);
}

}  // namespace
}  // namespace zorbix::testing
