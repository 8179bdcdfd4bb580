// OpenSSL's command line as the outside judge of RSA results: public keys
// from a certificate or from a modulus and exponent, signature checks,
// recovery of a PKCS#1 v1.5 signature's data, and PKCS#1 v1.5 encryption.
// Files live in a folder of the caller's.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/hex.h"

namespace zorbix::testing {

class OpensslCli {
 public:
  using Bytes = std::vector<std::uint8_t>;

  explicit OpensslCli(std::filesystem::path dir) : dir_(std::move(dir)) {}

  // A PEM public key file; empty when OpenSSL would not make it.
  std::string KeyOfCertificate(const Bytes& certificateDer, const std::string& name) {
    Write(name + ".crt", certificateDer);
    const std::string pem = File(name + ".pem");
    return Run("openssl x509 -inform DER -in " + File(name + ".crt") + " -pubkey -noout -out " + pem)
               ? pem
               : std::string();
  }
  std::string KeyOfParts(const Bytes& modulus, const Bytes& exponent, const std::string& name) {
    std::ofstream(File(name + ".cnf")) << "asn1=SEQUENCE:key\n[key]\nn=INTEGER:0x" << Digits(modulus)
                                      << "\ne=INTEGER:0x" << Digits(exponent) << "\n";
    const std::string pem = File(name + ".pem");
    return Run("openssl asn1parse -genconf " + File(name + ".cnf") + " -noout -out " + File(name + ".der")) &&
                   Run("openssl rsa -RSAPublicKey_in -inform DER -in " + File(name + ".der") +
                       " -pubout -out " + pem)
               ? pem
               : std::string();
  }

  // `digest` is an openssl dgst name: sha1, sha256.
  bool Verifies(const std::string& pem, const std::string& digest, const Bytes& data, const Bytes& signature) {
    Write("data", data);
    Write("sig", signature);
    return Run("openssl dgst -" + digest + " -verify " + pem + " -signature " + File("sig") + " " + File("data"));
  }
  // The data inside a PKCS#1 v1.5 signature (block type 01); empty when it
  // is none.
  Bytes Recovered(const std::string& pem, const Bytes& signature) {
    Write("sig", signature);
    if (!Run("openssl pkeyutl -verifyrecover -pubin -inkey " + pem + " -in " + File("sig") + " -out " +
             File("recovered")))
      return {};
    return Read("recovered");
  }
  Bytes Encrypted(const std::string& pem, const Bytes& message) {
    Write("message", message);
    if (!Run("openssl pkeyutl -encrypt -pubin -inkey " + pem + " -pkeyopt rsa_padding_mode:pkcs1 -in " +
             File("message") + " -out " + File("ciphertext")))
      return {};
    return Read("ciphertext");
  }

  std::string File(const std::string& name) const { return (dir_ / name).string(); }
  void Write(const std::string& name, const Bytes& bytes) const {
    std::ofstream(File(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  Bytes Read(const std::string& name) const {
    std::ifstream in(File(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  static bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

 private:
  static std::string Digits(const Bytes& b) {
    std::string s = ToHex(b);
    std::erase(s, ' ');
    return s.empty() ? "00" : s;
  }

  std::filesystem::path dir_;
};

}  // namespace zorbix::testing
