// What the release tests check of a setup beyond a complete installation.
#pragma once

#include "tests/install/InstallTestSupport.h"

#include <string>

namespace releasetest {

// An unpack-only run of `setupPath` in `folder` wrote every file the product
// unpacks, with the payload's bytes (gtest expectations).
void CheckUnpacked(const installtest::TestProduct& product, const std::string& setupPath, const std::string& folder);

}  // namespace releasetest
