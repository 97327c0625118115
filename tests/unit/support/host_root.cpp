#include "support/host_root.h"

#include <cstdlib>
#include <filesystem>
#include <memory>

namespace testing_support {

namespace fs = std::filesystem;

ScopedEnv::ScopedEnv(const char *name, const char *value) : name_(name)
{
    if (const char *old = getenv(name)) {
        had_ = true;
        old_ = old;
    }
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv()
{
    if (had_)
        setenv(name_.c_str(), old_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}

std::string arm_loader_bytes(void)
{
    std::string h("\177ELF\2\1\1\0", 8);
    h += std::string(8, '\0');
    h += std::string("\3\0\267\0\1\0\0\0", 8);
    h += std::string(40, '\0');
    return h;
}

HostRoot::HostRoot()
    : root_("OSTRELLE_TESTBED_ROOT", dir_.path().c_str()),
      uid_(std::make_unique<ScopedEnv>("OSTRELLE_TESTBED_UID", "1000")),
      groups_("OSTRELLE_TESTBED_GROUPS", "1000,20")
{
    for (const char *d : {"lib", "dev", "proc", "sys/bus/usb/devices", "etc/udev/rules.d"})
        fs::create_directories(dir_.file(d));
    dir_.write("etc/group", "root:x:0:\ndialout:x:20:user\nuser:x:1000:\n");
}

void HostRoot::cross_library(bool old)
{
    const std::string lib = "usr/aarch64-linux-gnu/lib/";
    if (old) {
        dir_.write(lib + "ld-2.27.so", arm_loader_bytes());
        symlink("ld-2.27.so", lib + "ld-linux-aarch64.so.1");
    } else {
        dir_.write(lib + "ld-linux-aarch64.so.1", arm_loader_bytes());
    }
}

void HostRoot::link(const std::string &target)
{
    symlink(target, "lib/ld-linux-aarch64.so.1");
}

void HostRoot::symlink(const std::string &target, const std::string &rel) const
{
    fs::path p = fs::path(dir_.path()) / rel;
    fs::create_directories(p.parent_path());
    std::error_code ec;
    fs::remove(p, ec);
    fs::create_symlink(target, p);
}

} // namespace testing_support
