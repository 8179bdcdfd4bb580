// What a virtual card holds: its ATR, codes, files and keys. Plain data; the
// card engine (card.h) plays it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zorbix::sim {

using Bytes = std::vector<std::uint8_t>;

enum class Access : std::uint8_t {
  Always,  // no condition
  Pin,     // needs the PIN verified in this card session (6982 otherwise)
  Never,   // 6982 always
};

struct FileSpec {
  // File ids from the master file down, the MF itself excluded:
  // {} is the MF, {0x5015} the PKCS#15 DF, {0x5015, 0x6001} the PrKDF.
  std::vector<std::uint16_t> path;
  bool isDf = false;
  Bytes dfName;                 // DF name / AID selectable with P1=04 (may be empty)
  Bytes content;                // EF contents; size is max(size, content.size())
  std::size_t size = 0;         // allocated EF size (rest is zero filled)
  std::uint8_t sfi = 0;         // short file identifier, 0 = none
  Access read = Access::Always;
  Access update = Access::Pin;
};

// An RSA key held on the card. Big-endian unsigned integers.
struct KeySpec {
  std::uint16_t fileId = 0;     // key file (e.g. 0x0101 under 3F11)
  std::uint8_t reference = 0;   // key reference used by MSE / proprietary commands
  Bytes modulus;
  Bytes publicExponent;
  Bytes privateExponent;
  Bytes p, q, dp, dq, qinv;     // CRT parts (may be empty)
};

struct Profile {
  std::string name;             // module type name or known-ATR row name
  std::string description;      // one line for --list-profiles
  Bytes atr;                    // life phase at atr[n-3], status bytes at the end
  std::string pin;
  std::string puk;
  int pinTries = 3;             // retry limits
  int pukTries = 10;
  Bytes cardData;               // answer of 90 B8 (18 bytes; 17 on newer cards)
  int cardDataPhase = -1;       // index of the life-phase byte in cardData; -1: none
  Bytes events;                 // answer of 90 18
  std::vector<FileSpec> files;
  std::vector<KeySpec> keys;
  bool secureChannel = false;   // PIN commands only inside the secure channel
  // Channel material (CV certificates, card keys) for the secure channel, as
  // the profile's builder lays it out; empty when the card has no channel.
  std::vector<std::pair<std::string, Bytes>> channelData;
};

// Every profile the virtual card knows, in a stable order.
const std::vector<Profile>& AllProfiles();

// The profile called `name`, or nullptr. "basic" names the engine's small
// test card (BasicProfile), which is not one of AllProfiles.
const Profile* FindProfile(const std::string& name);

// Name of the card the demo uses by default.
const char* DefaultProfileName();

}  // namespace zorbix::sim
