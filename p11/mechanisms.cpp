// The RSA mechanisms, their init checks, and the host-side steps of the
// cryptographic entry points.
#include "p11/mechanisms.h"

#include <algorithm>
#include <cstring>

#include "comm/crypto.h"
#include "p11/confirmation.h"
#include "p11/tokentypes.h"

namespace zorbix::p11 {
namespace {

[[noreturn]] void Fail(CK_RV rv) { throw Pkcs11Exception(rv); }

}  // namespace

// ---------------------------------------------------------------- CMech

void CMech::CheckAndBind(const std::shared_ptr<CPKCS11Object>& key, CK_OBJECT_CLASS keyClass,
                         CK_ATTRIBUTE_TYPE usage, const void* parameter,
                         CK_ULONG parameterLength) {
  if (!key || key->ReadUlong(CKA_CLASS) != keyClass) Fail(CKR_KEY_HANDLE_INVALID);
  auto keyObject = std::dynamic_pointer_cast<CPKCS11KeyObject>(key);
  if (!keyObject) Fail(CKR_KEY_HANDLE_INVALID);
  if (key->ReadUlong(CKA_KEY_TYPE) != CKK_RSA) Fail(CKR_KEY_TYPE_INCONSISTENT);
  if (!key->ReadBool(usage)) Fail(CKR_KEY_FUNCTION_NOT_PERMITTED);
  if (parameter != nullptr || parameterLength != 0) Fail(CKR_MECHANISM_PARAM_INVALID);
  key_ = std::move(keyObject);
}

// Sizes and flags from the one table that C_GetMechanismInfo reports.
CMech::CMech(CK_MECHANISM_TYPE type) : type_(type) {
  const MechanismInfo* info = FindMechanismInfo(type);
  if (!info) Fail(CKR_GENERAL_ERROR);
  minKeySize_ = info->minKeySize;
  maxKeySize_ = info->maxKeySize;
  flags_ = info->flags;
}

CMech_RSA_PKCS_KEY_PAIR_GEN::CMech_RSA_PKCS_KEY_PAIR_GEN() : CMech(CKM_RSA_PKCS_KEY_PAIR_GEN) {}

CMech_RSA_PKCS::CMech_RSA_PKCS() : CMech(CKM_RSA_PKCS) {}

CMech_SHA1_RSA_PKCS::CMech_SHA1_RSA_PKCS() : CMech(CKM_SHA1_RSA_PKCS) {}

void CMech_RSA_PKCS::Pad(SecureBytes& data, std::size_t blockLength) {
  PadBlockType1(data, blockLength);
}

void CMech_RSA_PKCS::SignInit(const std::shared_ptr<CPKCS11Object>& key, const void* parameter,
                              CK_ULONG parameterLength) {
  CheckAndBind(key, CKO_PRIVATE_KEY, CKA_SIGN, parameter, parameterLength);
}

void CMech_RSA_PKCS::VerifyInit(const std::shared_ptr<CPKCS11Object>& key, const void* parameter,
                                CK_ULONG parameterLength) {
  CheckAndBind(key, CKO_PUBLIC_KEY, CKA_VERIFY, parameter, parameterLength);
}

void CMech_RSA_PKCS::DecryptInit(const std::shared_ptr<CPKCS11Object>& key, const void* parameter,
                                 CK_ULONG parameterLength) {
  CheckAndBind(key, CKO_PRIVATE_KEY, CKA_DECRYPT, parameter, parameterLength);
}

void CMech_SHA1_RSA_PKCS::Pad(SecureBytes& data, std::size_t blockLength) {
  PadBlockType1(data, blockLength);
}

void CMech_SHA1_RSA_PKCS::FormatData(SecureBytes& data) {
  crypto::Sha1Hasher hasher;
  hasher.Update(data);
  const SecureBytes digest = hasher.Final();
  WipeMemory(data.data(), data.size());
  data.assign(std::begin(kSha1DigestInfoPrefix), std::end(kSha1DigestInfoPrefix));
  data.insert(data.end(), digest.begin(), digest.end());
}

void CMech_SHA1_RSA_PKCS::SignInit(const std::shared_ptr<CPKCS11Object>& key,
                                   const void* parameter, CK_ULONG parameterLength) {
  CheckAndBind(key, CKO_PRIVATE_KEY, CKA_SIGN, parameter, parameterLength);
}

void CMech_SHA1_RSA_PKCS::VerifyInit(const std::shared_ptr<CPKCS11Object>& key,
                                     const void* parameter, CK_ULONG parameterLength) {
  CheckAndBind(key, CKO_PUBLIC_KEY, CKA_VERIFY, parameter, parameterLength);
}

void PadBlockType1(SecureBytes& data, std::size_t k) {
  const std::size_t n = data.size();
  if (k < 4 || n > k - 4) Fail(CKR_DATA_INVALID);
  SecureBytes block(k, 0xFF);
  block[0] = 0x00;
  block[1] = 0x01;
  block[k - n - 1] = 0x00;
  std::copy(data.begin(), data.end(), block.end() - static_cast<std::ptrdiff_t>(n));
  data.swap(block);  // the old bytes go with `block`, which wipes them
}

std::unique_ptr<CMech> CreateMech(std::span<const CK_MECHANISM_TYPE> tokenMechanisms,
                                  CK_MECHANISM_TYPE type) {
  if (std::find(tokenMechanisms.begin(), tokenMechanisms.end(), type) == tokenMechanisms.end())
    return nullptr;
  switch (type) {
    case CKM_RSA_PKCS_KEY_PAIR_GEN:
      return std::make_unique<CMech_RSA_PKCS_KEY_PAIR_GEN>();
    case CKM_RSA_PKCS:
      return std::make_unique<CMech_RSA_PKCS>();
    case CKM_SHA1_RSA_PKCS:
      return std::make_unique<CMech_SHA1_RSA_PKCS>();
    default:
      return nullptr;
  }
}

std::unique_ptr<CMech> CreateMech(const CTokenType& tokenType, CK_MECHANISM_TYPE type) {
  return CreateMech(tokenType.mechanisms, type);
}

// ---------------------------------------------------------------- init steps

namespace {

using InitOperation = void (CMech::*)(const std::shared_ptr<CPKCS11Object>&, const void*, CK_ULONG);

// The steps every Init shares around its own check of the key (`first`).
template <class First>
std::unique_ptr<CMech> Begin(const CTokenType& tokenType, const CK_MECHANISM* pMechanism,
                             const std::shared_ptr<CPKCS11Object>& key, First first,
                             InitOperation init) {
  if (!pMechanism) Fail(CKR_ARGUMENTS_BAD);
  if (!key) Fail(CKR_OBJECT_HANDLE_INVALID);
  first(*key);
  auto mech = CreateMech(tokenType, pMechanism->mechanism);
  if (!mech) Fail(CKR_MECHANISM_INVALID);
  ((*mech).*init)(key, pMechanism->pParameter, pMechanism->ulParameterLen);
  return mech;
}

}  // namespace

std::unique_ptr<CMech> BeginSign(const CTokenType& tokenType, const CK_MECHANISM* pMechanism,
                                 const std::shared_ptr<CPKCS11Object>& key) {
  return Begin(tokenType, pMechanism, key, ConfirmKeyUse, &CMech::SignInit);
}

std::unique_ptr<CMech> BeginVerify(const CTokenType& tokenType, const CK_MECHANISM* pMechanism,
                                   const std::shared_ptr<CPKCS11Object>& key) {
  return Begin(tokenType, pMechanism, key, [](const CPKCS11Object&) {}, &CMech::VerifyInit);
}

std::unique_ptr<CMech> BeginDecrypt(const CTokenType& tokenType, const CK_MECHANISM* pMechanism,
                                    const std::shared_ptr<CPKCS11Object>& key) {
  const auto tokenKeyOnly = [](const CPKCS11Object& k) {
    if (!k.ReadBool(CKA_TOKEN)) Fail(CKR_KEY_HANDLE_INVALID);
  };
  return Begin(tokenType, pMechanism, key, tokenKeyOnly, &CMech::DecryptInit);
}

// ---------------------------------------------------------------- results

bool DeliverResult(ByteView result, CK_BYTE_PTR pOut, CK_ULONG_PTR pulOutLen) {
  if (!pulOutLen) Fail(CKR_ARGUMENTS_BAD);
  const CK_ULONG available = *pulOutLen;
  *pulOutLen = result.size();
  if (!pOut) return false;
  if (available < result.size()) Fail(CKR_BUFFER_TOO_SMALL);
  if (!result.empty()) std::memcpy(pOut, result.data(), result.size());
  return true;
}

// ---------------------------------------------------------------- key pairs

namespace {

Template TemplateOf(const CK_ATTRIBUTE* entries, CK_ULONG count) {
  return {entries, static_cast<std::size_t>(count)};
}

// The boolean a template gives for type: its last entry's first byte; a
// missing or empty entry is false.
bool TemplateSays(Template tmpl, CK_ATTRIBUTE_TYPE type) {
  bool value = false;
  for (const CK_ATTRIBUTE& a : tmpl) {
    if (a.type != type) continue;
    value = a.pValue != nullptr && a.ulValueLen > 0 && *static_cast<const CK_BYTE*>(a.pValue) != 0;
  }
  return value;
}

// A new key of the template. A CKA_CLASS naming another class would leave an
// object that lies about itself: refused as inconsistent.
template <class Key>
std::shared_ptr<Key> KeyFromTemplate(Template tmpl) {
  auto key = std::make_shared<Key>();
  if (!key->CheckCreationTemplate(tmpl)) Fail(CKR_ATTRIBUTE_TYPE_INVALID);
  for (const CK_ATTRIBUTE& entry : tmpl) key->SetFromTemplate(entry);
  const CK_ULONG expected = key->ObjectClass();
  const AttributeValue* cls = key->Find(CKA_CLASS);
  if (!cls || cls->size() != sizeof expected ||
      std::memcmp(cls->data(), &expected, sizeof expected) != 0)
    Fail(CKR_TEMPLATE_INCONSISTENT);
  key->SetBool(CKA_LOCAL, true);
  return key;
}

// A CKA_KEY_TYPE, when given, must be CKK_RSA.
bool KeyTypeOtherThanRsa(const CPKCS11Object& key) {
  const AttributeValue* type = key.Find(CKA_KEY_TYPE);
  if (!type) return false;
  const CK_ULONG rsa = CKK_RSA;
  return type->size() != sizeof rsa || std::memcmp(type->data(), &rsa, sizeof rsa) != 0;
}

}  // namespace

void KeyPairAccess(bool token, bool isPrivate, CK_STATE sessionState) {
  if (token && isPrivate) {
    if (sessionState == CKS_RO_USER_FUNCTIONS) Fail(CKR_SESSION_READ_ONLY);
    if (sessionState != CKS_RW_USER_FUNCTIONS) Fail(CKR_USER_NOT_LOGGED_IN);
  } else if (token) {
    if (sessionState == CKS_RO_PUBLIC_SESSION || sessionState == CKS_RO_USER_FUNCTIONS)
      Fail(CKR_SESSION_READ_ONLY);
  } else if (isPrivate) {
    if (sessionState != CKS_RO_USER_FUNCTIONS && sessionState != CKS_RW_USER_FUNCTIONS)
      Fail(CKR_USER_NOT_LOGGED_IN);
  }
}

KeyPairRequest PrepareKeyPair(const CK_MECHANISM* pMechanism, const CK_ATTRIBUTE* pPublicKeyTemplate,
                              CK_ULONG ulPublicKeyAttributeCount,
                              const CK_ATTRIBUTE* pPrivateKeyTemplate,
                              CK_ULONG ulPrivateKeyAttributeCount, CK_STATE sessionState,
                              const CK_OBJECT_HANDLE* phPublicKey,
                              const CK_OBJECT_HANDLE* phPrivateKey) {
  if (!pMechanism || !phPublicKey || !phPrivateKey) Fail(CKR_ARGUMENTS_BAD);
  if (!pPublicKeyTemplate || ulPublicKeyAttributeCount == 0) Fail(CKR_TEMPLATE_INCOMPLETE);
  if (!pPrivateKeyTemplate || ulPrivateKeyAttributeCount == 0) Fail(CKR_TEMPLATE_INCOMPLETE);
  if (pMechanism->mechanism != CKM_RSA_PKCS_KEY_PAIR_GEN) Fail(CKR_MECHANISM_INVALID);

  const Template publicTemplate = TemplateOf(pPublicKeyTemplate, ulPublicKeyAttributeCount);
  const Template privateTemplate = TemplateOf(pPrivateKeyTemplate, ulPrivateKeyAttributeCount);
  KeyPairAccess(TemplateSays(publicTemplate, CKA_TOKEN) || TemplateSays(privateTemplate, CKA_TOKEN),
                TemplateSays(publicTemplate, CKA_PRIVATE) ||
                    TemplateSays(privateTemplate, CKA_PRIVATE),
                sessionState);

  KeyPairRequest request;
  request.privateKey = KeyFromTemplate<CPKCS11PrivateKeyObject>(privateTemplate);
  request.publicKey = KeyFromTemplate<CPKCS11PublicKeyObject>(publicTemplate);
  CPKCS11PrivateKeyObject& priv = *request.privateKey;
  CPKCS11PublicKeyObject& pub = *request.publicKey;

  if (priv.IsTrue(CKA_SIGN)) request.usage += 4;
  if (priv.IsTrue(CKA_DECRYPT)) request.usage += 8;
  if (request.usage == 0) Fail(CKR_TEMPLATE_INCOMPLETE);

  if (!priv.IsTrue(CKA_TOKEN)) Fail(CKR_ATTRIBUTE_VALUE_INVALID);
  if (KeyTypeOtherThanRsa(priv) || KeyTypeOtherThanRsa(pub)) Fail(CKR_ATTRIBUTE_VALUE_INVALID);
  priv.SetUlong(CKA_KEY_TYPE, CKK_RSA);
  pub.SetUlong(CKA_KEY_TYPE, CKK_RSA);

  const CK_ULONG bits = pub.ReadUlong(CKA_MODULUS_BITS);
  if (bits != 1024 && bits != 2048) Fail(CKR_ATTRIBUTE_VALUE_INVALID);
  request.modulusBits = static_cast<unsigned>(bits);
  const AttributeValue* exponent = pub.Find(CKA_PUBLIC_EXPONENT);
  if (!exponent) Fail(CKR_TEMPLATE_INCOMPLETE);
  if (exponent->empty()) Fail(CKR_ATTRIBUTE_VALUE_INVALID);
  request.publicExponent.assign(exponent->begin(), exponent->end());
  return request;
}

std::uint8_t FreeKeyReference(std::span<const std::uint8_t> used, std::uint8_t first,
                              std::uint8_t last) {
  for (unsigned ref = first; ref <= last; ++ref)
    if (std::find(used.begin(), used.end(), ref) == used.end())
      return static_cast<std::uint8_t>(ref);
  Fail(CKR_DEVICE_MEMORY);
}

void PlaceGeneratedKey(CPKCS11KeyObject& key, std::uint8_t keyReference, unsigned modulusBits,
                       std::vector<std::uint8_t> path, std::uint16_t length) {
  key.SetKeyReference(keyReference);
  key.SetModulusBits(modulusBits);
  key.SetPath(std::move(path));
  key.SetIndex(0);
  key.SetLength(length);
}

}  // namespace zorbix::p11
