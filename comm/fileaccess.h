// The PKCS#15 file objects' card access, carried out by a communicator.
#pragma once

#include <functional>

#include "comm/communicator.h"
#include "p11/slots.h"
#include "pkcs15/cardfileaccess.h"

namespace zorbix::comm {

class CCommFileAccess : public p15::CCardFileAccess {
 public:
  // The token-not-recognised mark goes to the communicator's slot, or to
  // markNotRecognised when one is given.
  explicit CCommFileAccess(CCommunicator& comm) : comm_(comm) {}
  CCommFileAccess(CCommunicator& comm, std::function<void()> markNotRecognised)
      : comm_(comm), markNotRecognised_(std::move(markNotRecognised)) {}

  void SelectName(std::string_view name) override { comm_.SelectName(name); }
  void SelectId(std::uint16_t fileId) override { comm_.SelectId(fileId); }
  void ReadObject(std::vector<std::uint8_t>& out, std::uint16_t offset) override {
    comm_.ReadObject(out, offset);
  }
  void WriteObject(std::span<const std::uint8_t> element, std::uint16_t offset) override {
    comm_.WriteObject(element, offset);
  }
  void UpdateBinaryAt(std::uint16_t offset, std::span<const std::uint8_t> bytes) override {
    comm_.UpdateBinaryAt(offset, bytes);
  }
  void MarkTokenNotRecognised() override {
    if (markNotRecognised_)
      markNotRecognised_();
    else
      comm_.Slot().SetTokenNotRecognised(true);
  }

 private:
  CCommunicator& comm_;
  std::function<void()> markNotRecognised_;
};

}  // namespace zorbix::comm
