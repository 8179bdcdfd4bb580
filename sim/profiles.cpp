// The virtual cards: one profile per card type of the module and per row of
// the wizard's known-ATR table, each with its PKCS#15 file system, keys and
// certificates from the embedded test PKI. Needs Crypto++ (SHA-1, zlib).
#include <cryptopp/sha.h>

#include <cstdio>

#include "sim/card.h"
#include "sim/content_der.h"
#include "sim/content_pki.h"
#include "sim/content_pkcs15.h"
#include "sim/profile.h"

namespace zorbix::sim {

namespace {

using p15::Form;
using p15::PathForm;

const Bytes kMasterFile = {'M', 'a', 's', 't', 'e', 'r', '.', 'F', 'i', 'l', 'e'};
const Bytes kIccCrypto = {'I', 'C', 'C', '.', 'C', 'r', 'y', 'p', 't', 'o'};
const Bytes kPkcs15Aid = {0xA0, 0x00, 0x00, 0x00, 0x63, 0x50, 0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35};
// 1.3.6.1.4.1.99999.1, the test application's data objects.
const Bytes kDataOid = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x86, 0x8D, 0x1F, 0x01};

constexpr std::uint16_t kKeyFileSize = 0x0400;
constexpr std::uint16_t kHalvoKeyFileSize = 0x0280;
constexpr int kPlainKeyFiles = 32;

// What distinguishes the cards; everything else is laid out alike.
struct Kind {
  const char* name;
  const char* description;
  const char* atr;
  const char* pin;
  const char* puk;
  Form form;
  PathForm paths;
  bool t61TokenInfo;
  bool halvo10;       // fixed key files 3F73/3F77/3F74/3F78, references from 32
  bool oldCardData;   // 18-byte card data (serial at bytes 10-15), else 17 bytes
  bool channel;       // PIN commands only inside the secure channel
  bool cipherKey;     // a third, 2048-bit decipherment key
  bool freeFile;      // a freed value file listed in the unused space
  std::uint8_t macLength;
  const char* manufacturer;
  const char* label;
};

const Kind kKinds[] = {
    {"Vexa", "national ID card, secure channel, standard entries, binary paths",
     "3B 7F 38 00 00 00 6A 56 65 78 61 01 03 01 01 01 10 03 90 00", "12345678",
     "8765432187654321", Form::Standard, PathForm::Binary, false, false, false, true, false,
     false, 4, "VEXA", "VEXA ID"},
    {"HALVO1_0", "card family 1.0, fixed key files, card-family entries, text paths",
     "3B EF 00 00 40 14 80 25 48 41 4C 56 4F 57 05 60 01 02 03 90 00", "1234",
     "1234567890123456", Form::Halvo, PathForm::Text, true, true, true, false, false, false, 0,
     "ORVA-ZEL", "HALVO 1.0"},
    {"HALVO", "card family card, card-family entries, text paths, T.61 TokenInfo",
     "3B 7F 18 00 00 00 6A 48 41 4C 56 4F 02 2C 34 02 00 03 90 00", "1234",
     "1234567890123456", Form::Halvo, PathForm::Text, true, false, false, false, true, true, 0,
     "ORVA-ZEL", "HALVO"},
    {"TC-ORVA3", "ORVA card, standard entries, text paths",
     "3B 7F 18 00 00 00 6A 4F 52 56 41 03 02 AC 14 03 80 03 90 00", "123456",
     "6543210987654321", Form::Standard, PathForm::Text, false, false, false, false, true, false,
     0, "ORVA-ZEL", "TC-ORVA3"},
    {"TC-ORVA4", "ORVA card, secure channel (8-byte MAC), standard entries, binary paths",
     "3B 7F 18 00 00 00 6A 4F 52 56 41 03 02 AC 14 04 04 03 90 00", "123456",
     "6543210987654321", Form::Standard, PathForm::Binary, false, false, false, true, true, false,
     8, "ORVA-ZEL", "TC-ORVA4"},
    {"ORVA-ZEL_01", "known ATR 1 (card family 1.0), card-family entries, text paths",
     "3B EF 00 00 40 14 80 25 48 41 4C 56 4F 57 01 16 01 01 03 90 00", "1111",
     "1111222233334444", Form::Halvo, PathForm::Text, true, true, true, false, false, false, 0,
     "ORVA-ZEL", "ORVA-ZEL 01"},
    {"ORVA-ZEL_02", "known ATR 2 (card family 1.0), card-family entries, binary paths",
     "3B EF 00 00 40 14 80 25 48 41 4C 56 4F 57 05 60 01 02 03 90 00", "2222",
     "2222333344445555", Form::Halvo, PathForm::Binary, true, true, true, false, false, false, 0,
     "ORVA-ZEL", "ORVA-ZEL 02"},
    {"ORVA-ZEL_03", "known ATR 3 (HALVO), card-family entries, text paths, a freed file",
     "3B 7F 11 00 00 00 6A 48 41 4C 56 4F 02 2C 34 02 00 03 90 00", "3333",
     "3333444455556666", Form::Halvo, PathForm::Text, true, false, false, false, false, true, 0,
     "ORVA-ZEL", "ORVA-ZEL 03"},
    {"ORVA-ZEL_04", "known ATR 4 (HALVO), standard entries, text paths",
     "3B 7F 38 00 00 00 6A 48 41 4C 56 4F 02 2C 34 03 00 03 90 00", "44444444",
     "4444555566667777", Form::Standard, PathForm::Text, false, false, false, false, true, false,
     0, "ORVA-ZEL", "ORVA-ZEL 04"},
    {"ORVA-ZEL_05", "known ATR 5 (HALVO), card-family entries, binary paths",
     "3B 7F 38 00 00 00 6A 48 41 4C 56 4F 02 2C 34 03 10 03 90 00", "555555",
     "5555666677778888", Form::Halvo, PathForm::Binary, true, false, false, false, true, false, 0,
     "ORVA-ZEL", "ORVA-ZEL 05"},
    {"ORVA-ZEL_06", "known ATR 6 (TC-ORVA4), secure channel, standard entries, binary paths",
     "3B 7F 38 00 00 00 6A 4F 52 56 41 03 02 AC 14 04 10 03 90 00", "666666",
     "6666777788889999", Form::Standard, PathForm::Binary, false, false, false, true, false, true,
     8, "ORVA-ZEL", "ORVA-ZEL 06"},
};

Bytes Fid(std::uint16_t a, std::uint16_t b) {
  return {static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a),
          static_cast<std::uint8_t>(b >> 8), static_cast<std::uint8_t>(b)};
}

Bytes Sha1(const Bytes& data) {
  Bytes d(CryptoPP::SHA1::DIGESTSIZE);
  CryptoPP::SHA1().CalculateDigest(d.data(), data.data(), data.size());
  return d;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

FileSpec Df(std::vector<std::uint16_t> path, Bytes name = {}) {
  FileSpec f;
  f.path = std::move(path);
  f.isDf = true;
  f.dfName = std::move(name);
  return f;
}

FileSpec Ef(std::vector<std::uint16_t> path, Bytes content, std::size_t size, Access read,
            Access update, std::uint8_t sfi = 0) {
  FileSpec f;
  f.path = std::move(path);
  f.content = std::move(content);
  f.size = size;
  f.read = read;
  f.update = update;
  f.sfi = sfi;
  return f;
}

// One key pair of the holder with its certificate.
struct Holder {
  const char* pki;
  const char* role;  // label suffix
  std::vector<int> privUsage, pubUsage;
};

const Holder kAuth{"user-auth-1024", "Autenticacion", {1, 2}, {0, 6}};
const Holder kSign{"user-sign-2048", "FirmaDigital", {2, 9}, {6, 9}};
const Holder kCipher{"user-cipher-2048", "Cifrado", {1, 5}, {0, 4}};
const Holder kSign1024{"user-sign-1024", "FirmaDigital", {2, 9}, {6, 9}};
// Card family 1.0 keys have one usage each: sign, or decipher.
const Holder kDecipher1024{"user-auth-1024", "Cifrado", {1, 5}, {0, 4}};

class Builder {
 public:
  explicit Builder(const Kind& k) : k_(k) {}

  Profile Build(std::size_t index) {
    Profile p;
    p.name = k_.name;
    p.description = k_.description;
    p.atr = FromHex(k_.atr);
    p.pin = k_.pin;
    p.puk = k_.puk;
    p.secureChannel = k_.channel;

    // Serial number: 7 bytes on newer cards (also the channel's SN.ICC), of
    // which the older cards report the last 6.
    Bytes serial = {0x51, 0x43, 0x00, 0x01, 0x26, 0x10, static_cast<std::uint8_t>(0x01 + index)};
    Bytes tokenSerial;
    if (k_.oldCardData) {
      // Life phase at byte 3, then the version bytes.
      p.cardData = {0x5A, 0x01, 0x02, 0x03, 0x10, 0x00, 0x00, 0x01, 0x00, 0x00};
      p.cardData.insert(p.cardData.end(), serial.begin() + 1, serial.end());
      p.cardData.insert(p.cardData.end(), {0x90, 0x00});
      p.cardDataPhase = 3;
      tokenSerial = {0x00, 0x00};
      tokenSerial.insert(tokenSerial.end(), serial.begin() + 1, serial.end());
    } else {
      p.cardData = serial;
      // Chip and version as in the ATR, then the life phase (byte 12).
      p.cardData.insert(p.cardData.end(), {0x02, 0x2C, 0x34, 0x01, 0x00, 0x03, 0x10, 0x00, 0x00, 0x01});
      p.cardDataPhase = 12;
      tokenSerial = {0x00};
      tokenSerial.insert(tokenSerial.end(), serial.begin(), serial.end());
    }
    // Events: records of (code, date YY MM DD), FF-filled at the end.
    p.events = {0x01, 0x26, 0x01, 0x15, 0x02, 0x26, 0x03, 0x02, 0x10, 0x26, 0x06, 0x30,
                0xFF, 0xFF, 0xFF, 0xFF};

    files_.push_back(Df({}, kMasterFile));
    // PIN object file: the PIN commands select it.
    files_.push_back(Ef({0x0000}, {}, 0x10, Access::Never, Access::Never));
    files_.push_back(Df({0x5015}, kPkcs15Aid));
    files_.push_back(Df({0x6061}));
    files_.push_back(Df({0x6081}));
    files_.push_back(Df({0x3F11}, kIccCrypto));
    for (std::uint16_t f = 0x7004; f <= 0x7008; ++f)
      files_.push_back(Ef({0x6061, f}, {}, 0x40, Access::Always, Access::Pin));

    Keys(p);
    ValueFiles();

    Bytes odf = der::Cat({p15::OdfEntry(0xA0, 0x6001), p15::OdfEntry(0xA1, 0x6002),
                          p15::OdfEntry(0xA4, 0x6004), p15::OdfEntry(0xA7, 0x6005),
                          p15::OdfEntry(0xA8, 0x6000)});
    files_.push_back(Ef({0x5015, 0x5031}, odf, 64, Access::Always, Access::Never, 0x11));
    files_.push_back(Ef({0x5015, 0x5032},
                        p15::TokenInfo(1, tokenSerial, k_.manufacturer, k_.label, {1, 2},
                                       k_.t61TokenInfo),
                        128, Access::Always, Access::Never, 0x12));
    files_.push_back(Ef({0x5015, 0x5033}, efus_, 512, Access::Always, Access::Pin, 0x13));
    files_.push_back(Ef({0x5015, 0x6000}, p15::PinEntry("PIN", 0x00, 4, 16), 256, Access::Always,
                        Access::Never));
    files_.push_back(Ef({0x5015, 0x6001}, prkdf_, 2048, Access::Always, Access::Pin, 0x01));
    files_.push_back(Ef({0x5015, 0x6002}, pukdf_, 2048, Access::Always, Access::Pin, 0x02));
    files_.push_back(Ef({0x5015, 0x6004}, cdf_, 2048, Access::Always, Access::Pin, 0x04));
    files_.push_back(Ef({0x5015, 0x6005}, dodf_, 1024, Access::Always, Access::Pin, 0x05));
    char counter[8];
    std::snprintf(counter, sizeof counter, "%04X", static_cast<unsigned>(lastFile_));
    files_.push_back(Ef({0x60A1}, Text(counter), 4, Access::Always, Access::Pin));

    if (k_.channel) Channel(p);
    p.files = std::move(files_);
    return p;
  }

 private:
  std::uint16_t NextFile() { return ++lastFile_; }

  // A value stored as a compressed card file; returns its path and length.
  std::pair<Bytes, std::uint16_t> StoreValue(const Bytes& value, bool isPrivate) {
    Bytes image = p15::CompressForCard(value);
    std::uint16_t df = isPrivate ? 0x6081 : 0x6061;
    std::uint16_t fid = NextFile();
    Access read = isPrivate ? Access::Pin : Access::Always;
    files_.push_back(Ef({df, fid}, image, image.size() + image.size() / 10, read, Access::Pin));
    return {Fid(df, fid), static_cast<std::uint16_t>(image.size())};
  }

  void Keys(Profile& p) {
    std::vector<std::pair<const Holder*, std::uint8_t>> keys;
    if (k_.halvo10) {
      keys = {{&kSign1024, 0x20}, {&kDecipher1024, 0x21}};
      for (std::uint16_t f : {0x3F73, 0x3F77, 0x3F74, 0x3F78})
        files_.push_back(Ef({0x3F11, f}, {}, kHalvoKeyFileSize, Access::Never, Access::Never));
    } else {
      keys = {{&kAuth, 0x01}, {&kSign, 0x02}};
      if (k_.cipherKey) keys.push_back({&kCipher, 0x03});
      for (int r = 1; r <= kPlainKeyFiles; ++r)
        files_.push_back(Ef({0x3F11, static_cast<std::uint16_t>(0x0100 + r)}, {}, kKeyFileSize,
                            Access::Never, Access::Never));
    }
    for (auto [h, ref] : keys) {
      bool decipherOnly = k_.halvo10 && h == &kDecipher1024;
      std::uint16_t privFile = k_.halvo10 ? (decipherOnly ? 0x3F77 : 0x3F73) : 0x0100 + ref;
      std::uint16_t pubFile = k_.halvo10 ? (decipherOnly ? 0x3F78 : 0x3F74) : 0x0100 + ref;
      std::uint16_t fileSize = k_.halvo10 ? kHalvoKeyFileSize : kKeyFileSize;
      KeySpec key = p15::LoadKey(h->pki, ref, privFile);
      Bytes certDer = PkiFile(std::string(h->pki) + ".crt.der");
      auto cert = p15::ParseCertificate(certDer);
      if (!cert) throw std::runtime_error("bad certificate " + std::string(h->pki));
      Bytes id = Sha1(key.modulus);
      std::uint16_t bits = static_cast<std::uint16_t>(key.modulus.size() * 8);

      p15::KeyEntry e;
      e.id = id;
      e.keyReference = ref;
      e.subject = cert->subject;
      e.modulusBits = bits;
      e.length = fileSize;
      if (k_.channel) {
        e.startDate = "20260101000000Z";
        e.endDate = "20460101000000Z";
      }

      e.common = {std::string("Kpriv") + h->role, true, false, {0x01}};
      e.usage = h->privUsage;
      e.access = {0, 2, 3, 4};
      e.path = Fid(0x3F11, privFile);
      prkdf_ = der::Cat({prkdf_, p15::PrivateKeyEntry(e, k_.form, k_.paths)});

      e.common = {std::string("Kpub") + h->role, false, false, {}};
      e.usage = h->pubUsage;
      e.access = {4};
      e.path = Fid(0x3F11, pubFile);
      pukdf_ = der::Cat({pukdf_, p15::PublicKeyEntry(e, k_.form, k_.paths)});

      auto [path, length] = StoreValue(certDer, false);
      p15::CertEntry c;
      c.common = {std::string("Cert") + h->role, false, false, {}};
      c.id = id;
      c.path = path;
      c.length = length;
      c.subject = cert->subject;
      c.issuer = cert->issuer;
      c.serial = cert->serial;
      cdf_ = der::Cat({cdf_, p15::CertificateEntry(c, k_.form, k_.paths)});

      p.keys.push_back(std::move(key));
    }
  }

  void ValueFiles() {
    for (bool isPrivate : {false, true}) {
      std::string text = isPrivate ? "ZORBIX private test data: holder file 0001"
                                   : "ZORBIX public test data: card issued for the test bench";
      auto [path, length] = StoreValue(Text(text), isPrivate);
      p15::DataEntry d;
      d.common = {isPrivate ? "ZORBIX Datos privados" : "ZORBIX Datos", isPrivate, true,
                  isPrivate ? Bytes{0x01} : Bytes{}};
      d.applicationName = "ZORBIX";
      if (k_.form == Form::Standard) d.oid = kDataOid;
      d.path = path;
      d.length = length;
      dodf_ = der::Cat({dodf_, p15::DataObjectEntry(d, k_.form, k_.paths)});
    }
    if (k_.freeFile) {
      // A value file freed by an earlier deletion, listed in the unused space.
      std::uint16_t fid = NextFile();
      files_.push_back(Ef({0x6061, fid}, {}, 600, Access::Always, Access::Pin));
      efus_ = p15::UnusedSpace(Fid(0x6061, fid), k_.paths, 600);
    }
  }

  // Card side of the secure channel. channelData:
  //   sfi0-file       EF of the MF read through short identifier 0 (6020)
  //   icc-aut.key     the card's authentication key (PKCS#1 DER), certified by
  //                   icc-aut.crt in EF 601F (short identifier 1F)
  //   icc-aut.keyref  its reference in MSE:SET C1 A4 (84 02 <this>)
  //   rca-aut.key     key of the CV root the card trusts (PKCS#1 DER; the card
  //                   uses its public part), reference rca-aut.keyref (83 02)
  //   ca-cs-aut.chr   holder reference of the CV authority (83 08 <this>)
  //   ifd-aut.chr     holder reference of the terminal (83 0C <this>)
  //   c-cv-*          the CV certificates the module presents
  //   mac-len         MAC length of secure messaging
  void Channel(Profile& p) {
    // The card's certificates for the channel: intermediate CA (read through
    // short identifier 0) and its own authentication certificate (1F).
    files_.push_back(Ef({0x6020}, PkiFile("card-ca.crt.der"), 0, Access::Always, Access::Never));
    files_.push_back(
        Ef({0x601F}, PkiFile("icc-aut.crt.der"), 0, Access::Always, Access::Never, 0x1F));
    p.channelData = {
        {"sfi0-file", {0x60, 0x20}},
        {"icc-aut.key", PkiFile("icc-aut.key.der")},
        {"icc-aut.keyref", {0x02, 0x1F}},
        {"rca-aut.key", PkiFile("cv-rca.key.der")},
        {"rca-aut.keyref", {0x02, 0x0F}},
        {"ca-cs-aut.chr", Text(std::string("ZBXCA\0\0\x01", 8))},
        {"ifd-aut.chr", Text(std::string("\0\0\0\0ZBXIFD\0\x01", 12))},
        {"c-cv-ca-cs-aut", PkiFile("c-cv-ca-cs-aut.cvc")},
        {"c-cv-ifd-aut", PkiFile("c-cv-ifd-aut.cvc")},
        {"mac-len", {k_.macLength}},
    };
  }

  const Kind& k_;
  std::vector<FileSpec> files_;
  Bytes prkdf_, pukdf_, cdf_, dodf_, efus_;
  std::uint16_t lastFile_ = 0;
};

std::vector<Profile> MakeProfiles() {
  std::vector<Profile> out;
  std::size_t i = 0;
  for (const Kind& k : kKinds) out.push_back(Builder(k).Build(i++));
  return out;
}

}  // namespace

const std::vector<Profile>& AllProfiles() {
  static const std::vector<Profile> profiles = MakeProfiles();
  return profiles;
}

const Profile* FindProfile(const std::string& name) {
  for (const Profile& p : AllProfiles())
    if (p.name == name) return &p;
  if (name == "basic") {
    static const Profile basic = BasicProfile();
    return &basic;
  }
  return nullptr;
}

const char* DefaultProfileName() { return "HALVO"; }

}  // namespace zorbix::sim
