// The program's version record and the file-version calls that read it.
//
// Our binaries carry the classic 52-byte fixed file-version record in an ELF
// note (owner "ZORBIX", type 1, section .note.zorbix.version) added by the
// object library zorbix_version_note. These calls read it back from a file in
// the shape the log header and the system test use.
#pragma once

#include <cstdint>
#include <string>

namespace zorbix::platform {

inline constexpr char kVersionNoteOwner[] = "ZORBIX";
inline constexpr std::uint32_t kVersionNoteType = 1;
inline constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BDu;

// The fixed file-version record: 13 little-endian 32-bit words.
struct FixedFileInfo {
  std::uint32_t signature;
  std::uint32_t strucVersion;
  std::uint32_t fileVersionMS;
  std::uint32_t fileVersionLS;
  std::uint32_t productVersionMS;
  std::uint32_t productVersionLS;
  std::uint32_t fileFlagsMask;
  std::uint32_t fileFlags;
  std::uint32_t fileOS;
  std::uint32_t fileType;
  std::uint32_t fileSubtype;
  std::uint32_t fileDateMS;
  std::uint32_t fileDateLS;
};
static_assert(sizeof(FixedFileInfo) == 52);

// Size of the version block of `path`; 0 when the file is missing, is not an
// ELF file we can read, or carries no version note.
std::uint32_t GetFileVersionInfoSize(const std::string& path);

// Fills `block` (at least `size` bytes, as returned above) with the version
// block of `path`. False when there is none or `size` is too small.
bool GetFileVersionInfo(const std::string& path, std::uint32_t size,
                        void* block);

// Looks up `subBlock` in a block filled by GetFileVersionInfo. Only the root
// block "\\" exists: it yields the fixed record and its length.
bool VerQueryValue(const void* block, const char* subBlock, const void** out,
                   std::uint32_t* len);

// Full path of the running program (from /proc/self/exe); empty on failure.
std::string ProgramFilePath();

// Full path of the executable or shared object that contains
// `addressInModule`; empty when the address belongs to no loaded file.
std::string ModuleFilePath(const void* addressInModule);

}  // namespace zorbix::platform
