// A simulated host for the probes of host preparation and the doctor: the
// test-bed build reads host files below $OSTRELLE_TESTBED_ROOT and takes its
// user and group ids from $OSTRELLE_TESTBED_UID and $OSTRELLE_TESTBED_GROUPS.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace testing_support {

// Sets an environment variable (nullptr: removes it) until destruction.
class ScopedEnv {
  public:
    ScopedEnv(const char *name, const char *value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

  private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

// An empty host root (with /lib, /dev, /proc, /sys/bus/usb/devices, the
// udev rules directory and an /etc/group with dialout, gid 20) for a user
// with uid 1000 in groups 1000 and 20, until destruction.
class HostRoot {
  public:
    HostRoot();
    const TempDir &dir() const { return dir_; }
    // The loader files of libc6-arm64-cross: glibc 2.27 (ld-2.27.so and
    // the soname link to it) when old, else the soname file of glibc >= 2.34.
    void cross_library(bool old);
    // /lib/ld-linux-aarch64.so.1 as a link holding target.
    void link(const std::string &target);
    void write(const std::string &rel, const std::string &text) const { dir_.write(rel, text); }
    void symlink(const std::string &target, const std::string &rel) const;
    // The user id the probes take. The old setting is undone first: undone
    // after the new one was made, it would unset the variable, and the
    // probes would take the real user id of whoever runs the test.
    void set_uid(const char *uid)
    {
        uid_.reset();
        uid_ = std::make_unique<ScopedEnv>("OSTRELLE_TESTBED_UID", uid);
    }

  private:
    TempDir dir_;
    ScopedEnv root_;
    std::unique_ptr<ScopedEnv> uid_;
    ScopedEnv groups_;
};

// The first bytes of a 64-bit little-endian AArch64 ELF shared object.
std::string arm_loader_bytes(void);

} // namespace testing_support
