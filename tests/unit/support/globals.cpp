#include "support/globals.h"

#include <cstdio>

namespace testing_support {

Globals::Globals()
    : target_(target_path), release_(release_ver), sum_(check_sum), dev_(dev_name),
      platform_(platform), product_(s_product)
{
}

Globals::Globals(const std::string &target, const char *release, const char *sum, int plat,
                 const char *product)
    : Globals()
{
    snprintf(target_path, sizeof(target_path), "%s", target.c_str());
    snprintf(release_ver, sizeof(release_ver), "%s", release);
    snprintf(check_sum, sizeof(check_sum), "%s", sum);
    platform = plat;
    s_product = product;
}

Globals::~Globals()
{
    snprintf(target_path, sizeof(target_path), "%s", target_.c_str());
    snprintf(release_ver, sizeof(release_ver), "%s", release_.c_str());
    snprintf(check_sum, sizeof(check_sum), "%s", sum_.c_str());
    snprintf(dev_name, sizeof(dev_name), "%s", dev_.c_str());
    platform = platform_;
    s_product = product_;
}

} // namespace testing_support
