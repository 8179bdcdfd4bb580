// The card's X.509 certificates that the secure channel checks: its CA's
// under the root key of the parameters, its own under that CA's key. Both
// issuers of the test PKI are tried, so that an intact signature can pass.
#include "comm/crypto.h"
#include "comm/securechannel.h"
#include "sim/content_pkcs15.h"
#include "sim/content_pki.h"
#include "tests/fuzz/harness.h"

namespace {

using namespace zorbix;

crypto::RsaPublicKey KeyOf(const char* certificate) {
  const auto parts = sim::p15::ParseCertificate(sim::PkiFile(certificate));
  if (!parts) fuzz::Finding("the test PKI has a certificate the harness cannot read");
  return {parts->modulus, parts->exponent};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const crypto::RsaPublicKey issuers[] = {KeyOf("root-ca.crt.der"), KeyOf("card-ca.crt.der")};
  const fuzz::Bytes certificate(data, data + size);
  for (const auto& issuer : issuers) {
    crypto::RsaPublicKey subject;
    try {
      subject = comm::CComm_Vexa::CheckCardCertificate(issuer, certificate);
    } catch (const p11::Pkcs11Exception&) {
      continue;
    }
    // A certificate that passes carries the key any reader of it finds.
    const auto parts = sim::p15::ParseCertificate(certificate);
    if (!parts) continue;
    fuzz::Require(crypto::StripLeadingZeros(subject.modulus) ==
                          crypto::StripLeadingZeros(parts->modulus) &&
                      crypto::StripLeadingZeros(subject.exponent) ==
                          crypto::StripLeadingZeros(parts->exponent),
                  "the subject key differs from the certificate's");
  }
  return 0;
}
