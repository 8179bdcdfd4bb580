// Builders for the PKCS#15 content of the virtual cards: directory entries in
// the standard and the card-family (HALVO) forms, TokenInfo in its UTF-8 and
// T.61 forms, unused-space records, ODF entries, the compressed card-file
// image, and RSA keys from the embedded test PKI.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/profile.h"

namespace zorbix::sim::p15 {

enum class Form { Standard, Halvo };      // entry types and label alternative
enum class PathForm { Binary, Text };     // "\XXXX" text or raw file ids

// The path string as stored: binary bytes, or "\" + 4 upper-case hex digits
// per file id.
Bytes StoredPath(const Bytes& binaryPath, PathForm form);
// Path ::= SEQUENCE { path, index, [0] length }.
Bytes PathElement(const Bytes& binaryPath, PathForm form, std::uint8_t index,
                  std::uint16_t length);
Bytes Label(const std::string& text, Form form);

struct ObjectAttrs {
  std::string label;
  bool isPrivate = false;
  bool modifiable = false;
  Bytes authId;  // empty: absent
};

struct KeyEntry {
  ObjectAttrs common;
  Bytes id;
  std::vector<int> usage;   // KeyUsageFlags bit numbers
  std::vector<int> access;  // KeyAccessFlags bit numbers
  std::uint8_t keyReference = 0;
  Bytes subject;            // DER Name (subClassAttributes), empty: absent
  std::optional<std::string> startDate;  // GeneralizedTime characters
  std::optional<std::string> endDate;
  Bytes path;               // binary
  std::uint16_t length = 0;
  std::uint16_t modulusBits = 0;
};

struct CertEntry {
  ObjectAttrs common;
  Bytes id;
  Bytes path;
  std::uint16_t length = 0;
  Bytes subject;  // DER Name
  Bytes issuer;   // DER Name
  Bytes serial;   // INTEGER contents
};

struct DataEntry {
  ObjectAttrs common;
  std::string applicationName;
  Bytes oid;  // encoded sub-identifiers, empty: absent
  Bytes path;
  std::uint16_t length = 0;
};

Bytes PrivateKeyEntry(const KeyEntry& e, Form form, PathForm paths);
Bytes PublicKeyEntry(const KeyEntry& e, Form form, PathForm paths);
Bytes CertificateEntry(const CertEntry& e, Form form, PathForm paths);
Bytes DataObjectEntry(const DataEntry& e, Form form, PathForm paths);

// TokenInfo (UTF-8, label [0] IMPLICIT) or TokenInfoT61 (T61String members).
Bytes TokenInfo(std::uint8_t version, const Bytes& serial, const std::string& manufacturer,
                const std::string& label, std::initializer_list<int> flagBits, bool t61);

// PKCS15UnusedSpace without authID.
Bytes UnusedSpace(const Bytes& binaryPath, PathForm form, std::uint16_t length);

// ODF entry: tag { Path { 04 02 FH FL } }, the short form the ODF walk reads.
Bytes OdfEntry(std::uint8_t tag, std::uint16_t fid);

// AODF entry for the card holder PIN.
Bytes PinEntry(const std::string& label, std::uint8_t reference, std::uint8_t minLength,
               std::uint8_t maxLength);

// Compressed card file: U (LE32), C (LE32), zlib stream at level 6.
Bytes CompressForCard(const Bytes& value);
// Inverse of both stored forms (zlib and raw); empty when malformed.
Bytes DecompressCardFile(const Bytes& image);

// Parts of an X.509 certificate used by the directory entries.
struct CertificateParts {
  Bytes subject, issuer, serial, tbs, signature;
  Bytes signatureOid;
  Bytes modulus, exponent;  // of the subject public key
};
std::optional<CertificateParts> ParseCertificate(const Bytes& der);

// Key of the embedded test PKI (PKCS#1 DER), with reference and key file.
KeySpec LoadKey(const std::string& pkiName, std::uint8_t reference, std::uint16_t fileId);

}  // namespace zorbix::sim::p15
