// One bench (pcscd, vpcd reader) for a test suite, and the module initialised
// around each test.
#pragma once

#include <gtest/gtest.h>

#include "p11/module.h"
#include "sim/bench.h"
#include "tests/p11/reader_slot.h"

namespace zorbix::p11test {

class OnBench : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { bench_ = sim::Bench::Start(1).release(); }
  static void TearDownTestSuite() {
    delete bench_;
    bench_ = nullptr;
  }
  void SetUp() override { ASSERT_EQ(C_Initialize(nullptr), CKR_OK); }
  void TearDown() override { C_Finalize(nullptr); }

  CK_SLOT_ID ReaderSlot() { return SlotOfReader(bench_->ReaderName(0)); }

  static inline sim::Bench* bench_ = nullptr;
};

}  // namespace zorbix::p11test
