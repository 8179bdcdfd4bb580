// The virtual cards' test PKI (sim/pki/), embedded: keys in PKCS#1 DER
// ("<name>.key.der"), X.509 certificates in DER ("<name>.crt.der") and the
// card-verifiable certificates ("c-cv-*.cvc") and the secure-channel
// parameters of the module's channel card types, DER Vexa-channelParams
// ("vexa-channel-params.der": no MAC length, 4-byte MACs;
// "tc-orva4-channel-params.der": MAC length 8). Test data only.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "sim/profile.h"

namespace zorbix::sim {

// Names of the embedded files, sorted.
std::vector<std::string> PkiFileNames();

// Bytes of one embedded file; std::out_of_range for an unknown name.
Bytes PkiFile(const std::string& name);

}  // namespace zorbix::sim
