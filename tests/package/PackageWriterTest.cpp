#include "package/PackageView.h"
#include "tests/package/PackageTestUtil.h"

#include <gtest/gtest.h>

#include <string>

using namespace pkgtest;

TEST(PackageWriter, WritesTheHeaderAndEntriesInTheReadersLayout)
{
    const std::string package = MakePackage({{"first.txt", "first file"}, {"b", RandomBytes(5000, 1)}}, 0x3C);
    EXPECT_EQ(package.substr(0, PACKAGE_MAGIC_SIZE), std::string(PACKAGE_MAGIC));
    EXPECT_EQ(static_cast<uint8_t>(package[PACKAGE_OFFSET_MARKER]), 0x3C);
    EXPECT_EQ(static_cast<uint8_t>(package[PACKAGE_OFFSET_MARKER + 1]), 'K' ^ 0x3C);
    EXPECT_EQ(package[PACKAGE_OFFSET_DATA_LENGTH - 1], '\0');
    EXPECT_EQ(GetLe32(package, PACKAGE_OFFSET_DATA_LENGTH), package.size() - PACKAGE_HEADER_SIZE);
    EXPECT_EQ(GetLe32(package, PACKAGE_OFFSET_ENTRY_COUNT), 2u);

    const size_t first = PACKAGE_HEADER_SIZE;
    EXPECT_EQ(GetLe32(package, first + ENTRY_OFFSET_NAME_LENGTH), 9u);
    EXPECT_EQ(package.substr(first + ENTRY_OFFSET_CONTENT_DIGEST, 16),
              std::string(reinterpret_cast<const char*>(DigestOf("first file").data()), 16));
    EXPECT_EQ(package.substr(first + ENTRY_HEADER_SIZE, 9), "first.txt");
    // zlib level 9: every stream starts 0x78 0xDA.
    for (uint32_t index : {0u, 1u}) {
        const size_t entry = EntryOffset(package, index);
        const size_t stream = entry + ENTRY_HEADER_SIZE + GetLe32(package, entry + ENTRY_OFFSET_NAME_LENGTH);
        EXPECT_EQ(static_cast<uint8_t>(package[stream]), 0x78);
        EXPECT_EQ(static_cast<uint8_t>(package[stream + 1]), 0xDA);
    }
}

TEST(PackageWriter, SameInputsGiveTheSameBytes)
{
    const Files files = {{"a.exe", RandomBytes(70000, 2)}, {"b.txt", std::string(10000, 'b')}};
    EXPECT_TRUE(MakePackage(files) == MakePackage(files));
    const Files swapped = {files[1], files[0]};
    EXPECT_FALSE(MakePackage(files) == MakePackage(swapped));
}

TEST(PackageWriter, RefusesAnEmptyFileThatNoReaderWouldAccept)
{
    CPackageWriter writer;
    std::string error;
    EXPECT_FALSE(writer.AddEntry("empty.txt", "", &error));
    EXPECT_EQ(error, "the file is empty, and a package cannot carry an empty file");
    EXPECT_EQ(writer.Count(), 0u);
}

TEST(PackageWriter, AppendsToAPlainStubOnly)
{
    const std::string package = MakePackage({{"a", "alpha"}});
    std::string setup, error;

    ASSERT_TRUE(CPackageWriter::AppendToStub(MinimalPe(), package, &setup, &error)) << error;
    EXPECT_TRUE(setup == MinimalPe() + package);
    CLoader loader;
    EXPECT_EQ(loader.Load(setup), PACKAGE_OK);
    EXPECT_EQ(loader.Entry("a"), "alpha");

    struct Case {
        const char* what;
        std::string stub;
        const char* error;
    };
    const Case refused[] = {
        {"already packed", setup, "the stub already carries a package"},
        {"signed", MinimalPe(0x400, 0x100),
         "the stub is signed, and its signature would not cover the package: append the package to the unsigned "
         "stub, then sign"},
        {"not an executable", "just text", "the stub is not a Windows executable"},
        {"PE offset past the end", MinimalPe().substr(0, 0x82), "the stub is not a Windows executable"},
        // Its last bytes and the package's first would read as a header with key 0.
        {"ends like a header", MinimalPe() + std::string(PACKAGE_MAGIC, PACKAGE_MAGIC_SIZE) + '\0',
         "the stub's last bytes would be read as a package header"},
    };
    for (const Case& c : refused) {
        std::string out = "untouched";
        error.clear();
        const std::string zeroKey = MakePackage({{"a", "alpha"}}, 0);
        EXPECT_FALSE(CPackageWriter::AppendToStub(c.stub, zeroKey, &out, &error)) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
        EXPECT_EQ(out, "untouched") << c.what;
    }
}
