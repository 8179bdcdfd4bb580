// Sessions and the per-slot token contexts they share: the token's card
// connection, its PKCS#15 directory files, objects, login state and active
// operations.
#pragma once

#include <PCSC/winscard.h>
#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "p11/mechanisms.h"
#include "p11/objects.h"
#include "pkcs15/directories.h"
#include "platform/secret.h"

namespace zorbix::comm {
class CCommunicator;
}

namespace zorbix::p15 {
class CP15EFUS;
}

namespace zorbix::p11 {

class CSlot;
class CSlotManager;
class CTokenType;

inline constexpr CK_SESSION_HANDLE kFirstSessionHandle = 0x110000;
// The shared state before the first session of a token.
inline constexpr CK_STATE kNoSessionState = static_cast<CK_STATE>(-1);

// The state shared by every session of one token. Owns the communicator
// (the card connection), the four directory files, the unused-space file,
// the object store and the token's find, sign, verify and decrypt
// operations. It is the objects' loader: values kept on the card are read
// through it, each under a card transaction.
class CTokenContext final : public CObjectLoader {
 public:
  // Connects the slot's card through a communicator of the type's kind (a
  // card already connected is reset). The files are empty until read.
  CTokenContext(CSlot& slot, const CTokenType& type);
  // Disconnects the card (leaving it powered) and destroys the operations,
  // the files and every object: their handles become invalid.
  ~CTokenContext() override;
  CTokenContext(const CTokenContext&) = delete;
  CTokenContext& operator=(const CTokenContext&) = delete;

  // ---- card work
  // Brackets one operation's card work in a PC/SC transaction on the slot;
  // nests (only the outermost begins and ends the transaction). Raises
  // CKR_SESSION_HANDLE_INVALID when the card this context connected to is
  // gone: removed, or its connection dropped since (a failed transmission or
  // a removal seen by C_WaitForSlotEvent resets the slot's card state). A
  // card put back is a new card that this context never read.
  class CardWork {
   public:
    explicit CardWork(CTokenContext& context);
    ~CardWork();
    CardWork(const CardWork&) = delete;
    CardWork& operator=(const CardWork&) = delete;

   private:
    CTokenContext& context_;
    std::unique_lock<std::recursive_mutex> hold_;
  };
  // The card connection the communicator made is still the slot's.
  bool CardConnected() const;

  CSlot& Slot() const { return slot_; }
  CK_SLOT_ID SlotId() const { return slotId_; }
  comm::CCommunicator& Communicator() const { return *communicator_; }

  // ---- sessions and login state
  const std::map<CK_SESSION_HANDLE, CK_FLAGS>& Sessions() const { return sessions_; }
  std::size_t SessionCount() const { return sessions_.size(); }
  CK_STATE State() const { return state_; }
  void SetState(CK_STATE state) { state_ = state; }
  // The user or the SO is logged in: private objects are visible.
  bool LoggedIn() const;
  CK_FLAGS SessionFlags() const { return sessionFlags_; }
  CK_ULONG DeviceError() const { return deviceError_; }

  // ---- objects and files
  CObjectStore& Objects() { return objects_; }
  const CObjectStore& Objects() const { return objects_; }
  p15::CP15CDF& CertificateDirectory() { return *certificates_; }
  p15::CP15PrKDF& PrivateKeyDirectory() { return *privateKeys_; }
  p15::CP15PuKDF& PublicKeyDirectory() { return *publicKeys_; }
  p15::CP15DODF& DataObjectDirectory() { return *dataObjects_; }
  // The directory that lists objects of this class; CKR_ATTRIBUTE_TYPE_INVALID
  // for a class no directory holds.
  p15::CP15File& DirectoryOfClass(CK_OBJECT_CLASS objectClass);
  // The unused-space file (5033): read on first need by the writing calls.
  p15::CP15EFUS& UnusedSpaceFile() { return *unusedSpace_; }

  // Token-wide format flags for the files it writes: standard format 1 or
  // 0, path form 2 (binary) or 0 (text). Directory reads only lower them.
  int StandardFormat() const { return standardFormat_; }
  int PathForm() const { return pathForm_; }
  void SetStandardFormat(int value) { standardFormat_ = value; }
  void SetPathForm(int value) { pathForm_ = value; }
  // Card key references taken by key objects (rebuilt before key generation).
  std::set<std::uint8_t>& KeyReferencesInUse() { return keyReferencesInUse_; }

  // ---- operations, one of each kind per token, shared by its sessions
  struct FindOperation {
    bool active = false;
    std::vector<CK_OBJECT_HANDLE> results;  // still to be returned
  };
  struct SignOperation {
    bool active = false;
    SecureBytes signature;  // computed, waiting to be fetched
    std::unique_ptr<CMech> mechanism;
    // Inactive, no mechanism, the signature wiped.
    void Reset();
  };
  struct VerifyOperation {
    bool active = false;
    std::unique_ptr<CMech> mechanism;
    void Reset();
  };
  struct DecryptOperation {
    bool active = false;
    SecureBytes plaintext;  // deciphered, waiting to be fetched
    std::unique_ptr<CMech> mechanism;
    void Reset();
  };
  FindOperation& Find() { return find_; }
  SignOperation& Sign() { return sign_; }
  VerifyOperation& Verify() { return verify_; }
  DecryptOperation& Decrypt() { return decrypt_; }

  // ---- session opening
  // Reads TokenInfo again and every directory file not read yet, adding
  // their objects to the store and lowering the format flags; inside the
  // caller's CardWork.
  void ReadCardFiles();

  // ---- CObjectLoader
  void ReadCompressed(ByteView path, std::vector<std::uint8_t>& out) override;
  // The card key's public part also goes to the other key objects of the
  // same reference that lack it: one card key, one read.
  void ReadPublicKey(std::uint8_t keyReference, std::vector<std::uint8_t>& exponent,
                     std::vector<std::uint8_t>& modulus) override;

 private:
  friend class CSessionManager;

  // In the order of the data model; destroyed as the destructor says.
  std::set<std::uint8_t> keyReferencesInUse_;
  std::map<CK_SESSION_HANDLE, CK_FLAGS> sessions_;
  CSlot& slot_;
  CObjectStore objects_;
  int standardFormat_ = 1;
  int pathForm_ = 2;
  FindOperation find_;
  SignOperation sign_;
  VerifyOperation verify_;
  DecryptOperation decrypt_;
  std::unique_ptr<comm::CCommunicator> communicator_;
  CK_SLOT_ID slotId_;
  CK_FLAGS sessionFlags_ = 0;
  CK_STATE state_ = kNoSessionState;
  CK_ULONG deviceError_ = 0;
  std::unique_ptr<p15::CP15CDF> certificates_;
  std::unique_ptr<p15::CP15PrKDF> privateKeys_;
  std::unique_ptr<p15::CP15PuKDF> publicKeys_;
  std::unique_ptr<p15::CP15DODF> dataObjects_;
  std::unique_ptr<p15::CP15EFUS> unusedSpace_;

  // The card handle the communicator connected; the card is this context's
  // while the slot still holds it.
  SCARDHANDLE cardHandle_ = 0;
  int workDepth_ = 0;
};

// The token contexts of the slots with open sessions and the session
// handles that name them.
class CSessionManager {
 public:
  CSessionManager();
  ~CSessionManager();
  CSessionManager(const CSessionManager&) = delete;
  CSessionManager& operator=(const CSessionManager&) = delete;

  // True when the handle names an open session with a token context; the
  // call frame asks this before a body runs (removal rule).
  bool Resolves(CK_SESSION_HANDLE hSession) const;

  // CKR_SESSION_HANDLE_INVALID for an unknown handle.
  CTokenContext& ContextOfSession(CK_SESSION_HANDLE hSession);
  // CKR_SLOT_ID_INVALID when the slot has no context.
  CTokenContext& ContextOfSlot(CK_SLOT_ID slotID);
  // Null when the slot has no context.
  CTokenContext* FindContextOfSlot(CK_SLOT_ID slotID);
  void DestroyContextOfSlot(CK_SLOT_ID slotID);
  // The removal step: the session's card went away. CKR_SESSION_HANDLE_INVALID
  // for an unknown handle.
  void DestroyContextOfSession(CK_SESSION_HANDLE hSession);

  // Bodies of the session entry points.
  CK_SESSION_HANDLE OpenSession(CSlotManager& slots, CK_SLOT_ID slotID, CK_FLAGS flags);
  void CloseSession(CK_SESSION_HANDLE hSession);
  void CloseAllSessions(CK_SLOT_ID slotID);
  void GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo);
  void Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin,
             CK_ULONG ulPinLen);
  void Logout(CK_SESSION_HANDLE hSession);
  void SetPin(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
              CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen);

  // The PIN flags of C_GetTokenInfo: asks the card for the tries left when
  // the slot has a token context, and leaves the flags alone otherwise. A
  // card that went away ends the slot's sessions and sets no PIN flag.
  void ApplyPinFlags(CK_SLOT_ID slotID, CK_TOKEN_INFO& info);

 private:
  CTokenContext& CreateContext(CSlotManager& slots, CK_SLOT_ID slotID);
  // A new session on the context; a context left without sessions by a
  // failure is destroyed.
  CK_SESSION_HANDLE OpenOn(CTokenContext& context, CK_FLAGS flags);

  std::map<CK_SLOT_ID, std::unique_ptr<CTokenContext>> contexts_;
  std::map<CK_SESSION_HANDLE, CK_SLOT_ID> sessions_;
  CK_SESSION_HANDLE nextSession_ = kFirstSessionHandle;
};

}  // namespace zorbix::p11
