// A test-only terminal for the virtual card's secure channel: opens the
// channel the way the module's national-ID communicator does (certificates,
// internal and external authentication, session keys) and wraps and unwraps
// protected exchanges. Sends raw APDUs through a transport (the card engine
// directly, or PC/SC).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "comm/crypto.h"

namespace zorbix::simsc {

using Bytes = std::vector<std::uint8_t>;
// Raw command in, response with its status word out.
using Transport = std::function<Bytes(const Bytes&)>;

// A command answered with an unexpected status word.
struct CardStatus : std::runtime_error {
  CardStatus(const std::string& what, std::uint16_t sw) : std::runtime_error(what), sw(sw) {}
  std::uint16_t sw;
};

// A fault the terminal finds itself (bad certificate, MAC, framing).
struct HostError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct ChannelParams {
  crypto::RsaPublicKey root;
  Bytes rcaRef, cvCa, caRef, cvIfd, ifdKeyRef, snIfd, ifdAutRef, iccAutRef;
  crypto::RsaPrivateKey ifd;
  std::optional<int> macLen;
};

// DER Vexa-channelParams.
ChannelParams ParseChannelParams(const Bytes& der);

// X.509 certificate check with the issuer's key (sha1WithRSAEncryption,
// version 3); returns the subject's key. Throws HostError.
crypto::RsaPublicKey CheckCardCertificate(const crypto::RsaPublicKey& issuer, const Bytes& der);

struct Answer {
  Bytes data;
  std::uint16_t sw = 0;
};

class TestHost {
 public:
  explicit TestHost(Transport t) : transport_(std::move(t)) {}

  // One exchange, 61xx collected with GET RESPONSE; throws CardStatus when
  // `expected` (0: any) is not met.
  Answer Plain(const Bytes& apdu, std::uint16_t expected = 0);

  // The whole establishment; throws CardStatus or HostError.
  void Open(const ChannelParams& p);
  // Its steps, for tests that interleave faults.
  void SelectAndReadSerial();
  void PresentCertificates(const ChannelParams& p);
  void ReadCardKey(const ChannelParams& p);
  void InternalAuthenticate(const ChannelParams& p);
  void ExternalAuthenticate(const ChannelParams& p);

  // Protected exchange: the unwrapped answer (status from DO 99). A fault of
  // the protection or a card answer without 61xx closes the channel and
  // throws (CardStatus or HostError).
  Answer Protected(const Bytes& apdu);

  // The rules themselves (each advances ssc).
  Bytes Wrap(const Bytes& apdu);
  Answer Unwrap(const Bytes& response);
  Bytes ComputeMac(const Bytes& input);

  bool open = false;
  Bytes kEnc, kMac, ssc;
  std::size_t macLength = 4;

  // Knobs and what the last establishment saw.
  std::optional<Bytes> chosenRndIfd;
  enum class Form { Minimal, Signature, Complement };
  Form externalForm = Form::Minimal;  // which of S, N - S goes to the card
  bool usedComplement = false;        // the card's answer was N - SIG
  Bytes internalX;                    // the card's answer after our private key
  Bytes rndIfd, rndIcc, snIcc, kicc;
  crypto::RsaPublicKey pkIcc;

 private:
  void Close();
  Transport transport_;
};

}  // namespace zorbix::simsc
