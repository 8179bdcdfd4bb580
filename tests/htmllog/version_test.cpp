// Version record: reading the note back from our binaries and ELF fixtures.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/version.h"
#include "tests/support/temp_dir.h"

namespace zorbix::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Put(Bytes& b, std::size_t at, std::uint64_t v, int width) {
  if (b.size() < at + width) b.resize(at + width);
  for (int i = 0; i < width; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

Bytes Note(const std::string& owner, std::uint32_t type, const Bytes& desc) {
  Bytes n;
  Put(n, 0, owner.size() + 1, 4);
  Put(n, 4, desc.size(), 4);
  Put(n, 8, type, 4);
  n.insert(n.end(), owner.begin(), owner.end());
  n.push_back(0);
  while (n.size() % 4) n.push_back(0);
  n.insert(n.end(), desc.begin(), desc.end());
  while (n.size() % 4) n.push_back(0);
  return n;
}

Bytes Record(std::uint32_t fileMS, std::uint32_t fileLS, std::size_t words = 13) {
  const std::uint32_t all[13] = {0xFEEF04BDu, 0x00010000u, fileMS, fileLS,
                                 fileMS,      fileLS,      0x3F,   0,
                                 0,           1,           0,      0, 0};
  Bytes b;
  for (std::size_t i = 0; i < words; ++i) Put(b, b.size(), all[i], 4);
  return b;
}

// A minimal little-endian ELF file: the notes at 0x100, the headers at 0x200,
// either as a SHT_NOTE section (after the null section) or a PT_NOTE segment.
Bytes Elf(bool is64, bool asSection, const Bytes& notes,
          std::size_t areaSize = 0) {
  if (areaSize == 0) areaSize = notes.size();
  Bytes f(0x200, 0);
  std::memcpy(f.data(), "\x7f" "ELF", 4);
  f[4] = is64 ? 2 : 1;  // class
  f[5] = 1;             // little endian
  f[6] = 1;             // version
  Put(f, 16, 2, 2);     // executable
  std::copy(notes.begin(), notes.end(), f.begin() + 0x100);
  const int w = is64 ? 8 : 4;
  if (asSection) {
    const std::size_t entry = is64 ? 64 : 40;
    Put(f, is64 ? 40 : 32, 0x200, w);    // e_shoff
    Put(f, is64 ? 58 : 46, entry, 2);    // e_shentsize
    Put(f, is64 ? 60 : 48, 2, 2);        // e_shnum
    const std::size_t sh = 0x200 + entry;
    Put(f, sh + 4, 7, 4);                       // SHT_NOTE
    Put(f, sh + (is64 ? 24 : 16), 0x100, w);    // offset
    Put(f, sh + (is64 ? 32 : 20), areaSize, w); // size
    Put(f, sh + (is64 ? 48 : 32), 4, w);        // alignment
    f.resize(sh + entry, 0);
  } else {
    const std::size_t entry = is64 ? 56 : 32;
    Put(f, is64 ? 32 : 28, 0x200, w);    // e_phoff
    Put(f, is64 ? 54 : 42, entry, 2);    // e_phentsize
    Put(f, is64 ? 56 : 44, 1, 2);        // e_phnum
    Put(f, 0x200, 4, 4);                 // PT_NOTE
    Put(f, 0x200 + (is64 ? 8 : 4), 0x100, w);
    Put(f, 0x200 + (is64 ? 32 : 16), areaSize, w);
    Put(f, 0x200 + (is64 ? 48 : 28), 4, w);
    f.resize(0x200 + entry, 0);
  }
  return f;
}

class Version : public ::testing::Test {
 protected:

  std::string Write(const std::string& name, const Bytes& bytes) {
    const std::string path = dir_ / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  // The fixed record of `path`, or an empty vector when there is none.
  static Bytes FixedRecord(const std::string& path) {
    const std::uint32_t size = GetFileVersionInfoSize(path);
    if (size == 0) return {};
    Bytes block(size);
    EXPECT_FALSE(GetFileVersionInfo(path, size - 1, block.data()));
    EXPECT_TRUE(GetFileVersionInfo(path, size, block.data()));
    const void* out = nullptr;
    std::uint32_t len = 0;
    EXPECT_FALSE(VerQueryValue(block.data(), "\\StringFileInfo", &out, &len));
    if (!VerQueryValue(block.data(), "\\", &out, &len)) return {};
    const auto* p = static_cast<const std::uint8_t*>(out);
    return Bytes(p, p + len);
  }

  zorbix::testing::TempDir temp_;
  const std::filesystem::path& dir_ = temp_.path();
};

TEST_F(Version, OwnBinaryCarriesVersion1020) {
  const Bytes record = FixedRecord(ProgramFilePath());
  ASSERT_EQ(record.size(), 52u);
  FixedFileInfo info;
  std::memcpy(&info, record.data(), sizeof info);
  EXPECT_EQ(info.signature, 0xFEEF04BDu);
  EXPECT_EQ(info.fileVersionMS, 0x00010000u);
  EXPECT_EQ(info.fileVersionLS, 0x00020000u);
  EXPECT_EQ(info.productVersionMS, 0x00010000u);
  EXPECT_EQ(info.productVersionLS, 0x00020000u);
}

TEST_F(Version, FilesWithoutOurNoteHaveNoVersion) {
  std::ifstream self(ProgramFilePath(), std::ios::binary);
  // Our own header, cut off: every offset in it points past the end.
  Bytes head(64);
  self.read(reinterpret_cast<char*>(head.data()), 64);
  const Bytes record = Record(0x00010000, 0x00020000);
  const std::vector<std::string> paths = {
      dir_ / "missing",
      Write("text", Bytes{'h', 'e', 'l', 'l', 'o'}),
      Write("truncated", head),
      Write("other_owner", Elf(true, true, Note("ZORBIY", 1, record))),
      Write("other_type", Elf(true, true, Note("ZORBIX", 2, record))),
      Write("cut_area", Elf(true, true, Note("ZORBIX", 1, record), 40)),
      Write("huge_area", Elf(false, false, Note("ZORBIX", 1, record), 0x7FFFFFFF)),
      dir_.string(),
  };
  for (const auto& path : paths) {
    EXPECT_EQ(GetFileVersionInfoSize(path), 0u) << path;
    std::uint8_t block[128];
    EXPECT_FALSE(GetFileVersionInfo(path, sizeof block, block)) << path;
  }
  Bytes bigEndian = Elf(true, true, Note("ZORBIX", 1, record));
  bigEndian[5] = 2;
  EXPECT_EQ(GetFileVersionInfoSize(Write("big_endian", bigEndian)), 0u);
  if (std::filesystem::exists("/bin/true")) {
    EXPECT_EQ(GetFileVersionInfoSize("/bin/true"), 0u);
  }
}

TEST_F(Version, NoteFoundInSectionsAndSegmentsOfBothClasses) {
  const Bytes record = Record(0x00030001, 0x0000000C);
  const Bytes notes = [&] {
    Bytes n = Note("GNU", 3, Bytes(20, 0xAB));
    const Bytes ours = Note("ZORBIX", 1, record);
    n.insert(n.end(), ours.begin(), ours.end());
    return n;
  }();
  for (const bool is64 : {false, true}) {
    for (const bool asSection : {false, true}) {
      SCOPED_TRACE(std::string(is64 ? "64" : "32") +
                   (asSection ? " section" : " segment"));
      EXPECT_EQ(FixedRecord(Write("f", Elf(is64, asSection, notes))), record);
    }
  }
}

TEST_F(Version, ShortRecordIsReportedWithItsLength) {
  const Bytes shortRecord = Record(0x00010000, 0x00020000, 10);
  EXPECT_EQ(FixedRecord(Write("f", Elf(true, true, Note("ZORBIX", 1, shortRecord)))),
            shortRecord);
}

TEST(ModulePaths, ProgramAndLoadedLibraries) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  EXPECT_EQ(ProgramFilePath(), self);
  static int inThisProgram = 0;
  EXPECT_EQ(ModuleFilePath(&inThisProgram), self);
  // A C library function that sanitizers do not interpose.
  void* inLibc = dlsym(RTLD_DEFAULT, "gnu_get_libc_version");
  ASSERT_NE(inLibc, nullptr);
  const std::string libc = ModuleFilePath(inLibc);
  EXPECT_EQ(libc.front(), '/');
  EXPECT_NE(libc.find("libc.so"), std::string::npos) << libc;
  EXPECT_EQ(ModuleFilePath(nullptr), "");
}

}  // namespace
}  // namespace zorbix::platform
