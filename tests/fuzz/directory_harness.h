// One directory file (PrKDF, PuKDF, CDF or DODF) as a card holds it: every
// element read and decoded in the standard or the card family's (HALVO)
// form. The file must go back as it was read, and every object is written
// anew in both forms and both path forms: what the module writes must read
// back, or the object would be lost on the next session.
#pragma once

#include <algorithm>

#include "p11/objects.h"
#include "pkcs15/directories.h"
#include "tests/fuzz/harness.h"
#include "tests/pkcs15/fake_card.h"
#include "tests/support/hex.h"

namespace zorbix::fuzz {

template <typename Directory>
int FuzzDirectory(const std::uint8_t* data, std::size_t size) {
  Directory file;
  testing::FakeCard card(file.FileId(), Bytes(data, data + size));
  try {
    file.Read(card);
  } catch (const p11::Pkcs11Exception&) {
  }

  // What was just read goes back as it stands.
  try {
    file.EncodeEntries();
  } catch (const p11::Pkcs11Exception&) {
    Finding("a directory just read cannot be written back");
  }

  for (const auto& object : file.Objects()) {
    for (const int standard : {1, 0}) {
      for (const int pathForm : {p15::kPathFormBinary, p15::kPathFormText}) {
        Directory writer;
        writer.SetStandardFormat(standard);
        writer.SetPathForm(pathForm);
        Bytes entry;
        // Too long for the entry buffer (non-zero) is a refusal. Encode
        // raising for an object the decoder built is a finding: it is not
        // caught here.
        if (writer.Encode(*object, entry) != 0) continue;
        Directory reader;
        if (!reader.Decode(entry)) {
          std::fprintf(stderr, "written (standard %d, path form %d): %s\n", standard, pathForm,
                       testing::ToHex(entry).c_str());
          Finding("an entry the module wrote does not decode");
        }
        Require(reader.Objects().size() == 1, "one entry gave several objects");
        const auto& back = *reader.Objects().front();
        Require(back.ObjectClass() == object->ObjectClass(), "the entry changed its class");
        const auto id = object->Bytes(CKA_ID), backId = back.Bytes(CKA_ID);
        Require(std::equal(id.begin(), id.end(), backId.begin(), backId.end()),
                "the entry changed its CKA_ID");
      }
    }
  }
  return 0;
}

}  // namespace zorbix::fuzz
