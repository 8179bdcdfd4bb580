// The module against the virtual card bench: real pcscd, vpcd reader.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "p11/module.h"
#include "sim/bench.h"

namespace {

class OnBench : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { bench_ = zorbix::sim::Bench::Start(1).release(); }
  static void TearDownTestSuite() {
    delete bench_;
    bench_ = nullptr;
  }
  void SetUp() override { ASSERT_EQ(C_Initialize(nullptr), CKR_OK); }
  void TearDown() override { C_Finalize(nullptr); }

  CK_SLOT_ID ReaderSlot() {
    CK_ULONG count = 0;
    EXPECT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    std::vector<CK_SLOT_ID> ids(count);
    EXPECT_EQ(C_GetSlotList(CK_FALSE, ids.data(), &count), CKR_OK);
    for (CK_SLOT_ID id : ids) {
      CK_SLOT_INFO info;
      EXPECT_EQ(C_GetSlotInfo(id, &info), CKR_OK);
      const std::string name = bench_->ReaderName(0);
      if (std::memcmp(info.slotDescription, name.data(), std::min<std::size_t>(name.size(), 64)) == 0)
        return id;
    }
    ADD_FAILURE() << "no slot for " << bench_->ReaderName(0);
    return 0;
  }

  static zorbix::sim::Bench* bench_;
};

zorbix::sim::Bench* OnBench::bench_ = nullptr;

TEST_F(OnBench, WaitForSlotEventReportsInsertionAndRemoval) {
  if (bench_->CardIn(0)) bench_->Remove(0);
  const CK_SLOT_ID slot = ReaderSlot();
  ASSERT_GE(slot, 0x10000u);
  CK_SLOT_ID event = 0;
  EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr), CKR_NO_EVENT);

  bench_->Insert(0, zorbix::sim::BasicProfile());
  event = 0;
  EXPECT_EQ(C_WaitForSlotEvent(0, &event, nullptr), CKR_OK);
  EXPECT_EQ(event, slot);
  CK_SLOT_INFO info;
  ASSERT_EQ(C_GetSlotInfo(slot, &info), CKR_OK);
  EXPECT_EQ(info.flags, 6u) << "the basic card is of no module type";

  bench_->Remove(0);
  event = 0;
  EXPECT_EQ(C_WaitForSlotEvent(0, &event, nullptr), CKR_OK);
  EXPECT_EQ(event, slot);
  EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr), CKR_NO_EVENT);
}

// Environment for outside programs that load the module (sanitizer runtimes
// in a sanitizer build; their own leaks are not ours).
std::string OutsideEnv() {
  const char* preload = std::getenv("ZORBIX_OUTSIDE_PRELOAD");
  if (!preload || !*preload) return "";
  return std::string("LD_PRELOAD='") + preload + "' ASAN_OPTIONS=detect_leaks=0 ";
}

TEST_F(OnBench, OutsideApplicationListsTheSlots) {
  bench_->Insert(0, zorbix::sim::BasicProfile());
  const std::string command = OutsideEnv() + "/usr/bin/python3 " + ZORBIX_P11_SCRIPTS + "/list_slots.py " +
                              ZORBIX_P11_MODULE + " '" + bench_->ReaderName(0) + "'";
  const int status = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;

  // GnuTLS loads it through p11-kit; the basic card is of no module type, so
  // it lists no token but must load and initialise the module.
  const std::string p11tool = OutsideEnv() + "p11tool --provider " + ZORBIX_P11_MODULE + " --list-tokens";
  const int toolStatus = std::system(p11tool.c_str());
  EXPECT_TRUE(WIFEXITED(toolStatus) && WEXITSTATUS(toolStatus) == 0) << p11tool;
  bench_->Remove(0);
}

}  // namespace
