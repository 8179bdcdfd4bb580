// The module's RSA mechanisms: the key checks of the init operations, the key
// they bind, and the host-side formatting and padding of the data the card
// signs or verifies. Also the host-side steps of the cryptographic entry
// points that need no token: handing out a kept result and preparing a key
// pair from the caller's templates.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "p11/objects.h"
#include "p11/pkcs11exception.h"
#include "platform/secret.h"

namespace zorbix::p11 {

class CTokenType;

class CMech {
 public:
  virtual ~CMech() = default;
  CMech(const CMech&) = delete;
  CMech& operator=(const CMech&) = delete;

  CK_MECHANISM_TYPE Type() const noexcept { return type_; }
  // As C_GetMechanismInfo reports them.
  CK_ULONG MinKeySize() const noexcept { return minKeySize_; }
  CK_ULONG MaxKeySize() const noexcept { return maxKeySize_; }
  CK_FLAGS Flags() const noexcept { return flags_; }

  // Pads data in place to a block of blockLength bytes (PKCS#1 v1.5 block
  // type 01 for the RSA mechanisms); the base leaves it as it is.
  virtual void Pad(SecureBytes& /*data*/, std::size_t /*blockLength*/) {}
  // Turns the data into what the card signs (the SHA-1 DigestInfo for
  // CKM_SHA1_RSA_PKCS); the base leaves it as it is.
  virtual void FormatData(SecureBytes& /*data*/) {}

  // Check the key and the mechanism's parameter, then bind the key. A
  // failure raises and binds nothing. The base supports none of them.
  virtual void SignInit(const std::shared_ptr<CPKCS11Object>& /*key*/, const void* /*parameter*/,
                        CK_ULONG /*parameterLength*/) {
    throw Pkcs11Exception(CKR_MECHANISM_INVALID);
  }
  virtual void VerifyInit(const std::shared_ptr<CPKCS11Object>& /*key*/, const void* /*parameter*/,
                          CK_ULONG /*parameterLength*/) {
    throw Pkcs11Exception(CKR_MECHANISM_INVALID);
  }
  virtual void DecryptInit(const std::shared_ptr<CPKCS11Object>& /*key*/, const void* /*parameter*/,
                           CK_ULONG /*parameterLength*/) {
    throw Pkcs11Exception(CKR_MECHANISM_INVALID);
  }

  // The key bound by an init operation; null before. Shared with the object
  // store, so that destroying the object does not pull it from under us.
  const std::shared_ptr<CPKCS11KeyObject>& Key() const noexcept { return key_; }

  // The bound key's card key reference, and its modulus bits as stored
  // (some cards' entries hold bytes: values up to 256 are taken as bytes).
  // CKR_OPERATION_NOT_INITIALIZED without a key.
  virtual std::uint8_t KeyReference() const { return BoundKey().KeyReference(); }
  virtual unsigned KeyModulusBits() const { return BoundKey().ModulusBits(); }

 protected:
  CMech() = default;
  // One of the mechanisms the module implements, with its sizes and flags.
  explicit CMech(CK_MECHANISM_TYPE type);

  // The checks common to the init operations of the RSA mechanisms: the
  // key's class (else CKR_KEY_HANDLE_INVALID), CKK_RSA (else
  // CKR_KEY_TYPE_INCONSISTENT), the usage attribute true (else
  // CKR_KEY_FUNCTION_NOT_PERMITTED), no parameter (else
  // CKR_MECHANISM_PARAM_INVALID); then the key is bound.
  void CheckAndBind(const std::shared_ptr<CPKCS11Object>& key, CK_OBJECT_CLASS keyClass,
                    CK_ATTRIBUTE_TYPE usage, const void* parameter, CK_ULONG parameterLength);

 private:
  const CPKCS11KeyObject& BoundKey() const {
    if (!key_) throw Pkcs11Exception(CKR_OPERATION_NOT_INITIALIZED);
    return *key_;
  }

  CK_MECHANISM_TYPE type_ = CKM_VENDOR_DEFINED;
  CK_ULONG minKeySize_ = 0;
  CK_ULONG maxKeySize_ = 0;
  CK_FLAGS flags_ = 0;
  std::shared_ptr<CPKCS11KeyObject> key_;
};

class CMech_RSA_PKCS_KEY_PAIR_GEN : public CMech {
 public:
  CMech_RSA_PKCS_KEY_PAIR_GEN();
};

class CMech_RSA_PKCS : public CMech {
 public:
  CMech_RSA_PKCS();
  void Pad(SecureBytes& data, std::size_t blockLength) override;
  void SignInit(const std::shared_ptr<CPKCS11Object>& key, const void* parameter,
                CK_ULONG parameterLength) override;
  void VerifyInit(const std::shared_ptr<CPKCS11Object>& key, const void* parameter,
                  CK_ULONG parameterLength) override;
  void DecryptInit(const std::shared_ptr<CPKCS11Object>& key, const void* parameter,
                   CK_ULONG parameterLength) override;
};

// Reports CKF_DECRYPT like the others, but decrypts nothing: DecryptInit
// stays the base's CKR_MECHANISM_INVALID.
class CMech_SHA1_RSA_PKCS : public CMech {
 public:
  CMech_SHA1_RSA_PKCS();
  void Pad(SecureBytes& data, std::size_t blockLength) override;
  void FormatData(SecureBytes& data) override;
  void SignInit(const std::shared_ptr<CPKCS11Object>& key, const void* parameter,
                CK_ULONG parameterLength) override;
  void VerifyInit(const std::shared_ptr<CPKCS11Object>& key, const void* parameter,
                  CK_ULONG parameterLength) override;
};

// PKCS#1 v1.5 block type 01 of k bytes: 00 01, k - n - 3 bytes FF, 00, the
// n data bytes. CKR_DATA_INVALID unless k >= n + 4. The old data is wiped.
void PadBlockType1(SecureBytes& data, std::size_t k);

// DigestInfo of a SHA-1 digest: this prefix, then the 20 bytes.
inline constexpr std::uint8_t kSha1DigestInfoPrefix[] = {0x30, 0x21, 0x30, 0x09, 0x06,
                                                          0x05, 0x2B, 0x0E, 0x03, 0x02,
                                                          0x1A, 0x05, 0x00, 0x04, 0x14};

// The mechanism of `type` when the token type lists it and it is one of the
// three the module implements; null otherwise.
std::unique_ptr<CMech> CreateMech(std::span<const CK_MECHANISM_TYPE> tokenMechanisms,
                                  CK_MECHANISM_TYPE type);
std::unique_ptr<CMech> CreateMech(const CTokenType& tokenType, CK_MECHANISM_TYPE type);

// ---------------------------------------------------------------- init steps
// What C_SignInit, C_VerifyInit and C_DecryptInit do once the key is found
// and the token's previous operation of the kind is discarded: the checks,
// in their order, giving the mechanism to keep as the token's operation.
// A null pMechanism is CKR_ARGUMENTS_BAD, a null key
// CKR_OBJECT_HANDLE_INVALID; a mechanism the token does not offer
// CKR_MECHANISM_INVALID; the key checks raise as CheckAndBind.

// Asks the user first for a key whose CKA_ID starts with 'F' (see
// p11/confirmation.h): No is CKR_FUNCTION_FAILED, no answer
// CKR_FUNCTION_CANCELED. No card access.
std::unique_ptr<CMech> BeginSign(const CTokenType& tokenType, const CK_MECHANISM* pMechanism,
                                 const std::shared_ptr<CPKCS11Object>& key);
std::unique_ptr<CMech> BeginVerify(const CTokenType& tokenType, const CK_MECHANISM* pMechanism,
                                   const std::shared_ptr<CPKCS11Object>& key);
// A key that is no token object (CKA_TOKEN false) is CKR_KEY_HANDLE_INVALID,
// before the mechanism is looked at.
std::unique_ptr<CMech> BeginDecrypt(const CTokenType& tokenType, const CK_MECHANISM* pMechanism,
                                    const std::shared_ptr<CPKCS11Object>& key);

// ---------------------------------------------------------------- results
// The end of C_Sign and C_Decrypt once the result is computed (and kept by
// the token): a null pOut gets the length only; a large enough buffer gets
// the result and its length, and true is returned: the operation is over
// (the caller wipes the kept result and discards the mechanism); a short
// buffer gets the length and CKR_BUFFER_TOO_SMALL, the operation staying as
// it is. A null pulOutLen is CKR_ARGUMENTS_BAD.
bool DeliverResult(ByteView result, CK_BYTE_PTR pOut, CK_ULONG_PTR pulOutLen);

// ---------------------------------------------------------------- key pairs

// The caller's half of C_GenerateKeyPair, checked and built before the card
// is asked: the two new key objects (CKA_LOCAL and CKA_KEY_TYPE CKK_RSA set),
// the card's usage flags (4 sign, 8 decrypt; the key commands add 1 for the
// public and 2 for the private part), the modulus bits (1024 or 2048) and
// the public exponent to generate with.
struct KeyPairRequest {
  std::shared_ptr<CPKCS11PublicKeyObject> publicKey;
  std::shared_ptr<CPKCS11PrivateKeyObject> privateKey;
  unsigned usage = 0;
  unsigned modulusBits = 0;
  std::vector<std::uint8_t> publicExponent;
};

// Checks in this order (sessionState is the token's CKS_ state):
// null pMechanism, phPublicKey or phPrivateKey → CKR_ARGUMENTS_BAD;
// either template null or empty → CKR_TEMPLATE_INCOMPLETE;
// a mechanism other than CKM_RSA_PKCS_KEY_PAIR_GEN → CKR_MECHANISM_INVALID;
// the access check of KeyPairAccess;
// a template entry the key class does not take at creation →
// CKR_ATTRIBUTE_TYPE_INVALID (values as SetFromTemplate stores them);
// neither CKA_SIGN nor CKA_DECRYPT true on the private key →
// CKR_TEMPLATE_INCOMPLETE; CKA_TOKEN false on the private key, or a
// CKA_KEY_TYPE other than CKK_RSA on either → CKR_ATTRIBUTE_VALUE_INVALID;
// no CKA_MODULUS_BITS on the public key (or not a CK_ULONG) →
// CKR_ATTRIBUTE_TYPE_INVALID, bits other than 1024 or 2048 →
// CKR_ATTRIBUTE_VALUE_INVALID; no CKA_PUBLIC_EXPONENT →
// CKR_TEMPLATE_INCOMPLETE, an empty one CKR_ATTRIBUTE_VALUE_INVALID.
KeyPairRequest PrepareKeyPair(const CK_MECHANISM* pMechanism, const CK_ATTRIBUTE* pPublicKeyTemplate,
                              CK_ULONG ulPublicKeyAttributeCount,
                              const CK_ATTRIBUTE* pPrivateKeyTemplate,
                              CK_ULONG ulPrivateKeyAttributeCount, CK_STATE sessionState,
                              const CK_OBJECT_HANDLE* phPublicKey,
                              const CK_OBJECT_HANDLE* phPrivateKey);

// Whether a new key pair may be made in this session state; token and
// private are true when either template says so. Token and private: only
// CKS_RW_USER_FUNCTIONS (CKS_RO_USER_FUNCTIONS → CKR_SESSION_READ_ONLY,
// others CKR_USER_NOT_LOGGED_IN); token only: not in a read-only session
// (CKR_SESSION_READ_ONLY); private only: a user session
// (CKR_USER_NOT_LOGGED_IN).
void KeyPairAccess(bool token, bool isPrivate, CK_STATE sessionState);

// The lowest key reference from first to last that none of the token's keys
// uses; CKR_DEVICE_MEMORY when all are taken.
std::uint8_t FreeKeyReference(std::span<const std::uint8_t> used, std::uint8_t first,
                              std::uint8_t last);

// Where a generated key lies: its reference, the modulus bits, and the key
// file that GetKeyFile named (path, index 0, the file's length).
void PlaceGeneratedKey(CPKCS11KeyObject& key, std::uint8_t keyReference, unsigned modulusBits,
                       std::vector<std::uint8_t> path, std::uint16_t length);

}  // namespace zorbix::p11
