// The Debian package as CPack builds it: its metadata, its files, and the
// module loaded from a throwaway root where the package is unpacked (never
// installed on this machine).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "sim/bench.h"
#include "tests/e2e/outside.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/subprocess.h"

namespace zorbix::testing {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

TEST(DebianPackage, BuildsWithItsDependenciesAndServesCardsFromWhereItUnpacks) {
  TempDir dir;
  const ProcessResult cpack = RunProgram(ZORBIX_CPACK, {"--config", ZORBIX_BUILD_DIR "/CPackConfig.cmake", "-B",
                                                        dir.path().string()}, "");
  ASSERT_EQ(cpack.status, 0) << cpack.out << cpack.err;
  fs::path deb;
  for (const auto& e : fs::directory_iterator(dir.path()))
    if (e.path().extension() == ".deb") deb = e.path();
  ASSERT_FALSE(deb.empty()) << cpack.out;
  EXPECT_EQ(deb.filename().string().rfind("zorbix_1.0.2.0_", 0), 0u) << deb;

  const ProcessResult info = RunProgram("/usr/bin/dpkg-deb", {"-I", deb.string()}, "");
  ASSERT_EQ(info.status, 0) << info.err;
  for (const char* field : {" Package: zorbix\n", " Version: 1.0.2.0\n", " Section: utils\n"})
    EXPECT_TRUE(Has(info.out, field)) << field << "\n" << info.out;
  const ProcessResult arch = RunProgram("/usr/bin/dpkg", {"--print-architecture"}, "");
  EXPECT_TRUE(Has(info.out, " Architecture: " + arch.out)) << info.out;
  // dpkg-shlibdeps found what the module and the programs link.
  for (const char* dependency : {"libpcsclite1", "libstdc++6", "libc6"})
    EXPECT_TRUE(Has(info.out.substr(info.out.find(" Depends:")), dependency)) << dependency << "\n" << info.out;
#ifdef ZORBIX_HAVE_GUI
  EXPECT_TRUE(Has(info.out, "libqt6widgets6")) << info.out;
  EXPECT_TRUE(Has(info.out, "qt6-qpa-plugins")) << info.out;
#endif
  EXPECT_TRUE(Has(info.out, " Recommends: pcscd, p11-kit")) << info.out;

  const std::string module = "/usr/" ZORBIX_LIBDIR "/pkcs11/ORVA_P11.so";
  const ProcessResult contents = RunProgram("/usr/bin/dpkg-deb", {"-c", deb.string()}, "");
  ASSERT_EQ(contents.status, 0) << contents.err;
  std::vector<std::string> files = {"." + module, "./usr/share/p11-kit/modules/orva-zel.module",
                                    "./usr/bin/zorbix-check"};
#ifdef ZORBIX_HAVE_GUI
  files.insert(files.end(), {"./usr/bin/zorbix", "./usr/share/applications/zorbix.desktop",
                             "./usr/share/icons/hicolor/scalable/apps/zorbix.svg"});
#endif
  for (const std::string& f : files) EXPECT_TRUE(Has(contents.out, " " + f + "\n")) << f << "\n" << contents.out;
  // Nothing of the bench or the tests travels with it.
  EXPECT_FALSE(Has(contents.out, "vcard")) << contents.out;
  EXPECT_FALSE(Has(contents.out, "test")) << contents.out;

  const fs::path root = dir.path() / "root";
  ASSERT_EQ(RunProgram("/usr/bin/dpkg-deb", {"-x", deb.string(), root.string()}, "").status, 0);
  EXPECT_EQ(ReadFile(root / "usr/share/p11-kit/modules/orva-zel.module"),
            "# ORVA-ZEL and Vexa cards (ZORBIX)\nmodule: " + module + "\n");
#ifdef ZORBIX_HAVE_GUI
  const ProcessResult desktop =
      RunProgram("/usr/bin/desktop-file-validate", {(root / "usr/share/applications/zorbix.desktop").string()}, "");
  EXPECT_EQ(desktop.status, 0) << desktop.out << desktop.err;
  EXPECT_TRUE(Has(ReadFile(root / "usr/share/applications/zorbix.desktop"), "\nExec=zorbix\n"));
  EXPECT_TRUE(fs::exists(root / "usr/bin/zorbix"));
#endif

  // The unpacked module serves the card on the bench.
  auto bench = sim::Bench::Start(1);
  bench->Insert(0, "HALVO");
  const ProcessResult tokens =
      Outside({"p11tool", "--provider", (root.string() + module), "--list-tokens"});
  EXPECT_EQ(tokens.status, 0) << tokens.err;
  EXPECT_TRUE(Has(tokens.out, "Label: HALVO\n")) << tokens.out;
  EXPECT_TRUE(Has(tokens.out, "Manufacturer: ORVA-ZEL\n")) << tokens.out;
  const ProcessResult check = Outside({(root / "usr/bin/zorbix-check").string(), "--help"});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
}

}  // namespace
}  // namespace zorbix::testing
