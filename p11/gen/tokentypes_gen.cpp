// Build tool: turns the readable card-type table (p11/tokentypes.conf) into
// a DER TokenTypesConfig and writes it as a C++ byte array.
//
//   tokentypes_gen <table> <repository root> <output .cpp>
//
// Every element is DER-encoded by asn1c; only the SET OF frames are written
// here, so that the types and each mechanism list keep the table's order
// (a strict DER SET OF would sort them, and the module takes types and
// mechanisms in configuration order). The result is decoded again as a check.
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
#include "INTEGER.h"
#include "OCTET_STRING.h"
#include "UTF8String.h"
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

Bytes DerLength(std::size_t n) {
  if (n < 0x80) return {static_cast<unsigned char>(n)};
  Bytes len;
  for (; n; n >>= 8) len.insert(len.begin(), static_cast<unsigned char>(n));
  len.insert(len.begin(), static_cast<unsigned char>(0x80 | len.size()));
  return len;
}

Bytes Tlv(unsigned char tag, const Bytes& content) {
  Bytes out{tag};
  const Bytes len = DerLength(content.size());
  out.insert(out.end(), len.begin(), len.end());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes Der(asn_TYPE_descriptor_t& td, const void* value) {
  Bytes out(1 << 12);
  const asn_enc_rval_t rv =
      der_encode_to_buffer(&td, const_cast<void*>(value), out.data(), out.size());
  if (rv.encoded < 0) throw std::runtime_error(std::string("DER encoding failed: ") + td.name);
  out.resize(static_cast<std::size_t>(rv.encoded));
  return out;
}

void Append(Bytes& to, const Bytes& b) { to.insert(to.end(), b.begin(), b.end()); }

// An element of the asn1c type T, filled by `fill`, in DER.
template <typename T, typename F>
Bytes DerOf(asn_TYPE_descriptor_t& td, F fill) {
  T* v = Zeroed<T>();
  try {
    fill(*v);
    Bytes out = Der(td, v);
    ASN_STRUCT_FREE(td, v);
    return out;
  } catch (...) {
    ASN_STRUCT_FREE(td, v);
    throw;
  }
}

Bytes EncodeType(const Type& t, const std::string& root) {
  Bytes seq;
  Append(seq, DerOf<UTF8String_t>(asn_DEF_UTF8String, [&](UTF8String_t& s) {
           Fill(s, Bytes(t.name.begin(), t.name.end()));
         }));
  Bytes atrs;
  for (const auto& pattern : t.atrs)
    Append(atrs, DerOf<CardATR_t>(asn_DEF_CardATR, [&](CardATR_t& a) {
             Fill(a.atr, pattern.first);
             Fill(a.mask, pattern.second);
           }));
  Append(seq, Tlv(0x31, atrs));
  const auto integer = [](unsigned long v) {
    return DerOf<INTEGER_t>(asn_DEF_INTEGER, [&](INTEGER_t& i) { FillInteger(i, v); });
  };
  Append(seq, integer(static_cast<unsigned long>(t.communications)));
  Append(seq, integer(static_cast<unsigned long>(t.asn1Flags)));
  Bytes mechanisms;
  for (unsigned long m : t.mechanisms) Append(mechanisms, integer(m));
  Append(seq, Tlv(0x31, mechanisms));
  if (!t.params.empty())
    Append(seq, DerOf<OCTET_STRING_t>(asn_DEF_OCTET_STRING, [&](OCTET_STRING_t& o) {
             Fill(o, ReadFile(root + "/" + t.params));
           }));
  return Tlv(0x30, seq);
}

// Decodes the value again and checks that it holds the table, in its order.
void Check(const Bytes& der, const std::vector<Type>& types) {
  TokenTypesConfig_t* config = nullptr;
  const asn_dec_rval_t rv = ber_decode(nullptr, &asn_DEF_TokenTypesConfig,
                                       reinterpret_cast<void**>(&config), der.data(), der.size());
  const bool whole = rv.code == RC_OK && rv.consumed == der.size();
  bool same = whole && config && config->list.count == static_cast<int>(types.size());
  for (std::size_t i = 0; same && i < types.size(); ++i) {
    const CardTokenType_t* ct = config->list.array[i];
    same = std::string(reinterpret_cast<const char*>(ct->name.buf), ct->name.size) ==
               types[i].name &&
           ct->mechanism.list.count == static_cast<int>(types[i].mechanisms.size());
    for (std::size_t m = 0; same && m < types[i].mechanisms.size(); ++m) {
      unsigned long v = 0;
      same = asn_INTEGER2ulong(ct->mechanism.list.array[m], &v) == 0 &&
             v == types[i].mechanisms[m];
    }
  }
  ASN_STRUCT_FREE(asn_DEF_TokenTypesConfig, config);
  if (!same) throw std::runtime_error("the encoded value does not decode to the table");
}

Bytes Encode(const std::vector<Type>& types, const std::string& root) {
  Bytes set;
  for (const Type& t : types) Append(set, EncodeType(t, root));
  Bytes out = Tlv(0x31, set);
  Check(out, types);
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
