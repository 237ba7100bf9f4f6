#include "tests/release/SetupChecks.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace installtest;
using namespace testsupport;

namespace releasetest {

void CheckUnpacked(const TestProduct& product, const std::string& setupPath, const std::string& folder)
{
    EXPECT_EQ(RunProcess("\"" + setupPath + "\" -unpack -silent", 120000, folder), 0);
    const std::string unpacked = folder + "\\" + product.name + " files";
    for (const std::string& entry : product.entries) {
        // The USB libraries travel in the package but are never unpacked.
        const bool unpackedEntry = entry.rfind("usblib", 0) != 0;
        EXPECT_EQ(FileExists(unpacked + "\\" + entry), unpackedEntry) << entry;
        if (unpackedEntry) {
            EXPECT_TRUE(ReadFileBytes(unpacked + "\\" + entry) == PayloadBytes(product, entry)) << entry;
        }
    }
}

}  // namespace releasetest
