// The package tool as its users run it: exit codes, the one line on stderr,
// and the files it writes.
#include "package/PackageView.h"
#include "tests/package/PackageTestUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace pkgtest;

namespace {

struct Result {
    int exitCode;
    std::string out;
    std::string err;
};

class SetuppackTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/velloran-setuppack-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + m_dir + "'").c_str()); }

    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

    Result Run(const std::string& arguments) const
    {
        const std::string command = std::string(SETUPPACK_PATH) + " " + arguments + " >" + Path(".out") + " 2>" +
                                    Path(".err");
        const int status = std::system(command.c_str());
        return Result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Read(Path(".out")), Read(Path(".err"))};
    }

    static std::string Read(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static bool Exists(const std::string& path)
    {
        struct stat info;
        return lstat(path.c_str(), &info) == 0;
    }
    void Write(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(Path(name), std::ios::binary) << bytes;
    }

    std::string m_dir;
};

// One line on stderr, beginning with the tool's name.
void ExpectOneErrorLine(const Result& result, const std::string& text)
{
    EXPECT_NE(result.exitCode, 0);
    EXPECT_EQ(result.err.find("setuppack: "), 0u) << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
    EXPECT_NE(result.err.find(text), std::string::npos) << result.err;
}

}  // namespace

TEST_F(SetuppackTool, BuildVerifyListExtractRoundTrip)
{
    const std::string big = RandomBytes(100000, 31);
    Write("velloransrv.exe", big);
    Write("license.rtf", "{\\rtf1 terms}");
    mkdir(Path("sub").c_str(), 0755);
    Write("sub/readme.txt", "read me\r\n");

    const std::string files = Path("velloransrv.exe") + " " + Path("license.rtf") + " " + Path("sub/readme.txt");
    ASSERT_EQ(Run("build " + Path("one.pkg") + " " + files).exitCode, 0);
    ASSERT_EQ(Run("build " + Path("two.pkg") + " " + files).exitCode, 0);
    const std::string package = Read(Path("one.pkg"));
    EXPECT_TRUE(package == Read(Path("two.pkg"))) << "two builds of the same files differ";

    const Result verify = Run("verify " + Path("one.pkg"));
    EXPECT_EQ(verify.exitCode, 0) << verify.err;
    EXPECT_EQ(verify.err, "");

    const Result list = Run("list " + Path("one.pkg"));
    EXPECT_EQ(list.exitCode, 0);
    // Name (without folder), size, compressed size and digest, in stored order.
    char expected[256];
    std::snprintf(expected, sizeof(expected), "%10u %10u  %s  velloransrv.exe\n", 100000u,
                  GetLe32(package, PACKAGE_HEADER_SIZE + ENTRY_OFFSET_COMPRESSED_SIZE),
                  CMd5::ToHex(DigestOf(big)).c_str());
    EXPECT_NE(list.out.find(expected), std::string::npos) << list.out;
    EXPECT_LT(list.out.find("velloransrv.exe"), list.out.find("license.rtf"));
    EXPECT_LT(list.out.find("license.rtf"), list.out.find("readme.txt"));
    EXPECT_EQ(list.out.find("sub/"), std::string::npos);

    ASSERT_EQ(Run("extract " + Path("one.pkg") + " " + Path("out/deeper")).exitCode, 0);
    EXPECT_TRUE(Read(Path("out/deeper/velloransrv.exe")) == big);
    EXPECT_EQ(Read(Path("out/deeper/license.rtf")), "{\\rtf1 terms}");
    EXPECT_EQ(Read(Path("out/deeper/readme.txt")), "read me\r\n");
}

TEST_F(SetuppackTool, BuildRefusesFilesNoPackageCanCarry)
{
    Write("empty.txt", "");
    Write("a.txt", "a");
    mkdir(Path("other").c_str(), 0755);
    Write("other/a.txt", "another a");
    Write("back\\slash", "x");

    ExpectOneErrorLine(Run("build " + Path("p.pkg") + " " + Path("a.txt") + " " + Path("empty.txt")),
                       "empty.txt: the file is empty, and a package cannot carry an empty file");
    ExpectOneErrorLine(Run("build " + Path("p.pkg") + " " + Path("a.txt") + " " + Path("other/a.txt")),
                       "a second file named \"a.txt\"");
    ExpectOneErrorLine(Run("build " + Path("p.pkg") + " '" + Path("back\\slash") + "'"), "cannot be an entry name");
    ExpectOneErrorLine(Run("build " + Path("p.pkg") + " " + Path("missing.txt")), "cannot open");
    EXPECT_FALSE(Exists(Path("p.pkg")));
    EXPECT_EQ(Run("build " + Path("p.pkg")).exitCode, 2);
    EXPECT_EQ(Run("").exitCode, 2);
    EXPECT_EQ(Run("frobnicate x").exitCode, 2);
}

TEST_F(SetuppackTool, ReadsPackagesOfOtherWriters)
{
    // Key 'K', trailing bytes after a stream, a duplicate name, entries out
    // of any order, the package embedded between other data.
    CPackageWriter writer('K');
    writer.AddEntry("zeta", "first zeta");
    writer.AddRawEntry("alpha", CPackageWriter::Compress("alpha") + "junk after the stream", DigestOf("alpha"));
    writer.AddEntry("zeta", "second zeta");
    Write("foreign.bin", RandomBytes(3000, 1) + "K" + writer.Build() + RandomBytes(500, 2));

    EXPECT_EQ(Run("verify " + Path("foreign.bin")).exitCode, 0);
    // Every stored entry in stored order, the duplicate too: size and name.
    const Result list = Run("list " + Path("foreign.bin"));
    std::vector<std::string> rows;
    std::istringstream lines(list.out);
    for (std::string line; std::getline(lines, line);) {
        unsigned size = 0;
        if (std::sscanf(line.c_str(), "%u", &size) == 1)
            rows.push_back(std::to_string(size) + " " + line.substr(line.rfind(' ') + 1));
    }
    EXPECT_EQ(rows, (std::vector<std::string>{"10 zeta", "5 alpha", "11 zeta"})) << list.out;
    ASSERT_EQ(Run("extract " + Path("foreign.bin") + " " + Path("out")).exitCode, 0);
    EXPECT_EQ(Read(Path("out/zeta")), "second zeta");
    EXPECT_EQ(Read(Path("out/alpha")), "alpha");
}

TEST_F(SetuppackTool, DamagedPackagesFailWithTheStatusAndTheReason)
{
    std::string package = MakePackage({{"a.txt", "alpha"}, {"b.txt", "beta"}});
    std::string flipped = package;
    flipped[flipped.size() - 3] ^= 0x10;
    Write("flipped.pkg", flipped);
    Write("nothing.bin", RandomBytes(1000, 3));
    PutLe32(&package, PACKAGE_OFFSET_DATA_LENGTH, 0xFFFFFFF0);
    Write("long.pkg", package);

    ExpectOneErrorLine(Run("verify " + Path("flipped.pkg")),
                       "flipped.pkg: the package is missing or damaged (status -2): the entry area's MD5 digest differs");
    ExpectOneErrorLine(Run("verify " + Path("nothing.bin")), "(status -2): no package header");
    ExpectOneErrorLine(Run("verify " + Path("long.pkg")), "the entry area runs past the end of the file");
    ExpectOneErrorLine(Run("verify " + Path("absent.pkg")), "cannot open");
    ExpectOneErrorLine(Run("list " + Path("flipped.pkg")), "(status -2)");
    ExpectOneErrorLine(Run("extract " + Path("flipped.pkg") + " " + Path("out")), "(status -2)");
    EXPECT_FALSE(Exists(Path("out")));
}

TEST_F(SetuppackTool, ExtractNeverWritesOutsideItsFolder)
{
    mkdir(Path("out").c_str(), 0755);
    for (const std::string name : {"../escaped", "sub/file", "..", ".", "C:evil", "back\\slash", "CON",
                                   "nul.txt", "trailing.", "ctl\x01", ""}) {
        CPackageWriter writer;
        writer.AddEntry("harmless.txt", "fine");
        writer.AddRawEntry(name, CPackageWriter::Compress("payload"), DigestOf("payload"));
        Write("evil.pkg", writer.Build());
        ExpectOneErrorLine(Run("extract " + Path("evil.pkg") + " " + Path("out")), "is not a plain file name");
        EXPECT_FALSE(Exists(Path("escaped"))) << name;
        EXPECT_FALSE(Exists(Path("out/harmless.txt"))) << name << ": wrote before refusing";
    }

    // A link planted in the folder is not followed.
    Write("victim.txt", "keep me");
    ASSERT_EQ(symlink(Path("victim.txt").c_str(), Path("out/harmless.txt").c_str()), 0);
    Write("plain.pkg", MakePackage({{"harmless.txt", "overwritten"}}));
    ExpectOneErrorLine(Run("extract " + Path("plain.pkg") + " " + Path("out")), "is not a plain file");
    EXPECT_EQ(Read(Path("victim.txt")), "keep me");
}

TEST_F(SetuppackTool, AppendRefusesStubsThatCarryAPackageOrASignature)
{
    const std::string stub = MinimalPe();
    Write("stub.exe", stub);
    Write("p.pkg", MakePackage({{"a", "alpha"}}));

    ASSERT_EQ(Run("append " + Path("stub.exe") + " " + Path("p.pkg") + " " + Path("setup.exe")).exitCode, 0);
    EXPECT_TRUE(Read(Path("setup.exe")) == stub + Read(Path("p.pkg")));
    EXPECT_EQ(Run("verify " + Path("setup.exe")).exitCode, 0);

    ExpectOneErrorLine(Run("append " + Path("setup.exe") + " " + Path("p.pkg") + " " + Path("twice.exe")),
                       "the stub already carries a package");
    Write("signed.exe", MinimalPe(0x400, 0x200));
    ExpectOneErrorLine(Run("append " + Path("signed.exe") + " " + Path("p.pkg") + " " + Path("s.exe")),
                       "the stub is signed, and its signature would not cover the package");
    std::string damaged = Read(Path("p.pkg"));
    damaged.back() ^= 1;
    Write("damaged.pkg", damaged);
    ExpectOneErrorLine(Run("append " + Path("stub.exe") + " " + Path("damaged.pkg") + " " + Path("d.exe")),
                       "damaged.pkg: the package is missing or damaged");
    EXPECT_FALSE(Exists(Path("twice.exe")));
    EXPECT_FALSE(Exists(Path("s.exe")));
    EXPECT_FALSE(Exists(Path("d.exe")));
}

TEST_F(SetuppackTool, ListAndVerifySayWhetherASetupIsSignedAndWhatFollowsThePackage)
{
    const std::string package = MakePackage({{"a", "alpha"}});
    Write("plain.exe", MinimalPe() + package);
    for (const char* command : {"verify ", "list "}) {
        const Result plain = Run(command + Path("plain.exe"));
        EXPECT_EQ(plain.exitCode, 0) << plain.err;
        EXPECT_NE(plain.out.find("signed: no\nbytes after the package: 0\n"), std::string::npos) << plain.out;
    }

    // Signed after appending: the certificate table follows the package at
    // the next multiple of 8.
    const size_t packageEnd = MinimalPe().size() + package.size();
    const size_t table = (packageEnd + 7) / 8 * 8;
    const std::string certificates(24, 'C');
    Write("signed.exe", MinimalPe(static_cast<uint32_t>(table), 24) + package + std::string(table - packageEnd, '\0') +
                            certificates);
    for (const char* command : {"verify ", "list "}) {
        const Result signedSetup = Run(command + Path("signed.exe"));
        EXPECT_EQ(signedSetup.exitCode, 0) << signedSetup.err;
        const std::string expected = "signed: yes (Authenticode certificate table of 24 bytes at offset " +
                                     std::to_string(table) + ")\nbytes after the package: " +
                                     std::to_string(table - packageEnd + 24) + "\n";
        EXPECT_NE(signedSetup.out.find(expected), std::string::npos) << signedSetup.out;
    }

    // Signed before appending: the signature covers none of the package.
    Write("late.exe", MinimalPe(0x200, 24) + package);
    ExpectOneErrorLine(Run("verify " + Path("late.exe")),
                       "late.exe: the signature was made before the package was appended and does not cover it");
}
