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

// The same, with what writing objects needs: file sizes and creation, the
// stored form of values and the communicator's key commands.
class CCommWriteAccess : public p15::CCardWriteAccess {
 public:
  explicit CCommWriteAccess(CCommunicator& comm) : files_(comm), comm_(comm) {}

  void SelectName(std::string_view name) override { files_.SelectName(name); }
  void SelectId(std::uint16_t fileId) override { files_.SelectId(fileId); }
  void ReadObject(std::vector<std::uint8_t>& out, std::uint16_t offset) override {
    files_.ReadObject(out, offset);
  }
  void WriteObject(std::span<const std::uint8_t> element, std::uint16_t offset) override {
    files_.WriteObject(element, offset);
  }
  void UpdateBinaryAt(std::uint16_t offset, std::span<const std::uint8_t> bytes) override {
    files_.UpdateBinaryAt(offset, bytes);
  }
  void MarkTokenNotRecognised() override { files_.MarkTokenNotRecognised(); }

  std::uint16_t SelectIdSize(std::uint16_t fileId) override { return comm_.SelectIdSize(fileId); }
  std::uint16_t SelectPathSize(std::span<const std::uint8_t> path) override {
    return comm_.SelectPathSize(path);
  }
  void ReadBinaryAt(std::vector<std::uint8_t>& out, std::uint16_t offset,
                    std::size_t count) override {
    comm_.ReadBinaryAt(out, offset, count);
  }
  void CreateEf(std::span<const std::uint8_t> path, bool isPrivate, std::uint16_t size) override {
    comm_.CreateEf(path, isPrivate, size);
  }
  std::vector<std::uint8_t> CompressForCard(std::span<const std::uint8_t> value) override {
    return CCommunicator::CompressForCard(value);
  }
  std::uint16_t GetKeyFile(unsigned usage, std::uint8_t keyReference,
                           std::vector<std::uint8_t>& path) override {
    return comm_.GetKeyFile(usage, keyReference, path);
  }
  CK_RV EraseKey(unsigned usage, std::uint8_t keyReference) override {
    return comm_.EraseKey(usage, keyReference);
  }
  CK_RV PutKeyComponent(unsigned usage, std::uint8_t tag, std::span<const std::uint8_t> value,
                        std::uint8_t keyReference) override {
    return comm_.PutKeyComponent(usage, tag, value, keyReference);
  }
  std::uint8_t FirstKeyReference() const override { return comm_.FirstKeyReference(); }
  std::uint8_t LastKeyReference() const override { return comm_.LastKeyReference(); }

 private:
  CCommFileAccess files_;
  CCommunicator& comm_;
};

}  // namespace zorbix::comm
