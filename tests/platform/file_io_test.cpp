#include "platform/file_io.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillmark::platform {
namespace {

using testing::listFiles;
using testing::readFile;
using testing::TempDir;

Result<void> writeFile(const OutputFolder& folder, const std::string& name, const std::string& text)
{
    auto file = AtomicFile::create(folder, name);
    if (!file) return std::move(file).error();
    if (auto r = file->write(std::string_view(text)); !r) return r;
    return file->commit();
}

// A second run into the same folder replaces every file, whether the folder still expects new
// names or has learnt that they are taken; a temporary file a crashed run left in the way goes,
// and new names among the taken ones are still made.
TEST(AtomicFile, ReplacesEarlierFilesAndLeavesNoTemporaryName)
{
    TempDir dir;
    {
        auto folder = OutputFolder::open(dir.path());
        ASSERT_TRUE(folder.ok());
        for (const char* name : {"a.eml", "b.eml", "c.eml"}) ASSERT_TRUE(writeFile(*folder, name, "first"));
    }
    dir.write("b.eml.part", "left by a crash");
    auto folder = OutputFolder::open(dir.path());
    ASSERT_TRUE(folder.ok());
    const std::string small = "second";
    const std::string large(3 * AtomicFile::kDirectWrite, 'x');  // goes out without a copy
    ASSERT_TRUE(writeFile(*folder, "a.eml", small));
    ASSERT_TRUE(writeFile(*folder, "b.eml", large));
    ASSERT_TRUE(writeFile(*folder, "new.eml", small));
    ASSERT_TRUE(writeFile(*folder, "c.eml", small + large));
    EXPECT_EQ(listFiles(dir.path()), (std::vector<std::string>{"a.eml", "b.eml", "c.eml", "new.eml"}));
    EXPECT_EQ(readFile(dir / "a.eml"), small);
    EXPECT_EQ(readFile(dir / "b.eml"), large);
    EXPECT_EQ(readFile(dir / "c.eml"), small + large);
    EXPECT_EQ(readFile(dir / "new.eml"), small);
}

// Small and large pieces in any order arrive in order, and nothing is under the name before commit().
TEST(AtomicFile, PiecesOfAnySizeArriveInOrderOnlyAtCommit)
{
    TempDir dir;
    auto folder = OutputFolder::open(dir.path());
    ASSERT_TRUE(folder.ok());
    auto file = AtomicFile::create(*folder, "m.eml");
    ASSERT_TRUE(file.ok());
    std::string expected;
    for (std::size_t size : {std::size_t{10}, AtomicFile::kDirectWrite, std::size_t{1}, 2 * AtomicFile::kDirectWrite}) {
        const std::string piece(size, static_cast<char>('a' + expected.size() % 26));
        ASSERT_TRUE(file->write(std::string_view(piece)));
        expected += piece;
    }
    // Nothing under the final name (Windows shows the temporary "<name>.part" meanwhile).
    EXPECT_FALSE(std::filesystem::exists(dir / "m.eml"));
    ASSERT_TRUE(file->commit());
    EXPECT_EQ(readFile(dir / "m.eml"), expected);
    auto dropped = AtomicFile::create(*folder, "gone.eml");
    ASSERT_TRUE(dropped.ok());
    ASSERT_TRUE(dropped->write(std::string_view(std::string(2 * AtomicFile::kDirectWrite, 'z'))));
    dropped->discard();
    EXPECT_EQ(listFiles(dir.path()), std::vector<std::string>{"m.eml"});
}

}  // namespace
}  // namespace quillmark::platform
