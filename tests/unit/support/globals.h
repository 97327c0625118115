// The program's globals (app/state.h) saved for one test and put back.
#pragma once

#include <string>

#include "core/state.h"

namespace testing_support {

// Saves every global a handler or a test may change (target_path,
// s_product, platform, release_ver, check_sum, dev_name) and puts them all
// back on destruction, so a test sets any of them freely.
class Globals {
  public:
    Globals();
    // Saves, then sets the globals the release commands read.
    Globals(const std::string &target, const char *release, const char *sum, int plat,
            const char *product = s_product_kt5);
    ~Globals();
    Globals(const Globals &) = delete;
    Globals &operator=(const Globals &) = delete;

  private:
    std::string target_, release_, sum_, dev_;
    int platform_;
    const char *product_;
};

} // namespace testing_support
