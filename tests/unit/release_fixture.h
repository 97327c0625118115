// Data shared by the tests of the release commands (their scratch directory
// and globals come from support/temp_dir.h and support/globals.h).
#pragma once

#include <string>

namespace testing_support {

// A digest as sha256sum prints it, before the file name.
inline const std::string digest_a(64, 'a');
inline const std::string digest_b(64, 'b');

} // namespace testing_support
