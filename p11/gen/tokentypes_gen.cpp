// Build tool: turns the readable card-type table (p11/tokentypes.conf) into
// a DER TokenTypesConfig and writes it as a C++ byte array.
//
//   tokentypes_gen <table> <repository root> <output .cpp>
//
// The value is built with the asn1c types and encoded by asn1c's DER encoder,
// so it is DER by construction.
#include <p11-kit/pkcs11.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "CardATR.h"
#include "asn_SET_OF.h"
#include "CardTokenType.h"
#include "TokenTypesConfig.h"

namespace {

using Bytes = std::vector<unsigned char>;

const std::map<std::string, unsigned long> kMechanismNames = {
    {"CKM_RSA_PKCS_KEY_PAIR_GEN", CKM_RSA_PKCS_KEY_PAIR_GEN},
    {"CKM_RSA_PKCS", CKM_RSA_PKCS},
    {"CKM_SHA1_RSA_PKCS", CKM_SHA1_RSA_PKCS},
};

struct Type {
  std::string name;
  std::vector<std::pair<Bytes, Bytes>> atrs;
  long communications = -1;
  long asn1Flags = -1;
  std::vector<unsigned long> mechanisms;
  std::string params;
  int line = 0;
};

[[noreturn]] void Fail(int line, const std::string& what) {
  throw std::runtime_error("line " + std::to_string(line) + ": " + what);
}

Bytes Hex(std::istringstream& in, int line) {
  Bytes out;
  std::string tok;
  while (in >> tok) {
    if (tok.size() != 2 || !std::isxdigit(static_cast<unsigned char>(tok[0])) ||
        !std::isxdigit(static_cast<unsigned char>(tok[1])))
      Fail(line, "not a hexadecimal byte: " + tok);
    out.push_back(static_cast<unsigned char>(std::stoul(tok, nullptr, 16)));
  }
  if (out.empty()) Fail(line, "no bytes");
  return out;
}

long Number(std::istringstream& in, int line) {
  std::string tok;
  if (!(in >> tok)) Fail(line, "number expected");
  char* end = nullptr;
  const long v = std::strtol(tok.c_str(), &end, 0);
  if (*end != '\0' || v < 0 || v > 255) Fail(line, "not a byte value: " + tok);
  return v;
}

std::vector<Type> Parse(std::istream& in) {
  std::vector<Type> types;
  std::string raw;
  int line = 0;
  bool maskDue = false;
  while (std::getline(in, raw)) {
    ++line;
    raw = raw.substr(0, raw.find('#'));
    std::istringstream words(raw);
    std::string key;
    if (!(words >> key)) continue;
    if (key == "type") {
      if (maskDue) Fail(line, "atr without mask");
      Type t;
      t.line = line;
      if (!(words >> t.name)) Fail(line, "type without a name");
      types.push_back(std::move(t));
      continue;
    }
    if (types.empty()) Fail(line, "\"" + key + "\" before the first type");
    Type& t = types.back();
    if (maskDue != (key == "mask")) Fail(line, maskDue ? "mask expected" : "mask without atr");
    if (key == "atr") {
      t.atrs.push_back({Hex(words, line), {}});
      maskDue = true;
    } else if (key == "mask") {
      t.atrs.back().second = Hex(words, line);
      if (t.atrs.back().second.size() != t.atrs.back().first.size())
        Fail(line, "mask and atr differ in length");
      maskDue = false;
    } else if (key == "communications") {
      t.communications = Number(words, line);
    } else if (key == "asn1flags") {
      t.asn1Flags = Number(words, line);
    } else if (key == "mechanisms") {
      std::string m;
      while (words >> m) {
        auto it = kMechanismNames.find(m);
        if (it != kMechanismNames.end()) {
          t.mechanisms.push_back(it->second);
        } else {
          char* end = nullptr;
          const unsigned long v = std::strtoul(m.c_str(), &end, 0);
          if (*end != '\0' || v > 0xFFFFFFFFul) Fail(line, "unknown mechanism " + m);
          t.mechanisms.push_back(v);
        }
      }
    } else if (key == "params") {
      if (!(words >> t.params)) Fail(line, "params without a file");
    } else {
      Fail(line, "unknown key " + key);
    }
  }
  if (maskDue) Fail(line, "atr without mask");
  for (const Type& t : types) {
    if (t.atrs.empty()) Fail(t.line, t.name + ": no atr");
    if (t.communications < 0 || t.asn1Flags < 0)
      Fail(t.line, t.name + ": communications and asn1flags are needed");
  }
  return types;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

template <typename T>
T* Zeroed() {
  T* p = static_cast<T*>(std::calloc(1, sizeof(T)));
  if (!p) throw std::bad_alloc();
  return p;
}

void Fill(OCTET_STRING_t& s, const Bytes& b) {
  if (OCTET_STRING_fromBuf(&s, reinterpret_cast<const char*>(b.data()), static_cast<int>(b.size())) != 0)
    throw std::bad_alloc();
}

void FillInteger(INTEGER_t& i, unsigned long v) {
  if (asn_ulong2INTEGER(&i, v) != 0) throw std::bad_alloc();
}

Bytes Encode(const std::vector<Type>& types, const std::string& root) {
  TokenTypesConfig_t* config = Zeroed<TokenTypesConfig_t>();
  for (const Type& t : types) {
    CardTokenType_t* ct = Zeroed<CardTokenType_t>();
    ASN_SET_ADD(&config->list, ct);
    Fill(ct->name, Bytes(t.name.begin(), t.name.end()));
    for (const auto& [atr, mask] : t.atrs) {
      CardATR_t* a = Zeroed<CardATR_t>();
      ASN_SET_ADD(&ct->atrs.list, a);
      Fill(a->atr, atr);
      Fill(a->mask, mask);
    }
    FillInteger(ct->communicationsType, static_cast<unsigned long>(t.communications));
    FillInteger(ct->asn1Flags, static_cast<unsigned long>(t.asn1Flags));
    for (unsigned long m : t.mechanisms) {
      INTEGER_t* i = Zeroed<INTEGER_t>();
      ASN_SET_ADD(&ct->mechanism.list, i);
      FillInteger(*i, m);
    }
    if (!t.params.empty()) {
      ct->params = Zeroed<OCTET_STRING_t>();
      Fill(*ct->params, ReadFile(root + "/" + t.params));
    }
  }
  Bytes out(1 << 16);
  const asn_enc_rval_t rv = der_encode_to_buffer(&asn_DEF_TokenTypesConfig, config, out.data(), out.size());
  ASN_STRUCT_FREE(asn_DEF_TokenTypesConfig, config);
  if (rv.encoded < 0) throw std::runtime_error("DER encoding failed");
  out.resize(static_cast<std::size_t>(rv.encoded));
  return out;
}

void WriteSource(const std::string& path, const Bytes& der) {
  std::ostringstream s;
  s << "// Generated by tokentypes_gen from p11/tokentypes.conf; do not edit.\n"
       "#include <cstddef>\n\nnamespace zorbix::p11 {\n\n"
       "extern const unsigned char kBuiltInTokenTypes[];\n"
       "extern const std::size_t kBuiltInTokenTypesSize;\n\n"
       "const unsigned char kBuiltInTokenTypes[] = {";
  for (std::size_t i = 0; i < der.size(); ++i) {
    if (i % 16 == 0) s << "\n   ";
    char b[8];
    std::snprintf(b, sizeof b, " 0x%02X,", der[i]);
    s << b;
  }
  s << "\n};\nconst std::size_t kBuiltInTokenTypesSize = " << der.size() << ";\n\n}  // namespace zorbix::p11\n";
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << s.str();
  if (!f) throw std::runtime_error("cannot write " + path);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: tokentypes_gen <table> <repository root> <output .cpp>\n";
    return 2;
  }
  try {
    std::ifstream table(argv[1]);
    if (!table) throw std::runtime_error(std::string("cannot read ") + argv[1]);
    WriteSource(argv[3], Encode(Parse(table), argv[2]));
  } catch (const std::exception& e) {
    std::cerr << argv[1] << ": " << e.what() << "\n";
    return 1;
  }
  return 0;
}
