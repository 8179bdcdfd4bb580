// DER fixtures of the card structures, written by hand from the module.
#pragma once

#include <string>

namespace zorbix::testing::der {

// CommonObjectAttributes: label UTF8String "Key", flags 06 40 (modifiable).
inline const std::string kCommonObject = "30 09  0C 03 4B 65 79  03 02 06 40";
// CommonKeyAttributes: iD 45, usage 06 60, native TRUE, accessFlags 03 B8,
// keyReference 1.
inline const std::string kCommonKey =
    "30 11  04 01 45  03 02 06 60  01 01 FF  03 02 03 B8  02 01 01";
// Path 3F11 0101, index 0, length 0x400.
inline const std::string kPath = "30 0D  04 04 3F 11 01 01  02 01 00  80 02 04 00";
inline const std::string kModulus2048 = "02 02 08 00";

// PrivateKeyObject: A1 wraps a complete PrivateRSAKeyAttributes SEQUENCE.
inline const std::string kPrivateKeyStandard =
    "30 35" + kCommonObject + kCommonKey + "A1 15  30 13" + kPath + kModulus2048;
// PrivateKeyObjectHALVO: A1 holds the members directly.
inline const std::string kPrivateKeyHalvo =
    "30 33" + kCommonObject + kCommonKey + "A1 13" + kPath + kModulus2048;

// Names CN=AB and CN=CD.
inline const std::string kNameAB = "30 0D 31 0B 30 09 06 03 55 04 03 0C 02 41 42";
inline const std::string kNameCD = "30 0D 31 0B 30 09 06 03 55 04 03 0C 02 43 44";
inline const std::string kCommonCert = "30 03  04 01 45";

// CertificateObject: subject CN=AB untagged, issuer CN=CD under [0], serial 7.
inline const std::string kCertificateStandard = "30 46" + kCommonObject + kCommonCert +
                                                "A1 34  30 32" + kPath + kNameAB + "A0 0F" +
                                                kNameCD + "02 01 07";
// CertificateObjectHALVO: issuer CN=CD under [0] first, subject CN=AB under [1].
inline const std::string kCertificateHalvo = "30 46" + kCommonObject + kCommonCert + "A1 34" +
                                             kPath + "A0 0F" + kNameCD + "A1 0F" + kNameAB +
                                             "02 01 07";

// DataObject: applicationName "App", applicationOID 1.2.3.4, value path.
inline const std::string kDataObject =
    "30 28" + kCommonObject + "30 0A  0C 03 41 70 70  06 03 2A 03 04" + "A1 0F" + kPath;

// TokenInfo: version 1, serial 12 34 AB, manufacturer "ORVA", label "Label",
// tokenflags 05 60 (loginRequired, prnGeneration).
inline const std::string kTokenInfoUtf8 =
    "30 19  02 01 01  04 03 12 34 AB  0C 04 4F 52 56 41  80 05 4C 61 62 65 6C  03 02 05 60";
inline const std::string kTokenInfoT61 =
    "30 19  02 01 01  04 03 12 34 AB  14 04 4F 52 56 41  14 05 4C 61 62 65 6C  03 02 05 60";

}  // namespace zorbix::testing::der
