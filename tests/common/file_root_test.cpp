// Files under another root, as a sandboxed process sees them: nothing inside may lead the reader out.
#include "common/file_root.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/paths.h"
#include "tests/support/test_support.h"

namespace cs {
namespace {

namespace fs = std::filesystem;

TEST(FileRoot, PathsAndSoftLinksResolveInsideTheRoot) {
  test::TempDir dir;
  const fs::path root = dir.path() / "root";
  test::writeFile(root / "etc/inside", "inside");
  test::writeFile(dir.path() / "outside/secret", "secret");
  // Links a sandboxed program could plant: to a host path, to its own "/etc", and upwards past its root.
  fs::create_directory_symlink(dir.path() / "outside", root / "planted");
  fs::create_directory_symlink("/etc", root / "own");
  fs::create_directory_symlink("../../outside", root / "etc/up");
  const FileRoot files = FileRoot::at(root);
  ASSERT_TRUE(files.ok());

  EXPECT_EQ(files.read("/own/inside"), "inside");
  EXPECT_EQ(files.read("etc/../../etc/inside"), "inside");
  for (const fs::path& path :
       {dir.path() / "outside/secret", fs::path("/planted/secret"), fs::path("/etc/up/secret")}) {
    EXPECT_FALSE(files.exists(path)) << path;
  }
  // A FIFO planted there is not read: opening it for reading would wait for a writer that never comes.
  ASSERT_EQ(mkfifo((root / "etc/fifo").c_str(), 0600), 0);
  EXPECT_EQ(files.read("/etc/fifo"), "");
  EXPECT_TRUE(files.isDirectory("/own"));
  EXPECT_FALSE(files.isDirectory("/etc/inside"));
  EXPECT_EQ(files.entryNames("/etc").size(), 3u);
  EXPECT_EQ(files.lastWriteTime("/own/inside"), lastWriteTime(root / "etc/inside"));
}

}  // namespace
}  // namespace cs
