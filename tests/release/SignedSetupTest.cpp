// The signed setups tools/release makes, as an admin runs them: each installs
// silently, and an unpack-only run still finds every file of its package
// behind the signature. Run by the release test with VELLORAN_SIGNED_DIR
// naming the signed setups' folder and VELLORAN_BUILD_DIR the release build
// they were made from (its payload is what they must carry).
#include "tests/install/InstallTestSupport.h"
#include "tests/release/SetupChecks.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace installtest;
using namespace testsupport;

namespace {

std::string SignedSetup(const TestProduct& product)
{
    const char* folder = std::getenv("VELLORAN_SIGNED_DIR");
    return folder == nullptr ? std::string() : WinePath(folder) + "\\" + product.setup + ".exe";
}

void InstallSilently(const TestProduct& product)
{
    const std::string setup = SignedSetup(product);
    ASSERT_TRUE(FileExists(setup)) << "VELLORAN_SIGNED_DIR names no signed setups: " << setup;
    EXPECT_EQ(RunSetup(setup, "-silent -licenseaccept", 180000), 0);
    CheckInstalled(product);
}

}  // namespace

TEST(SignedSetups, ServerInstallsSilently)
{
    InstallSilently(Server());
}

TEST(SignedSetups, ClientInstallsSilently)
{
    InstallSilently(Client());
}

TEST(SignedSetups, UnpackFindsEveryFile)
{
    for (const TestProduct* product : {&Server(), &Client()}) {
        const std::string setup = SignedSetup(*product);
        ASSERT_TRUE(FileExists(setup)) << setup;
        releasetest::CheckUnpacked(*product, setup, MakeTempDir("signedunpack"));
    }
}
