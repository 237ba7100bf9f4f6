// Packages of many entries loaded on several workers from a file read piece
// by piece, the way the setup reads its own executable: whatever the
// workers' timing, the answer is the one of the first damaged entry in
// package order, a failed load leaves nothing, and no read takes the file
// whole.
#include "package/PackageSource.h"
#include "package/PackageView.h"
#include "tests/package/PackageTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

using namespace pkgtest;

namespace {

constexpr uint32_t ENTRIES = 120;
constexpr size_t LARGE_SIZE = 3 * 512 * 1024;
const unsigned WORKER_COUNTS[] = {1, 2, 3, 8};

std::string NameOf(uint32_t index)
{
    char name[16];
    std::snprintf(name, sizeof(name), "file-%03u", index);
    return name;
}

// Every 40th entry large (half noise, half repeats): several inflate steps,
// and a digest that can run beside its inflating.
std::string ContentsOf(uint32_t index)
{
    if (index % 40 == 7) {
        std::string large = RandomBytes(LARGE_SIZE / 2, index + 1);
        while (large.size() < LARGE_SIZE)
            large += large.substr(0, std::min(large.size(), LARGE_SIZE - large.size()) / 3 + 1);
        return large.substr(0, LARGE_SIZE);
    }
    return RandomBytes(100 + index * 37 % 3000, index + 1) + std::string(index % 5 * 1000, 'z');
}

enum class Damage { NONE, DIGEST, TRUNCATED, EMPTY };

struct Damaged {
    uint32_t index;
    Damage damage;
};

// Each entry's contents and stream, made once: compressing is the slow part.
struct Made {
    std::string contents;
    std::string stream;
};

const std::vector<Made>& MadeEntries()
{
    static const std::vector<Made> made = [] {
        std::vector<Made> entries;
        for (uint32_t index = 0; index < ENTRIES; ++index) {
            std::string contents = ContentsOf(index);
            std::string stream = CPackageWriter::Compress(contents);
            entries.push_back({std::move(contents), std::move(stream)});
        }
        return entries;
    }();
    return made;
}

std::string MakeManyEntries(std::initializer_list<Damaged> damaged)
{
    CPackageWriter writer;
    for (uint32_t index = 0; index < ENTRIES; ++index) {
        const Made& made = MadeEntries()[index];
        Damage damage = Damage::NONE;
        for (const Damaged& d : damaged) {
            if (d.index == index)
                damage = d.damage;
        }
        Md5Digest digest = DigestOf(made.contents);
        std::string stream = made.stream;
        switch (damage) {
        case Damage::NONE:
            break;
        case Damage::DIGEST:
            digest[3] ^= 0x10;
            break;
        case Damage::TRUNCATED:
            stream.resize(stream.size() - 3);
            break;
        case Damage::EMPTY:
            stream = CPackageWriter::Compress("");
            digest = DigestOf("");
            break;
        }
        writer.AddRawEntry(NameOf(index), stream, digest);
    }
    return RandomBytes(70000, 99) + writer.Build();
}

// Reads of a file image at offsets, from several threads; reads from
// `failFrom` on fail as a disk error would.
class CFileImage {
public:
    explicit CFileImage(const std::string& bytes, uint64_t failFrom = UINT64_MAX)
        : m_bytes(bytes), m_failFrom(failFrom), m_largest(0), m_total(0)
    {
    }

    CPackageSource::ReadFunction Reader()
    {
        return [this](uint64_t offset, uint8_t* buffer, size_t count) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_largest = std::max(m_largest, count);
                m_total += count;
            }
            if (offset + count > m_failFrom || offset + count > m_bytes.size())
                return false;
            std::memcpy(buffer, m_bytes.data() + offset, count);
            return true;
        };
    }

    size_t Largest() const { return m_largest; }
    uint64_t Total() const { return m_total; }

private:
    const std::string& m_bytes;
    uint64_t m_failFrom;
    std::mutex m_mutex;
    size_t m_largest;
    uint64_t m_total;
};

// A table that holds an entry from an earlier load.
void Preload(CPackageTable* table)
{
    const std::string earlier = MakePackage({{"earlier.txt", "from an earlier load"}});
    std::vector<uint8_t> window(PACKAGE_WINDOW_SIZE);
    table->Load(reinterpret_cast<const uint8_t*>(earlier.data()), earlier.size(), window.data(), PACKAGE_WINDOW_SIZE);
}

int32_t LoadFromFile(CPackageTable* table, CFileImage* image, uint64_t size, unsigned workers)
{
    std::vector<uint8_t> window(PACKAGE_WINDOW_SIZE);
    const CPackageSource source(size, image->Reader());
    return table->Load(source, window.data(), PACKAGE_WINDOW_SIZE, workers);
}

}  // namespace

TEST(PackageLoadOnWorkers, ASoundPackageOfManyEntriesLoadsByteExactThroughBoundedReads)
{
    const std::string file = MakeManyEntries({});
    ASSERT_GT(file.size(), 2u * 1024 * 1024);
    for (const unsigned workers : WORKER_COUNTS) {
        CFileImage image(file);
        CPackageTable table;
        ASSERT_EQ(LoadFromFile(&table, &image, file.size(), workers), PACKAGE_OK) << table.FaultText();
        ASSERT_EQ(table.Count(), ENTRIES);
        for (uint32_t index = 0; index < ENTRIES; ++index) {
            const uint8_t* data = nullptr;
            int32_t size = 0;
            ASSERT_TRUE(table.Find(NameOf(index), &data, &size));
            ASSERT_TRUE(std::string(reinterpret_cast<const char*>(data), size) == MadeEntries()[index].contents)
                << NameOf(index) << " on " << workers << " workers";
        }
        // The file goes through bounded windows, never into one buffer: the
        // header search, the area's digest and the entries' inflating each
        // read it about once.
        EXPECT_LE(image.Largest(), 1024u * 1024) << workers << " workers";
        EXPECT_LE(image.Total(), 3 * file.size()) << workers << " workers";
    }
}

TEST(PackageLoadOnWorkers, TheFirstDamagedEntryInPackageOrderDecides)
{
    struct Case {
        const char* what;
        std::initializer_list<Damaged> damaged;
        PackageFault fault;
        const char* text;
    };
    const Case cases[] = {
        {"a small entry's digest, then a truncated stream",
         {{5, Damage::DIGEST}, {80, Damage::TRUNCATED}},
         FAULT_CONTENT_DIGEST,
         "entry 6 \"file-005\": the MD5 digest of its contents differs"},
        {"a truncated stream, then a digest",
         {{9, Damage::TRUNCATED}, {10, Damage::DIGEST}},
         FAULT_INFLATE,
         "entry 10 \"file-009\" does not inflate (damaged or truncated zlib stream)"},
        {"a large entry's digest, then an empty entry",
         {{47, Damage::DIGEST}, {100, Damage::EMPTY}},
         FAULT_CONTENT_DIGEST,
         "entry 48 \"file-047\": the MD5 digest of its contents differs"},
        {"the first entry inflates to nothing, the last is truncated",
         {{0, Damage::EMPTY}, {ENTRIES - 1, Damage::TRUNCATED}},
         FAULT_EMPTY_ENTRY,
         "entry 1 \"file-000\" inflates to nothing"},
        {"only the last entry", {{ENTRIES - 1, Damage::TRUNCATED}}, FAULT_INFLATE,
         "entry 120 \"file-119\" does not inflate (damaged or truncated zlib stream)"},
        {"only a large entry, truncated", {{87, Damage::TRUNCATED}}, FAULT_INFLATE,
         "entry 88 \"file-087\" does not inflate (damaged or truncated zlib stream)"},
    };
    for (const Case& c : cases) {
        const std::string file = MakeManyEntries(c.damaged);
        for (const unsigned workers : WORKER_COUNTS) {
            CFileImage image(file);
            CPackageTable table;
            Preload(&table);
            ASSERT_EQ(table.Count(), 1u);
            EXPECT_EQ(LoadFromFile(&table, &image, file.size(), workers), PACKAGE_DAMAGED)
                << c.what << " on " << workers << " workers";
            EXPECT_EQ(table.Fault(), c.fault) << c.what << " on " << workers << " workers";
            EXPECT_EQ(table.FaultText(), c.text) << c.what << " on " << workers << " workers";
            EXPECT_EQ(table.Count(), 0u) << c.what << " on " << workers << " workers";
        }
    }
}

TEST(PackageLoadOnWorkers, TheAreaDigestAndTheFileBeingUnreadableComeBeforeAnyEntry)
{
    std::string file = MakeManyEntries({{3, Damage::DIGEST}, {47, Damage::TRUNCATED}});
    const size_t header = CPackageView::FindHeader(reinterpret_cast<const uint8_t*>(file.data()), file.size());
    ASSERT_NE(header, CPackageView::NOT_FOUND);
    std::string changed = file;
    changed[changed.size() - 1000] ^= 0x01;  // inside the last entry's data, without resealing
    for (const unsigned workers : WORKER_COUNTS) {
        CFileImage image(changed);
        CPackageTable table;
        Preload(&table);
        EXPECT_EQ(LoadFromFile(&table, &image, changed.size(), workers), PACKAGE_DAMAGED) << workers << " workers";
        EXPECT_EQ(table.Fault(), FAULT_AREA_DIGEST) << workers << " workers";
        EXPECT_EQ(table.Count(), 0u) << workers << " workers";
    }

    // A read that fails, in the header search, in an entry's header or in
    // the middle of the entries' data: the file was not read.
    const uint64_t failures[] = {header / 2, header + PACKAGE_HEADER_SIZE + 10, file.size() / 2, file.size() - 1};
    for (const uint64_t failFrom : failures) {
        for (const unsigned workers : WORKER_COUNTS) {
            CFileImage image(file, failFrom);
            CPackageTable table;
            Preload(&table);
            EXPECT_EQ(LoadFromFile(&table, &image, file.size(), workers), PACKAGE_NOT_READ)
                << "reads from " << failFrom << " fail, " << workers << " workers";
            EXPECT_EQ(table.Fault(), FAULT_READ);
            EXPECT_EQ(table.Count(), 0u);
        }
    }
}
