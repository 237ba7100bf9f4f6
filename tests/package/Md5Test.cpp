#include "package/Md5.h"
#include "tests/package/PackageTestUtil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

std::string Hex(const std::string& bytes)
{
    return CMd5::ToHex(CMd5::Digest(bytes.data(), bytes.size()));
}

}  // namespace

TEST(Md5, Rfc1321TestSuite)
{
    EXPECT_EQ(Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

// The padding decision sits at 55/56/64 bytes; pieces of every size cross
// the block boundary in every way.
TEST(Md5, PiecewiseUpdatesAgreeWithOneCallAtEveryLengthAndSplit)
{
    const std::string data = pkgtest::RandomBytes(200, 7);
    for (size_t length = 0; length <= data.size(); ++length) {
        const Md5Digest whole = CMd5::Digest(data.data(), length);
        for (size_t piece : {1u, 3u, 55u, 56u, 63u, 64u, 65u}) {
            CMd5 md5;
            for (size_t at = 0; at < length; at += piece)
                md5.Update(data.data() + at, length - at < piece ? length - at : piece);
            ASSERT_EQ(md5.Final(), whole) << "length " << length << " piece " << piece;
        }
    }
    CMd5 reused;
    reused.Update("abc", 3);
    reused.Final();
    reused.Update("a", 1);
    EXPECT_EQ(CMd5::ToHex(reused.Final()), "0cc175b9c0f1b6a831c399e269772661");
}

#ifndef _WIN32
TEST(Md5, AgreesWithMd5sumOnLargeRandomData)
{
    // Odd length, several MB: every tail and the 64-bit length field are exercised.
    const std::string data = pkgtest::RandomBytes(9 * 1024 * 1024 + 37, 2024);
    char path[] = "/tmp/velloran-md5-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fd);

    const std::string command = std::string("md5sum ") + path;
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[128] = {};
    const bool got = std::fgets(line, sizeof(line), pipe) != nullptr;
    pclose(pipe);
    unlink(path);
    ASSERT_TRUE(got);
    EXPECT_EQ(std::string(line, 32), Hex(data));
}
#endif
