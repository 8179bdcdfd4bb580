// The module's slot for a reader, found by C_GetSlotList and C_GetSlotInfo
// as an application would.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "p11/module.h"

namespace zorbix::p11test {

// 0 (and a test failure) when no slot describes the reader.
inline CK_SLOT_ID SlotOfReader(const std::string& name) {
  CK_ULONG count = 0;
  EXPECT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
  std::vector<CK_SLOT_ID> ids(count);
  EXPECT_EQ(C_GetSlotList(CK_FALSE, ids.data(), &count), CKR_OK);
  for (CK_SLOT_ID id : ids) {
    CK_SLOT_INFO info;
    EXPECT_EQ(C_GetSlotInfo(id, &info), CKR_OK);
    if (std::memcmp(info.slotDescription, name.data(), std::min<std::size_t>(name.size(), 64)) == 0)
      return id;
  }
  ADD_FAILURE() << "no slot for " << name;
  return 0;
}

}  // namespace zorbix::p11test
