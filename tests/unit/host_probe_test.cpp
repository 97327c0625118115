// Package names from the package database, and the Arm loader and its link.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "setup/host_probe.h"
#include "support/host_root.h"

using testing_support::HostRoot;
using Names = std::vector<std::string>;

namespace {

// `env LC_ALL=C apt-cache policy android-tools-adb adb python python3
// python-is-python3` on Debian 12 with python3 installed, as printed.
const char *const debian12 = "android-tools-adb:\n"
                             "  Installed: (none)\n"
                             "  Candidate: (none)\n"
                             "  Version table:\n"
                             "adb:\n"
                             "  Installed: (none)\n"
                             "  Candidate: 1:29.0.6-28\n"
                             "  Version table:\n"
                             "     1:29.0.6-28 500\n"
                             "        500 http://deb.debian.org/debian bookworm/main amd64 "
                             "Packages\n"
                             "python:\n"
                             "  Installed: (none)\n"
                             "  Candidate: (none)\n"
                             "  Version table:\n"
                             "python3:\n"
                             "  Installed: 3.11.2-1+b1\n"
                             "  Candidate: 3.11.2-1+b1\n"
                             "  Version table:\n"
                             " *** 3.11.2-1+b1 500\n"
                             "        500 http://deb.debian.org/debian bookworm/main amd64 "
                             "Packages\n"
                             "        100 /var/lib/dpkg/status\n"
                             "python-is-python3:\n"
                             "  Installed: (none)\n"
                             "  Candidate: 3.11.2-1+deb12u1\n"
                             "  Version table:\n"
                             "     3.11.2-1+deb12u1 500\n"
                             "        500 http://deb.debian.org/debian bookworm/main amd64 "
                             "Packages\n";

const Names original_names = {"android-tools-adb",
                              "libc6-arm64-cross",
                              "fakechroot",
                              "fakeroot",
                              "qemu-user-static",
                              "wget",
                              "udev",
                              "unzip",
                              "coreutils",
                              "dpkg",
                              "python",
                              "kmod"};

} // namespace

TEST(PackageNames, NamesWithACandidateStayAsTheyAre)
{
    // Ubuntu 18.04: both old names have candidates.
    probe::PackageDb db{{"python", {false, true}},
                        {"android-tools-adb", {false, true}},
                        {"python3", {true, true}},
                        {"adb", {false, true}}};
    probe::PackageNames n = probe::resolve(db);
    EXPECT_EQ(n.check, original_names);
    EXPECT_EQ(n.install, original_names);
    EXPECT_EQ(n.recheck, (Names{"libc6-arm64-cross", "fakechroot", "fakeroot", "qemu-user-static",
                                "wget", "unzip", "coreutils", "dpkg", "python", "kmod"}));
    EXPECT_EQ(n.python, Names{"python"});
    EXPECT_TRUE(n.unresolved.empty());
}

TEST(PackageNames, SuccessorsReplaceNamesWithoutCandidate)
{
    // Notices before the stanzas are no package.
    probe::PackageDb db =
        probe::parse_policy(std::string("N: Unable to locate package x\n") + debian12);
    EXPECT_EQ(db.size(), 5u);
    probe::PackageNames n = probe::resolve(db);
    EXPECT_EQ(probe::join(n.check),
              "adb libc6-arm64-cross fakechroot fakeroot qemu-user-static wget udev unzip "
              "coreutils dpkg python3 python-is-python3 kmod");
    EXPECT_EQ(probe::join(n.recheck), "libc6-arm64-cross fakechroot fakeroot qemu-user-static "
                                      "wget unzip coreutils dpkg python3 python-is-python3 kmod");
    EXPECT_EQ(n.python, (Names{"python3", "python-is-python3"}));
    EXPECT_TRUE(n.unresolved.empty());
}

TEST(PackageNames, ARenameWithoutInstallableSuccessorIsUnresolved)
{
    // A later release that drops python-is-python3, and no package list at all for adb.
    probe::PackageDb db{{"python", {}}, {"python3", {true, true}}};
    probe::PackageNames n = probe::resolve(db);
    ASSERT_EQ(n.unresolved.size(), 2u);
    EXPECT_STREQ(n.unresolved[0]->name, "android-tools-adb");
    EXPECT_STREQ(n.unresolved[1]->name, "python");
    // They keep their own names in the check, and stay out of the install.
    EXPECT_EQ(n.check, original_names);
    EXPECT_EQ(n.install.size(), 10u);
    EXPECT_EQ(std::count(n.install.begin(), n.install.end(), "python"), 0);
}

TEST(PackageNames, ThisMachinesAptCacheResolvesToInstallableNames)
{
    Names all = probe::rename_names();
    for (const char *p : probe::needed_packages())
        all.emplace_back(p);
    probe::PackageDb db = probe::query_packages(all);
    if (db.find("coreutils") == db.end() || !db.at("coreutils").candidate)
        GTEST_SKIP() << "apt-cache is missing here or has no package lists (apt-get update)";
    probe::PackageNames n = probe::resolve(db);
    EXPECT_TRUE(n.unresolved.empty());
    for (const std::string &name : n.check) {
        ASSERT_NE(db.find(name), db.end()) << name;
        EXPECT_TRUE(db.at(name).installed || db.at(name).candidate) << name;
    }
}

TEST(Loader, OldReleasesLinkTheVersionedFileWithTheOriginalLine)
{
    HostRoot host;
    host.cross_library(true);
    probe::Loader l = probe::loader();
    EXPECT_EQ(l.state, probe::Loader::missing);
    EXPECT_EQ(l.shipped, "/usr/aarch64-linux-gnu/lib/ld-2.27.so");
    EXPECT_EQ(probe::link_cmd(l.shipped, false, "sudo "),
              "linkfile=`readlink /lib/ld-linux-aarch64.so.1`; if [ \"$linkfile\" != "
              "\"/usr/aarch64-linux-gnu/lib/ld-2.27.so\" ]; then sudo ln -s "
              "/usr/aarch64-linux-gnu/lib/ld-2.27.so /lib/ld-linux-aarch64.so.1; fi");
    host.link("/usr/aarch64-linux-gnu/lib/ld-2.27.so");
    EXPECT_EQ(probe::loader().state, probe::Loader::ok);
}

TEST(Loader, LinkStatesOnACurrentRelease)
{
    HostRoot host;
    EXPECT_EQ(probe::loader().shipped, "") << "no cross library, no loader to link to";
    host.cross_library(false);
    EXPECT_EQ(probe::loader().shipped, probe::cross_loader);

    // What an earlier run for an old release left: a link to nothing.
    host.link("/usr/aarch64-linux-gnu/lib/ld-2.27.so");
    probe::Loader l = probe::loader();
    EXPECT_EQ(l.state, probe::Loader::wrong);
    EXPECT_EQ(l.points_to, "/usr/aarch64-linux-gnu/lib/ld-2.27.so");

    host.write("lib/x86/ld.so", std::string("\177ELF\2\1\1", 7) + std::string(11, '\0') +
                                    std::string("\76\0", 2) + std::string(44, '\0'));
    host.link("x86/ld.so");
    EXPECT_EQ(probe::loader().state, probe::Loader::wrong) << "a loader, but not for Arm";

    host.link("../usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1");
    EXPECT_EQ(probe::loader().state, probe::Loader::ok) << "relative links are followed";

    std::filesystem::remove(host.dir().file("lib/ld-linux-aarch64.so.1"));
    host.write("lib/ld-linux-aarch64.so.1", "not a loader\n");
    EXPECT_EQ(probe::loader().state, probe::Loader::not_link);
}
