// A strict checker for the reduced PKCS#15 schema the cards' files must
// follow: members in order, mandatory ones present, nothing unknown, no
// trailing data. Independent of the builders in sim/content_*.
#pragma once

#include <optional>

#include "sim/profile.h"

namespace zorbix::sim::test {

enum class EntryType {
  PrivateKey, PrivateKeyHalvo, PublicKey, PublicKeyHalvo, Certificate, CertificateHalvo,
  DataObject, TokenInfo, TokenInfoT61, UnusedSpace,
};

// True when `element` (one complete element) decodes as `type`.
bool Decodes(const Bytes& element, EntryType type);

// The complete elements of a PKCS#15 file: a run of SEQUENCEs from offset 0,
// then only zero bytes. nullopt when the file is not of that shape.
std::optional<std::vector<Bytes>> SplitFile(const Bytes& file);

// The Path of a directory entry of a decoded type (the value's location),
// as stored; and the stored path string taken to binary.
struct EntryPath {
  Bytes stored;
  Bytes binary;
  std::uint32_t index = 0, length = 0;
};
std::optional<EntryPath> PathOf(const Bytes& element, EntryType type);

// Facts of a decoded key, certificate or data object entry.
struct EntryFacts {
  bool isPrivate = false;      // CommonObjectFlags bit 0
  Bytes label;                 // label contents
  Bytes id;                    // iD (keys, certificates)
  int keyReference = -1;       // keys
  std::uint32_t modulusBits = 0;  // keys
};
std::optional<EntryFacts> FactsOf(const Bytes& element, EntryType type);

// Text path to binary, the module's rule.
Bytes TextToBinary(const Bytes& text);

}  // namespace zorbix::sim::test
