#include "package/PackageView.h"
#include "tests/package/PackageTestUtil.h"

#include <gtest/gtest.h>

#include <string>

using namespace pkgtest;

namespace {

const std::string kMagic(PACKAGE_MAGIC, PACKAGE_MAGIC_SIZE);

size_t Find(const std::string& bytes)
{
    return CPackageView::FindHeader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// A small package of three entries (one of them spanning several windows).
std::string ThreeEntries()
{
    return MakePackage({{"license.rtf", "{\\rtf1 licence}"},
                        {"velloran.exe", RandomBytes(40000, 3)},
                        {"readme.txt", "read me\r\n"}});
}

// One stream and digest exactly as given.
std::string RawPackage(const std::string& name, const std::string& stream, const Md5Digest& digest)
{
    CPackageWriter writer;
    writer.AddRawEntry(name, stream, digest);
    return writer.Build();
}

}  // namespace

// --- Finding the header -------------------------------------------------------

TEST(PackageHeaderSearch, FindsThePackageWhereverItStandsInOtherData)
{
    const std::string package = MakePackage({{"a", "x"}});
    EXPECT_EQ(Find(package), 0u);
    EXPECT_EQ(Find(RandomBytes(1001, 5) + package + RandomBytes(77, 6)), 1001u);
    EXPECT_EQ(Find(RandomBytes(5000, 9)), CPackageView::NOT_FOUND);
    EXPECT_EQ(Find(""), CPackageView::NOT_FOUND);
}

TEST(PackageHeaderSearch, AByteThatBreaksAPartialMatchIsTriedAgainAsTheFirstMagicByte)
{
    const std::string package = MakePackage({{"a", "x"}});
    // "K", "Korvel", "KK": each leaves a partial match that the real magic's
    // first byte breaks.
    for (const std::string& prefix : {std::string("K"), kMagic.substr(0, 6), std::string("KK"),
                                     kMagic.substr(0, 30)}) {
        EXPECT_EQ(Find(prefix + package), prefix.size()) << "after \"" << prefix << "\"";
    }
}

TEST(PackageHeaderSearch, MagicWithoutAValidMarkerIsPassedOver)
{
    const std::string package = MakePackage({{"a", "x"}});
    // The reader's own constant: the magic with a C terminator after it.
    const std::string constant = kMagic + std::string(40, '\0');
    EXPECT_EQ(Find(constant + package), constant.size());

    // A marker whose last byte is not K XOR K.
    std::string broken = package;
    broken[PACKAGE_OFFSET_MARKER + PACKAGE_MARKER_SIZE - 1] = 1;
    EXPECT_EQ(Find(broken), CPackageView::NOT_FOUND);
    EXPECT_EQ(Find(broken + package), broken.size());

    // One marker byte wrong in the middle.
    broken = package;
    broken[PACKAGE_OFFSET_MARKER + 10] ^= 0x20;
    EXPECT_EQ(Find(broken), CPackageView::NOT_FOUND);
}

TEST(PackageHeaderSearch, AcceptsAnyMarkerKey)
{
    for (const int key : {0x00, 0x01, static_cast<int>('K'), 0x80, 0xFF}) {
        CLoader loader;
        EXPECT_EQ(loader.Load(MakePackage({{"name", "contents"}}, static_cast<uint8_t>(key))), PACKAGE_OK)
            << "key " << key;
        EXPECT_EQ(loader.Entry("name"), "contents");
    }
}

// --- Integrity ------------------------------------------------------------------

TEST(PackageLoad, EmptyPackageIsValid)
{
    CLoader loader;
    const std::string empty = MakePackage({});
    ASSERT_EQ(empty.size(), PACKAGE_HEADER_SIZE);
    EXPECT_EQ(GetLe32(empty, PACKAGE_OFFSET_DATA_LENGTH), 0u);
    EXPECT_EQ(loader.Load(empty), PACKAGE_OK);
    EXPECT_EQ(loader.table.Count(), 0u);
}

TEST(PackageLoad, EveryFileFollowingTheFormatLoadsByteExact)
{
    // Sizes around the 16384-byte window and larger, in no particular order.
    Files files = {{"window.bin", RandomBytes(PACKAGE_WINDOW_SIZE, 11)},
                   {"one", "1"},
                   {"window-1", RandomBytes(PACKAGE_WINDOW_SIZE - 1, 12)},
                   {"window+1", RandomBytes(PACKAGE_WINDOW_SIZE + 1, 13)},
                   {"three-windows", RandomBytes(3 * PACKAGE_WINDOW_SIZE, 14)},
                   {"text.txt", std::string(300000, 'a')},
                   {"half-mib.bin", RandomBytes(512 * 1024, 15)}};
    CLoader loader;
    ASSERT_EQ(loader.Load(MakePackage(files)), PACKAGE_OK) << loader.table.FaultText();
    EXPECT_EQ(loader.table.Count(), files.size());
    for (const auto& file : files)
        EXPECT_TRUE(loader.Entry(file.first) == file.second) << file.first;
}

TEST(PackageLoad, ChangingAnyByteOfTheEntryAreaFailsTheAreaDigestBeforeInflating)
{
    const std::string package = ThreeEntries();
    for (size_t at = PACKAGE_HEADER_SIZE; at < package.size(); at += (at < 400 ? 1 : 97)) {
        std::string changed = package;
        changed[at] ^= 0x01;
        CLoader loader;
        ASSERT_EQ(loader.Load(changed), PACKAGE_DAMAGED) << "byte " << at;
        ASSERT_EQ(loader.table.Fault(), FAULT_AREA_DIGEST) << "byte " << at;
    }
    std::string digest = package;
    digest[PACKAGE_OFFSET_DATA_DIGEST + 15] ^= 0x80;
    CLoader loader;
    EXPECT_EQ(loader.Load(digest), PACKAGE_DAMAGED);
    EXPECT_EQ(loader.table.Fault(), FAULT_AREA_DIGEST);
}

TEST(PackageLoad, TruncationAtEveryLengthIsDamagedNeverRead)
{
    const std::string package = MakePackage({{"a.txt", "alpha"}, {"b.txt", RandomBytes(300, 4)}});
    for (size_t length = 0; length < package.size(); ++length) {
        // A copy of exactly that length, so that the sanitizers see any read past it.
        const std::string cut = package.substr(0, length);
        CLoader loader;
        ASSERT_EQ(loader.Load(cut), PACKAGE_DAMAGED) << "length " << length;
        const PackageFault expected = length < PACKAGE_MAGIC_SIZE + PACKAGE_MARKER_SIZE ? FAULT_NO_HEADER
                                      : length < PACKAGE_HEADER_SIZE                     ? FAULT_HEADER_TRUNCATED
                                                                                          : FAULT_AREA_PAST_END;
        ASSERT_EQ(loader.table.Fault(), expected) << "length " << length;
    }
}

TEST(PackageLoad, SizesPointingPastTheEndAreDamaged)
{
    const std::string package = ThreeEntries();
    const size_t second = EntryOffset(package, 1);
    const size_t third = EntryOffset(package, 2);
    struct Case {
        const char* what;
        size_t offset;
        uint32_t value;
        bool reseal;
        PackageFault fault;
    };
    const uint32_t area = GetLe32(package, PACKAGE_OFFSET_DATA_LENGTH);
    const uint32_t lastData = GetLe32(package, third + ENTRY_OFFSET_COMPRESSED_SIZE);
    const uint32_t lastName = GetLe32(package, third + ENTRY_OFFSET_NAME_LENGTH);
    const Case cases[] = {
        {"dataLength one past the file", PACKAGE_OFFSET_DATA_LENGTH, area + 1, false, FAULT_AREA_PAST_END},
        {"dataLength 4 GiB - 1", PACKAGE_OFFSET_DATA_LENGTH, 0xFFFFFFFF, false, FAULT_AREA_PAST_END},
        {"last compressedSize one past the area", third + ENTRY_OFFSET_COMPRESSED_SIZE, lastData + 1, true,
         FAULT_ENTRY_PAST_END},
        {"last nameLength one past the area", third + ENTRY_OFFSET_NAME_LENGTH, lastName + 1, true,
         FAULT_ENTRY_PAST_END},
        {"compressedSize 4 GiB - 1", second + ENTRY_OFFSET_COMPRESSED_SIZE, 0xFFFFFFFF, true, FAULT_ENTRY_PAST_END},
        {"nameLength 4 GiB - 1", second + ENTRY_OFFSET_NAME_LENGTH, 0xFFFFFFFF, true, FAULT_ENTRY_PAST_END},
        {"one entry more than there are", PACKAGE_OFFSET_ENTRY_COUNT, 4, false, FAULT_ENTRY_PAST_END},
        {"entryCount 4 G - 1", PACKAGE_OFFSET_ENTRY_COUNT, 0xFFFFFFFF, false, FAULT_ENTRY_PAST_END},
    };
    for (const Case& c : cases) {
        std::string changed = package;
        PutLe32(&changed, c.offset, c.value);
        if (c.reseal)
            Reseal(&changed);
        CLoader loader;
        loader.Load(MakePackage({{"earlier", "load"}}));
        EXPECT_EQ(loader.Load(changed), PACKAGE_DAMAGED) << c.what;
        EXPECT_EQ(loader.table.Fault(), c.fault) << c.what;
        EXPECT_EQ(loader.table.Count(), 0u) << c.what;
    }
}

TEST(PackageLoad, StreamThatInflatesToNothingIsDamagedEvenWithTheEmptyDigest)
{
    const std::string stream = CPackageWriter::Compress("");
    ASSERT_FALSE(stream.empty());
    CLoader loader;
    EXPECT_EQ(loader.Load(RawPackage("empty.txt", stream, DigestOf(""))), PACKAGE_DAMAGED);
    EXPECT_EQ(loader.table.Fault(), FAULT_EMPTY_ENTRY);
    EXPECT_EQ(loader.table.FaultText(), "entry 1 \"empty.txt\" inflates to nothing");
}

TEST(PackageLoad, DamagedStreamsAreDamagedEvenWhenTheAreaDigestFits)
{
    const std::string contents = RandomBytes(50000, 21);
    const std::string stream = CPackageWriter::Compress(contents);
    struct Case {
        const char* what;
        std::string stream;
    };
    std::string badAdler = stream;
    badAdler.back() ^= 0x01;
    std::string badHeader = stream;
    badHeader[1] ^= 0x01;  // header checksum no longer divisible by 31
    const Case cases[] = {
        {"truncated by one byte", stream.substr(0, stream.size() - 1)},
        {"truncated to half", stream.substr(0, stream.size() / 2)},
        {"header only", stream.substr(0, 2)},
        {"no bytes", std::string()},
        {"Adler-32 off by one bit", badAdler},
        {"zlib header check fails", badHeader},
        {"raw deflate, no zlib header", stream.substr(2)},
    };
    for (const Case& c : cases) {
        CLoader loader;
        EXPECT_EQ(loader.Load(RawPackage("file.bin", c.stream, DigestOf(contents))), PACKAGE_DAMAGED) << c.what;
        EXPECT_EQ(loader.table.Fault(), FAULT_INFLATE) << c.what;
    }
}

TEST(PackageLoad, BytesAfterTheStreamWithinCompressedSizeAreIgnored)
{
    const std::string contents = "contents of the file";
    CLoader loader;
    const std::string stream = CPackageWriter::Compress(contents) + "trailing bytes" + RandomBytes(20000, 8);
    ASSERT_EQ(loader.Load(RawPackage("f", stream, DigestOf(contents))), PACKAGE_OK) << loader.table.FaultText();
    EXPECT_EQ(loader.Entry("f"), contents);
}

TEST(PackageLoad, ADigestOffByOneBitInTheLastEntryLeavesTheTableEmpty)
{
    CPackageWriter writer;
    writer.AddEntry("first.txt", "first");
    writer.AddEntry("second.txt", "second");
    Md5Digest digest = DigestOf("third");
    digest[15] ^= 0x01;
    writer.AddRawEntry("third.txt", CPackageWriter::Compress("third"), digest);

    CLoader loader;
    ASSERT_EQ(loader.Load(MakePackage({{"earlier.txt", "from an earlier load"}})), PACKAGE_OK);
    EXPECT_EQ(loader.Load(writer.Build()), PACKAGE_DAMAGED);
    EXPECT_EQ(loader.table.Fault(), FAULT_CONTENT_DIGEST);
    EXPECT_EQ(loader.table.FaultText(), "entry 3 \"third.txt\": the MD5 digest of its contents differs");
    EXPECT_EQ(loader.table.Count(), 0u);
    EXPECT_EQ(loader.Entry("first.txt"), "<missing>");
    EXPECT_EQ(loader.Entry("earlier.txt"), "<missing>");
}

TEST(PackageLoad, NoInflateWindowIsOutOfMemoryAndLeavesTheTableEmpty)
{
    const std::string package = MakePackage({{"a", "alpha"}});
    CPackageTable table;
    uint8_t window[PACKAGE_WINDOW_SIZE];
    ASSERT_EQ(table.Load(reinterpret_cast<const uint8_t*>(package.data()), package.size(), window, sizeof(window)),
              PACKAGE_OK);
    EXPECT_EQ(table.Load(reinterpret_cast<const uint8_t*>(package.data()), package.size(), nullptr, 0),
              PACKAGE_NO_MEMORY);
    EXPECT_EQ(table.Fault(), FAULT_NO_MEMORY);
    EXPECT_EQ(table.Count(), 0u);
}

// --- The table ------------------------------------------------------------------

TEST(PackageTable, LaterDuplicatesReplaceEarlierOnes)
{
    CLoader loader;
    ASSERT_EQ(loader.Load(MakePackage({{"dup", "first"}, {"other", "o"}, {"dup", "second, longer"}})), PACKAGE_OK);
    EXPECT_EQ(loader.table.Count(), 2u);
    EXPECT_EQ(loader.Entry("dup"), "second, longer");
}

TEST(PackageTable, LookupIsByExactBytes)
{
    const std::string withNul("nul\0byte", 8);
    CLoader loader;
    ASSERT_EQ(loader.Load(MakePackage({{"License.rtf", "upper"},
                                       {"license.rtf", "lower"},
                                       {"lic", "prefix"},
                                       {withNul, "embedded"},
                                       {"\xE9t\xE9.txt", "high bytes"}})),
              PACKAGE_OK);
    EXPECT_EQ(loader.Entry("license.rtf"), "lower");
    EXPECT_EQ(loader.Entry("License.rtf"), "upper");
    EXPECT_EQ(loader.Entry("LICENSE.RTF"), "<missing>");
    EXPECT_EQ(loader.Entry("lic"), "prefix");
    EXPECT_EQ(loader.Entry("licen"), "<missing>");
    EXPECT_EQ(loader.Entry(withNul), "embedded");
    EXPECT_EQ(loader.Entry("nul"), "<missing>");
    EXPECT_EQ(loader.Entry("\xE9t\xE9.txt"), "high bytes");
    EXPECT_EQ(loader.table.Names(), (std::vector<std::string>{"License.rtf", "lic", "license.rtf", withNul,
                                                               "\xE9t\xE9.txt"}));
}

TEST(PackageTable, ARepeatedLoadReplacesEntriesOfTheSameName)
{
    CLoader loader;
    ASSERT_EQ(loader.Load(MakePackage({{"a", "old a"}, {"b", "old b"}})), PACKAGE_OK);
    ASSERT_EQ(loader.Load(MakePackage({{"a", "new a"}})), PACKAGE_OK);
    EXPECT_EQ(loader.Entry("a"), "new a");
    EXPECT_EQ(loader.Entry("b"), "old b");
}
