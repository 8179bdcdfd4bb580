// The version record as an ELF note; linked into every binary we ship.
#include <cstdint>

#ifndef ZORBIX_VERSION_MAJOR
#error "ZORBIX_VERSION_MAJOR..BUILD come from ZORBIX_VERSION_PARTS"
#endif

namespace {
constexpr std::uint32_t kMS = (ZORBIX_VERSION_MAJOR << 16) | ZORBIX_VERSION_MINOR;
constexpr std::uint32_t kLS = (ZORBIX_VERSION_PATCH << 16) | ZORBIX_VERSION_BUILD;
}  // namespace

// Note layout: name size, descriptor size, type, name padded to 4, descriptor.
struct ZorbixVersionNote {
  std::uint32_t nameSize;
  std::uint32_t descSize;
  std::uint32_t type;
  char name[8];
  std::uint32_t record[13];
};
static_assert(sizeof(ZorbixVersionNote) == 12 + 8 + 52);

// The ".note" prefix makes the assembler type the section SHT_NOTE; `used`
// and the linker's keeping of note sections survive --gc-sections.
extern "C" __attribute__((section(".note.zorbix.version"), used, aligned(4)))
const ZorbixVersionNote zorbix_version_note = {
    7, 52, 1, "ZORBIX",
    {
        0xFEEF04BDu,  // signature
        0x00010000u,  // structure version 1.0
        kMS, kLS,     // file version
        kMS, kLS,     // product version
        0x3Fu,        // flags mask
        0,            // flags
        0,            // OS: unknown (not a Windows file)
        1,            // type: application
        0,            // subtype
        0, 0,         // date
    }};
