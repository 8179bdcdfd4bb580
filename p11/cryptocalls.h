// Bodies of the cryptographic entry points: signing, verification and
// decryption on the card, key-pair generation and random numbers. Each runs
// on the token context of its session; the kept results and mechanisms are
// the token's, shared by its sessions.
#pragma once

#include <p11-kit/pkcs11.h>

namespace zorbix::p11 {

class CSessionManager;

void SignInit(CSessionManager& sessions, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
              CK_OBJECT_HANDLE hKey);
// The card signs once per operation: a length query keeps the signature for
// the call that fetches it, whatever data that call passes.
void Sign(CSessionManager& sessions, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData,
          CK_ULONG ulDataLen, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen);

void VerifyInit(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey);
// A failed verification leaves the operation active for another try.
void Verify(CSessionManager& sessions, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData,
            CK_ULONG ulDataLen, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen);

void DecryptInit(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                 CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey);
// As Sign: the card deciphers once, the plaintext is kept until fetched.
void Decrypt(CSessionManager& sessions, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData,
             CK_ULONG ulEncryptedDataLen, CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen);

// Generates the pair on the card in the first free key reference and lists
// both keys in the key directories. A failure leaves neither object behind.
void GenerateKeyPair(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                     CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pPublicKeyTemplate,
                     CK_ULONG ulPublicKeyAttributeCount, CK_ATTRIBUTE_PTR pPrivateKeyTemplate,
                     CK_ULONG ulPrivateKeyAttributeCount, CK_OBJECT_HANDLE_PTR phPublicKey,
                     CK_OBJECT_HANDLE_PTR phPrivateKey);

// The card's random numbers, 20 bytes per GET CHALLENGE.
void GenerateRandom(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                    CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen);

}  // namespace zorbix::p11
