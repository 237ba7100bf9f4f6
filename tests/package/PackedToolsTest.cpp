// The reader of the setup's own executable. The build appends a package to
// this very program (this source file and the native package tool as its
// entries), so every run reads a real packed executable.
#include "package/PackageView.h"
#include "package/PackedTools.h"
#include "tests/support/TestSupport.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace testsupport;

namespace {

constexpr char LOAD_STATUS_SWITCH[] = "--load-status";

std::string OwnPath()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, length);
}

std::string Entry(const CPackedTools& reader, const std::string& name)
{
    const uint8_t* data = nullptr;
    int32_t size = -1;
    if (!reader.FindEntry(name, &data, &size))
        return "<missing>";
    return std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
}

size_t HeaderOffset(const std::string& file)
{
    return CPackageView::FindHeader(reinterpret_cast<const uint8_t*>(file.data()), file.size());
}

class PackedToolsCopies : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = MakeTempDir("packed");
        ASSERT_FALSE(m_dir.empty());
        m_self = ReadFileBytes(OwnPath());
        m_header = HeaderOffset(m_self);
        ASSERT_NE(m_header, CPackageView::NOT_FOUND) << "the build did not append a package to this program";
    }
    void TearDown() override { RemoveTree(m_dir); }

    // A copy of this program with other bytes, run only to load its package.
    long LoadStatusOf(const std::string& name, const std::string& bytes)
    {
        const std::string path = m_dir + "\\" + name;
        if (!WriteFileBytes(path, bytes))
            return -1000;
        return RunProcess("\"" + path + "\" " + LOAD_STATUS_SWITCH);
    }

    std::string m_dir;
    std::string m_self;
    size_t m_header = 0;
};

}  // namespace

TEST(PackedTools, LoadsThePackageOfItsOwnExecutable)
{
    CPackedTools reader;
    ASSERT_EQ(reader.Status(), PACKAGE_OK);
    ASSERT_TRUE(reader.LoadPackage());
    EXPECT_EQ(reader.Status(), PACKAGE_OK);

    const std::string source = ReadFileBytes(SourceDir() + "\\tests\\package\\PackedToolsTest.cpp");
    const std::string tool = ReadFileBytes(WinePath(PACKED_TOOL_PATH));
    ASSERT_FALSE(source.empty());
    ASSERT_GT(tool.size(), 3u * PACKAGE_WINDOW_SIZE);
    EXPECT_TRUE(Entry(reader, "PackedToolsTest.cpp") == source);
    EXPECT_TRUE(Entry(reader, "setuppack") == tool);

    // Exact bytes: neither letter case nor a prefix finds an entry.
    EXPECT_EQ(Entry(reader, "packedtoolstest.cpp"), "<missing>");
    EXPECT_EQ(Entry(reader, "SETUPPACK"), "<missing>");
    EXPECT_EQ(Entry(reader, "setup"), "<missing>");
    EXPECT_FALSE(reader.FindEntry("", nullptr, nullptr));

    // Loading again gives the same table.
    ASSERT_TRUE(reader.LoadPackage());
    EXPECT_TRUE(Entry(reader, "setuppack") == tool);
}

TEST_F(PackedToolsCopies, ACopyWithoutItsPackageOrWithADamagedOneEndsWithMinus2)
{
    EXPECT_EQ(LoadStatusOf("whole.exe", m_self), PACKAGE_OK);
    EXPECT_EQ(LoadStatusOf("stub.exe", m_self.substr(0, m_header)), PACKAGE_DAMAGED);
    EXPECT_EQ(LoadStatusOf("cut.exe", m_self.substr(0, m_self.size() - 1)), PACKAGE_DAMAGED);
    std::string flipped = m_self;
    flipped[m_header + PACKAGE_HEADER_SIZE + 30] ^= 0x04;
    EXPECT_EQ(LoadStatusOf("flipped.exe", flipped), PACKAGE_DAMAGED);
    // Data after the package (a certificate table, say) is no obstacle.
    EXPECT_EQ(LoadStatusOf("trailer.exe", m_self + std::string(24, '\0')), PACKAGE_OK);
}

TEST_F(PackedToolsCopies, TheWindowsPackageToolReadsAndExtractsTheSamePackage)
{
    const std::string tool = "\"" + BinPath("setuppack.exe") + "\" ";
    const std::string self = "\"" + OwnPath() + "\"";
    EXPECT_EQ(RunProcess(tool + "verify " + self), 0);
    ASSERT_EQ(RunProcess(tool + "extract " + self + " \"" + m_dir + "\\out\""), 0);
    EXPECT_TRUE(ReadFileBytes(m_dir + "\\out\\setuppack") == ReadFileBytes(WinePath(PACKED_TOOL_PATH)));
    EXPECT_TRUE(ReadFileBytes(m_dir + "\\out\\PackedToolsTest.cpp") ==
                ReadFileBytes(SourceDir() + "\\tests\\package\\PackedToolsTest.cpp"));

    ASSERT_TRUE(WriteFileBytes(m_dir + "\\stub.exe", m_self.substr(0, m_header)));
    EXPECT_EQ(RunProcess(tool + "verify \"" + m_dir + "\\stub.exe\""), 1);
}

int main(int argc, char** argv)
{
    // A copy of this program started by the tests only loads its package
    // and reports the status as its exit code.
    if (argc == 2 && std::strcmp(argv[1], LOAD_STATUS_SWITCH) == 0) {
        CPackedTools reader;
        reader.LoadPackage();
        return reader.Status();
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
