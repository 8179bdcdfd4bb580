// The generated card-structure types, bound to their descriptors for the codec.
#pragma once

#include "CardATR.h"
#include "CardTokenType.h"
#include "CertificateObject.h"
#include "CertificateObjectHALVO.h"
#include "CommonCertificateAttributes.h"
#include "CommonDataObjectAttributes.h"
#include "CommonKeyAttributes.h"
#include "CommonObjectAttributes.h"
#include "DataObject.h"
#include "LabelHALVO.h"
#include "PKCS15UnusedSpace.h"
#include "Path.h"
#include "PrivateKeyObject.h"
#include "PrivateKeyObjectHALVO.h"
#include "PrivateRSAKeyAttributes.h"
#include "PublicKeyObject.h"
#include "PublicKeyObjectHALVO.h"
#include "PublicRSAKeyAttributes.h"
#include "RSAprivateKey.h"
#include "RSApublicKey.h"
#include "TokenInfo.h"
#include "TokenInfoT61.h"
#include "TokenTypesConfig.h"
#include "Vexa-channelParams.h"
#include "X509CertificateAttributes.h"
#include "X509CertificateAttributesHalvo.h"
#include "pkcs15/asn1codec.h"

#define ZORBIX_ASN1_BIND(Name)                                              \
  template <>                                                               \
  struct zorbix::asn1::TypeOf<Name##_t> {                                   \
    static asn_TYPE_descriptor_t& descriptor() { return asn_DEF_##Name; }   \
  };

ZORBIX_ASN1_BIND(CardATR)
ZORBIX_ASN1_BIND(CardTokenType)
ZORBIX_ASN1_BIND(CertificateObject)
ZORBIX_ASN1_BIND(CertificateObjectHALVO)
ZORBIX_ASN1_BIND(CommonCertificateAttributes)
ZORBIX_ASN1_BIND(CommonDataObjectAttributes)
ZORBIX_ASN1_BIND(CommonKeyAttributes)
ZORBIX_ASN1_BIND(CommonObjectAttributes)
ZORBIX_ASN1_BIND(DataObject)
ZORBIX_ASN1_BIND(LabelHALVO)
ZORBIX_ASN1_BIND(PKCS15UnusedSpace)
ZORBIX_ASN1_BIND(Path)
ZORBIX_ASN1_BIND(PrivateKeyObject)
ZORBIX_ASN1_BIND(PrivateKeyObjectHALVO)
ZORBIX_ASN1_BIND(PrivateRSAKeyAttributes)
ZORBIX_ASN1_BIND(PublicKeyObject)
ZORBIX_ASN1_BIND(PublicKeyObjectHALVO)
ZORBIX_ASN1_BIND(PublicRSAKeyAttributes)
ZORBIX_ASN1_BIND(RSAprivateKey)
ZORBIX_ASN1_BIND(RSApublicKey)
ZORBIX_ASN1_BIND(TokenInfo)
ZORBIX_ASN1_BIND(TokenInfoT61)
ZORBIX_ASN1_BIND(TokenTypesConfig)
ZORBIX_ASN1_BIND(Vexa_channelParams)
ZORBIX_ASN1_BIND(X509CertificateAttributes)
ZORBIX_ASN1_BIND(X509CertificateAttributesHalvo)

#undef ZORBIX_ASN1_BIND
