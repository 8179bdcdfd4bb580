// An in-memory PKCS#15 EF for the file tests: serves and stores complete
// elements as the card would, and records every operation.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "pkcs15/cardfileaccess.h"
#include "pkcs15/errors.h"

namespace zorbix::testing {

// One EF of the PKCS#15 DF as the card holds it. Records every operation.
class FakeCard : public p15::CCardFileAccess {
 public:
  FakeCard(std::uint16_t fileId, std::vector<std::uint8_t> content)
      : fileId_(fileId), content_(std::move(content)) {}

  void SelectName(std::string_view name) override { trace.push_back("select " + std::string(name)); }
  void SelectId(std::uint16_t fid) override { trace.push_back("select " + Hex4(fid)); }

  void ReadObject(std::vector<std::uint8_t>& out, std::uint16_t offset) override {
    trace.push_back("read " + Hex4(offset));
    if (failReadAt && *failReadAt == offset) p15::Fail(failRv);
    const std::size_t at = Resolve(offset);
    if (at >= content_.size() || content_[at] != 0x30) p15::Fail(CKR_DATA_INVALID);
    const std::size_t total = ElementLength(at);
    if (total == 0 || at + total > content_.size()) p15::Fail(CKR_DATA_INVALID);
    out.assign(content_.begin() + at, content_.begin() + at + total);
  }

  void WriteObject(std::span<const std::uint8_t> e, std::uint16_t offset) override {
    trace.push_back("write " + Hex4(offset) + " " + std::to_string(e.size()));
    if (e.empty() || e[0] != 0x30) p15::Fail(CKR_DATA_INVALID);
    Put(Resolve(offset), e);
  }

  void UpdateBinaryAt(std::uint16_t offset, std::span<const std::uint8_t> bytes) override {
    bool zeros = std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
    trace.push_back("update " + Hex4(offset) + " " + std::to_string(bytes.size()) +
                    (zeros ? " zeros" : ""));
    Put(Resolve(offset), bytes);
  }

  void MarkTokenNotRecognised() override { marked = true; }

  const std::vector<std::uint8_t>& content() const { return content_; }

  std::vector<std::string> trace;
  bool marked = false;
  std::optional<std::uint16_t> failReadAt;
  CK_RV failRv = CKR_DEVICE_ERROR;
  std::size_t capacity = 0x1000;  // EF size: writes past it fail as 6B00 would

 private:
  static std::string Hex4(std::uint16_t v) {
    char b[5];
    std::snprintf(b, sizeof b, "%04X", v);
    return b;
  }
  std::size_t Resolve(std::uint16_t offset) const {
    if (offset & 0x8000) {
      EXPECT_EQ((offset >> 8) & 0x1F, fileId_ & 0x1F) << "short file identifier";
      return offset & 0xFF;
    }
    return offset;
  }
  // Two-byte tags are not used in these files; lengths as in the card's TLV rule.
  std::size_t ElementLength(std::size_t at) const {
    if (at + 1 >= content_.size()) return 0;
    const std::uint8_t l = content_[at + 1];
    if (l <= 0x80) return 2 + l;
    if (l == 0x81 && at + 2 < content_.size()) return 3 + content_[at + 2];
    if (l == 0x82 && at + 3 < content_.size())
      return 4 + (content_[at + 2] << 8 | content_[at + 3]);
    return 0;
  }
  void Put(std::size_t at, std::span<const std::uint8_t> bytes) {
    if (at + bytes.size() > capacity) p15::Fail(CKR_DATA_INVALID);
    if (content_.size() < at + bytes.size()) content_.resize(at + bytes.size(), 0);
    std::copy(bytes.begin(), bytes.end(), content_.begin() + at);
  }

  std::uint16_t fileId_;
  std::vector<std::uint8_t> content_;
};

}  // namespace zorbix::testing
