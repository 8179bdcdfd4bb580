// A second process for the variant tests.
//   variant_helper module <module.so> <reader>  loads the module, prints
//       "recognised <0|1> mechanisms <n>" for the reader's slot, then keeps
//       the module (and any claim it made) until a line or EOF on stdin
//   variant_helper hold <event name>             holds a named event likewise
//   variant_helper exists <event name>           prints 1 or 0
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "platform/named_event.h"

namespace {

void WaitForRelease() {
  std::string line;
  std::getline(std::cin, line);
}

int RunModule(const char* path, const std::string& reader) {
  void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::cerr << dlerror() << "\n";
    return 2;
  }
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR f = nullptr;
  if (!getList || getList(&f) != CKR_OK || f->C_Initialize(nullptr) != CKR_OK) return 3;
  CK_ULONG count = 0;
  if (f->C_GetSlotList(CK_FALSE, nullptr, &count) != CKR_OK) return 4;
  std::vector<CK_SLOT_ID> all(count);
  if (f->C_GetSlotList(CK_FALSE, all.data(), &count) != CKR_OK) return 4;
  CK_SLOT_ID mine = 0;
  for (CK_SLOT_ID id : all) {
    CK_SLOT_INFO info;
    if (f->C_GetSlotInfo(id, &info) == CKR_OK &&
        std::memcmp(info.slotDescription, reader.data(), reader.size()) == 0)
      mine = id;
  }
  count = 0;
  if (f->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK) return 5;
  std::vector<CK_SLOT_ID> present(count);
  if (f->C_GetSlotList(CK_TRUE, present.data(), &count) != CKR_OK) return 5;
  bool recognised = false;
  for (CK_ULONG i = 0; i < count; ++i) recognised = recognised || present[i] == mine;
  CK_ULONG mechanisms = 0;
  if (recognised && f->C_GetMechanismList(mine, nullptr, &mechanisms) != CKR_OK) return 6;
  std::cout << "recognised " << recognised << " mechanisms " << mechanisms << std::endl;
  WaitForRelease();
  f->C_Finalize(nullptr);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  if (mode == "module" && argc == 4) return RunModule(argv[2], argv[3]);
  if (mode == "exists") {
    std::cout << zorbix::platform::NamedEvent::Exists(argv[2]) << std::endl;
    return 0;
  }
  if (mode == "hold") {
    auto event = zorbix::platform::NamedEvent::Create(argv[2]);
    std::cout << (event ? "held" : "failed") << std::endl;
    WaitForRelease();
    return event ? 0 : 1;
  }
  return 2;
}
