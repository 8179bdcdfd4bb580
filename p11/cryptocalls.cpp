// The cryptographic entry points on a token context: the host-side steps are
// the mechanisms' (p11/mechanisms.h), the card work the communicator's.
#include "p11/cryptocalls.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "comm/communicator.h"
#include "comm/fileaccess.h"
#include "p11/mechanisms.h"
#include "p11/objectcalls.h"
#include "p11/pkcs11exception.h"
#include "p11/sessions.h"
#include "p11/slots.h"
#include "pkcs15/freespace.h"

namespace zorbix::p11 {

namespace {

[[noreturn]] void Fail(CK_RV rv) { throw Pkcs11Exception(rv); }

void Check(CK_RV rv) {
  if (rv != CKR_OK) Fail(rv);
}

ByteView Input(CK_BYTE_PTR p, CK_ULONG length) {
  if (!p && length != 0) Fail(CKR_ARGUMENTS_BAD);
  if (!p) return {};
  return {p, static_cast<std::size_t>(length)};
}

// The token type the context was made for. The slot forgets it when its card
// is reset or pulled out: then this context's card is gone.
const CTokenType& TypeOf(CTokenContext& context) {
  const CTokenType* type = context.Slot().TokenType();
  if (!type || !context.CardConnected()) Fail(CKR_SESSION_HANDLE_INVALID);
  return *type;
}

void RemoveFrom(p15::CP15File& directory, const CPKCS11Object& object) {
  auto& list = directory.Objects();
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&object](const auto& p) { return p.get() == &object; }),
             list.end());
}

// The key references of every key the two key directories list.
void CollectKeyReferences(CTokenContext& context) {
  auto& used = context.KeyReferencesInUse();
  used.clear();
  for (p15::CP15File* directory : {static_cast<p15::CP15File*>(&context.PrivateKeyDirectory()),
                                   static_cast<p15::CP15File*>(&context.PublicKeyDirectory())})
    for (const auto& object : directory->Objects())
      if (const auto* key = dynamic_cast<const CPKCS11KeyObject*>(object.get()))
        used.insert(key->KeyReference());
}

// The card-family 1.0 generation command names no modulus size: the card
// makes the size it makes. A key of another size than the template asked would be
// listed with a length it does not have, and could not sign: it is erased
// and refused. The parts read go to both new objects.
void CheckGeneratedSize(comm::CCommunicator& card, KeyPairRequest& request,
                        std::uint8_t reference) {
  comm::Bytes exponent, modulus;
  card.ReadPublicKey(reference, exponent, modulus);
  const auto first = std::find_if(modulus.begin(), modulus.end(), [](std::uint8_t b) { return b != 0; });
  const std::size_t bytes = static_cast<std::size_t>(modulus.end() - first);
  if (bytes * 8 != request.modulusBits) {
    try {
      card.EraseKey(request.usage, reference);
    } catch (const Pkcs11Exception&) {
    }
    Fail(CKR_ATTRIBUTE_VALUE_INVALID);
  }
  for (CPKCS11KeyObject* key : {static_cast<CPKCS11KeyObject*>(request.privateKey.get()),
                                static_cast<CPKCS11KeyObject*>(request.publicKey.get())}) {
    key->Set(CKA_MODULUS, modulus);
    key->Set(CKA_PUBLIC_EXPONENT, exponent);
  }
}

}  // namespace

// ---------------------------------------------------------------- operations

namespace {

using BeginOperation = std::unique_ptr<CMech> (*)(const CTokenType&, const CK_MECHANISM*,
                                                  const std::shared_ptr<CPKCS11Object>&);

// The Init calls: the key first, then the token's operation of the kind is
// discarded, and it is active again once `begin` gave its mechanism.
template <class Operation>
void Start(CSessionManager& sessions, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
           CK_OBJECT_HANDLE hKey, Operation& (CTokenContext::*operation)(), BeginOperation begin) {
  if (!pMechanism) Fail(CKR_ARGUMENTS_BAD);
  CTokenContext& context = sessions.ContextOfSession(hSession);
  const auto key = context.Objects().FindShared(hKey);
  Operation& op = (context.*operation)();
  op.Reset();
  op.mechanism = begin(TypeOf(context), pMechanism, key);
  op.active = true;
}

// The active operation's mechanism; CKR_OPERATION_NOT_INITIALIZED without.
template <class Operation>
CMech& MechanismOf(const Operation& op) {
  if (!op.active || !op.mechanism) Fail(CKR_OPERATION_NOT_INITIALIZED);
  return *op.mechanism;
}

// Sign and Decrypt: the card's result is computed once into `kept` and
// handed out whole, which ends the operation.
template <class Operation, class Compute>
void HandOut(Operation& op, SecureBytes& kept, Compute compute, CK_BYTE_PTR pOut,
             CK_ULONG_PTR pulOutLen) {
  CMech& mechanism = MechanismOf(op);
  if (kept.empty()) {
    compute(mechanism, kept);
    if (kept.empty()) Fail(CKR_DEVICE_ERROR);
  }
  if (DeliverResult(kept, pOut, pulOutLen)) op.Reset();
}

}  // namespace

void SignInit(CSessionManager& sessions, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
              CK_OBJECT_HANDLE hKey) {
  Start(sessions, hSession, pMechanism, hKey, &CTokenContext::Sign, BeginSign);
}

void Sign(CSessionManager& sessions, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData,
          CK_ULONG ulDataLen, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
  const ByteView data = Input(pData, ulDataLen);
  if (!pulSignatureLen) Fail(CKR_ARGUMENTS_BAD);
  CTokenContext& context = sessions.ContextOfSession(hSession);
  CTokenContext::CardWork work(context);
  CTokenContext::SignOperation& sign = context.Sign();
  const auto compute = [&](CMech& mechanism, SecureBytes& kept) {
    comm::Bytes signature;
    context.Communicator().Sign(mechanism, data, signature);
    kept.assign(signature.begin(), signature.end());
  };
  HandOut(sign, sign.signature, compute, pSignature, pulSignatureLen);
}

void VerifyInit(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  Start(sessions, hSession, pMechanism, hKey, &CTokenContext::Verify, BeginVerify);
}

void Verify(CSessionManager& sessions, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData,
            CK_ULONG ulDataLen, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
  const ByteView data = Input(pData, ulDataLen);
  const ByteView signature = Input(pSignature, ulSignatureLen);
  CTokenContext& context = sessions.ContextOfSession(hSession);
  CTokenContext::CardWork work(context);
  CTokenContext::VerifyOperation& verify = context.Verify();
  context.Communicator().VerifyOnCard(MechanismOf(verify), data, signature);
  verify.Reset();
}

void DecryptInit(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                 CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  Start(sessions, hSession, pMechanism, hKey, &CTokenContext::Decrypt, BeginDecrypt);
}

void Decrypt(CSessionManager& sessions, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData,
             CK_ULONG ulEncryptedDataLen, CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen) {
  const ByteView ciphertext = Input(pEncryptedData, ulEncryptedDataLen);
  if (!pulDataLen) Fail(CKR_ARGUMENTS_BAD);
  CTokenContext& context = sessions.ContextOfSession(hSession);
  CTokenContext::CardWork work(context);
  CTokenContext::DecryptOperation& decrypt = context.Decrypt();
  const auto compute = [&](CMech& mechanism, SecureBytes& kept) {
    context.Communicator().Decipher(mechanism.KeyReference(), ciphertext, kept);
  };
  HandOut(decrypt, decrypt.plaintext, compute, pData, pulDataLen);
}

// ---------------------------------------------------------------- key pairs

void GenerateKeyPair(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                     CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pPublicKeyTemplate,
                     CK_ULONG ulPublicKeyAttributeCount, CK_ATTRIBUTE_PTR pPrivateKeyTemplate,
                     CK_ULONG ulPrivateKeyAttributeCount, CK_OBJECT_HANDLE_PTR phPublicKey,
                     CK_OBJECT_HANDLE_PTR phPrivateKey) {
  if (!pMechanism || !phPublicKey || !phPrivateKey) Fail(CKR_ARGUMENTS_BAD);
  CTokenContext& context = sessions.ContextOfSession(hSession);
  CTokenContext::CardWork work(context);
  KeyPairRequest request =
      PrepareKeyPair(pMechanism, pPublicKeyTemplate, ulPublicKeyAttributeCount, pPrivateKeyTemplate,
                     ulPrivateKeyAttributeCount, context.State(), phPublicKey, phPrivateKey);

  comm::CCommunicator& card = context.Communicator();
  CollectKeyReferences(context);
  const std::vector<std::uint8_t> used(context.KeyReferencesInUse().begin(),
                                       context.KeyReferencesInUse().end());
  const std::uint8_t reference =
      FreeKeyReference(used, card.FirstKeyReference(), card.LastKeyReference());

  // The card-family 1.0 cards keep a key file per usage and part; the others
  // one per key reference (3F11 01kk), both parts in it.
  const bool filePerPart = dynamic_cast<comm::CComm_Halvo1_0*>(&card) != nullptr;
  Check(card.EraseKey(request.usage, reference));
  Check(card.GenerateKeyPair(request.usage, request.modulusBits, request.publicExponent,
                             reference));
  if (filePerPart) CheckGeneratedSize(card, request, reference);
  comm::Bytes path;
  std::uint16_t length = card.GetKeyFile(request.usage + comm::kUsagePrivate, reference, path);
  PlaceGeneratedKey(*request.privateKey, reference, request.modulusBits, path, length);
  // Asking for the public part's file elsewhere would select the same file.
  if (filePerPart) length = card.GetKeyFile(request.usage + comm::kUsagePublic, reference, path);
  PlaceGeneratedKey(*request.publicKey, reference, request.modulusBits, std::move(path), length);

  // The private key's entry first: a card pulled before the public one is
  // listed still shows a usable key.
  CTokenWriteAccess write(context);
  p15::TokenStorage& storage = write.Storage();
  p15::CP15PrKDF& privateKeys = context.PrivateKeyDirectory();
  p15::CP15PuKDF& publicKeys = context.PublicKeyDirectory();
  privateKeys.Objects().push_back(request.privateKey);
  try {
    p15::WriteDirectory(storage, privateKeys);
  } catch (...) {
    RemoveFrom(privateKeys, *request.privateKey);
    throw;
  }
  publicKeys.Objects().push_back(request.publicKey);
  try {
    p15::WriteDirectory(storage, publicKeys);
  } catch (...) {
    RemoveFrom(publicKeys, *request.publicKey);
    RemoveFrom(privateKeys, *request.privateKey);
    // Unlist the private key again; if that fails too, the card lists a key
    // this session does not show, as a later session will.
    try {
      p15::WriteDirectory(storage, privateKeys);
    } catch (const Pkcs11Exception&) {
    }
    throw;
  }
  context.Objects().Add(request.privateKey);
  context.Objects().Add(request.publicKey);
  *phPublicKey = request.publicKey->Handle();
  *phPrivateKey = request.privateKey->Handle();
}

// ---------------------------------------------------------------- random

void GenerateRandom(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                    CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen) {
  if (!pRandomData) Fail(CKR_ARGUMENTS_BAD);
  CTokenContext& context = sessions.ContextOfSession(hSession);
  CTokenContext::CardWork work(context);
  context.Communicator().GetChallenge(ulRandomLen, pRandomData);
}

}  // namespace zorbix::p11
