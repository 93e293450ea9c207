// The desktop programs' patch file argument: which folder the run then works
// in, and which arguments are refused with a box.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/PatchFolder.h"
#include "framework/ScopedToolkit.h"
#include "framework/headless/Headless.h"
#include "platform/sim/SimPlatform.h"

namespace fs = std::filesystem;

namespace {

class PatchFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    start = fs::current_path();
    root = fs::temp_directory_path() /
           ("qv-patchfolder-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root / "Board A");
    fs::create_directories(root / "empty");
    std::ofstream(root / "Board A" / "Quorvaltine.ini") << "x\n";
    std::ofstream(root / "Board A" / "other.ini") << "x\n";
    fs::create_directories(root / "Board B");
    std::ofstream(root / "Board B" / "quorvaltine.ini") << "x\n";
    root = fs::canonical(root);
    fs::current_path(root / "empty");
    platform::Transcript::SetStream(&out);
  }
  void TearDown() override {
    platform::Transcript::SetStream(nullptr);
    fs::current_path(start);
    fs::remove_all(root);
  }
  fs::path start, root;
  platform::SimPlatform sim{true};
  THeadlessToolkit tk;
  std::ostringstream out;
  platform::ScopedPlatform useSim{sim};
  ScopedToolkit useTk{tk};
};

TEST_F(PatchFolderTest, TheFileOrItsFolderBecomesTheWorkingDirectory) {
  struct Row {
    fs::path argument;
    const char* why;
  };
  for (const Row& r :
       {Row{root / "Board A" / "Quorvaltine.ini", "the patch file"}, Row{root / "Board A", "its folder"},
        Row{fs::path("..") / "Board A", "a relative folder"},
        Row{fs::path("..") / "Board A" / "Quorvaltine.ini", "a relative file"}}) {
    fs::current_path(root / "empty");
    EXPECT_EQ(EnterPatchFolder(r.argument), "") << r.why;
    EXPECT_EQ(fs::current_path(), root / "Board A") << r.why;
  }
}

TEST_F(PatchFolderTest, AWrongOrMissingArgumentIsRefusedAndTheFolderStays) {
  struct Row {
    fs::path argument;
    const char* message;
  };
  fs::path other = root / "Board A" / "other.ini";
  fs::path missing = root / "gone" / "Quorvaltine.ini";
  for (const Row& r : {Row{other, "\n\nist keine Patch-Datei: sie muss Quorvaltine.ini heißen!"},
                       Row{missing, "\n\nnicht gefunden!"}}) {
    std::u8string shown = r.argument.u8string();
    EXPECT_EQ(EnterPatchFolder(r.argument), std::string(shown.begin(), shown.end()) + r.message);
    EXPECT_EQ(fs::current_path(), root / "empty");
  }
}

// Windows opens the patch file whatever the case of its name; Linux would
// not find it, so the name must match there.
TEST_F(PatchFolderTest, TheNamesCaseCountsOnlyWhereTheSystemHeedsIt) {
  fs::path lower = root / "Board B" / "quorvaltine.ini";
#ifdef _WIN32
  EXPECT_EQ(EnterPatchFolder(lower), "");
  EXPECT_EQ(fs::current_path(), root / "Board B");
#else
  EXPECT_NE(EnterPatchFolder(lower), "");
  EXPECT_EQ(fs::current_path(), root / "empty");
#endif
}

// The platform decides, so one build shows both rules.
TEST_F(PatchFolderTest, ThePlatformSaysWhetherTheNamesCaseCounts) {
  fs::path lower = root / "Board B" / "quorvaltine.ini";
  for (bool ignoreCase : {true, false}) {
    sim.SetFileNamesIgnoreCase(ignoreCase);
    fs::current_path(root / "empty");
    EXPECT_EQ(EnterPatchFolder(lower).empty(), ignoreCase) << ignoreCase;
    EXPECT_EQ(fs::current_path(), ignoreCase ? root / "Board B" : root / "empty") << ignoreCase;
  }
}

TEST_F(PatchFolderTest, ARefusalIsAnErrorBoxAndNoArgumentChangesNothing) {
  EXPECT_TRUE(AcceptStartArguments({}));
  EXPECT_EQ(fs::current_path(), root / "empty");
  EXPECT_EQ(out.str(), "");

  EXPECT_FALSE(AcceptStartArguments({root / "Board A", root / "Board A"}));
  EXPECT_EQ(fs::current_path(), root / "empty");
  EXPECT_NE(out.str().find(
                "beep\nbox Fehler: Bitte nur eine Patch-Datei Quorvaltine.ini (oder ihren Ordner) angeben!"),
            std::string::npos)
      << out.str();

  EXPECT_TRUE(AcceptStartArguments({root / "Board A" / "Quorvaltine.ini"}));
  EXPECT_EQ(fs::current_path(), root / "Board A");
}

}  // namespace
