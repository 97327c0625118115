// The doctor: a healthy simulated host passes every check it can make, and
// each planted fault fails exactly its own check, with its fix.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <json-c/json.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/doctor.h"
#include "core/state.h"
#include "setup/host_probe.h"
#include "support/fake_runner.h"
#include "support/host_root.h"
#include "support/stdio_capture.h"

using testing_support::FakeRunner;
using testing_support::HostRoot;
using testing_support::ScopedEnv;
using testing_support::StdoutCapture;
using testing_support::TempDir;

namespace {

// What the doctor reads and what its commands answer; healthy as built.
struct DoctorHost {
    HostRoot host;
    TempDir bin;
    TempDir home;
    ScopedEnv path{"PATH", bin.path().c_str()};
    ScopedEnv home_env{"HOME", home.path().c_str()};
    std::string apt;         // apt-cache policy output
    int account_status = 0;  // wget --spider exit statuses
    int resource_status = 0; //
    long clock_skew = 0;     // server time minus ours, in seconds

    DoctorHost()
    {
        host.cross_library(false);
        host.link(probe::cross_loader);
        for (const char *tool :
             {"wget", "unzip", "sha256sum", "adb", "QSaharaServer", "fh_loader", "sudo"}) {
            bin.write(tool, "");
            chmod(bin.file(tool).c_str(), 0755);
        }
        // A board in download mode that qcserial serves.
        host.write("sys/bus/usb/devices/1-3/idVendor", "05c6\n");
        host.write("sys/bus/usb/devices/1-3/idProduct", "9008\n");
        host.symlink("../../../../bus/usb-serial/drivers/qcserial",
                     "sys/bus/usb/devices/1-3:1.0/driver");
        // Debian 12 with every package the commands need.
        for (const char *name : {"android-tools-adb", "python"})
            apt += std::string(name) + ":\n  Installed: (none)\n  Candidate: (none)\n";
        for (const char *name :
             {"adb", "python3", "python-is-python3", "libc6-arm64-cross", "fakechroot", "fakeroot",
              "qemu-user-static", "wget", "udev", "unzip", "coreutils", "dpkg", "kmod"})
            apt += std::string(name) + ":\n  Installed: 1.0\n  Candidate: 1.0\n";
    }

    std::vector<doctor::Check> run(FakeRunner &fake) const
    {
        fake.push_read_line(apt);
        for (int status : {account_status, resource_status}) {
            host::Reply reply;
            reply.outcome = host::Outcome::no_line;
            reply.status = status;
            fake.push_read(reply);
        }
        time_t server = time(nullptr) + clock_skew;
        char date[64];
        strftime(date, sizeof(date), "%a, %d %b %Y %H:%M:%S GMT", gmtime(&server));
        fake.push_read_line("HTTP request sent, awaiting response... \n  HTTP/1.0 404 Not "
                            "Found\n  Date: " +
                            std::string(date) + "\n");
        return doctor::run_checks(nullptr);
    }
};

struct Fault {
    const char *check;
    std::function<void(DoctorHost &)> plant;
    const char *fix; // the start of the fix
};

const Fault faults[] = {
    {"packages",
     [](DoctorHost &h) {
         const std::string installed = "adb:\n  Installed: 1.0";
         h.apt.replace(h.apt.find(installed), installed.size(), "adb:\n  Installed: (none)");
     },
     "sudo apt-get install adb"},
    {"loader-link", [](DoctorHost &h) { h.host.link("/usr/aarch64-linux-gnu/lib/ld-2.27.so"); },
     "sudo ln -sf /usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1 /lib/ld-linux-aarch64.so.1"},
    {"tools", [](DoctorHost &h) { std::filesystem::remove(h.bin.file("fh_loader")); },
     "put Qualcomm's QDL tools QSaharaServer and fh_loader in a directory on PATH"},
    {"device-access", [](DoctorHost &) { setenv("OSTRELLE_TESTBED_GROUPS", "1000", 1); },
     "sudo usermod -aG dialout $USER (then log in again), or the file "
     "/etc/udev/rules.d/51-ostrelle-qdl.rules with the line: SUBSYSTEMS==\"usb\", "
     "ATTRS{idVendor}==\"05c6\", ATTRS{idProduct}==\"9008\", MODE=\"0666\", "
     "ENV{ID_MM_DEVICE_IGNORE}=\"1\""},
    {"modemmanager", [](DoctorHost &h) { h.host.write("proc/812/comm", "ModemManager\n"); },
     "sudo systemctl stop ModemManager"},
    {"qcserial",
     [](DoctorHost &h) {
         h.host.write("sys/bus/usb/devices/1-2/idVendor", "05c6\n");
         h.host.write("sys/bus/usb/devices/1-2/idProduct", "9008\n");
         std::filesystem::create_directories(h.host.dir().file("sys/bus/usb/devices/1-2:1.0"));
     },
     "sudo modprobe qcserial, then reconnect the board"},
    {"free-space",
     [](DoctorHost &h) {
         // An 8 TiB release package (sparse) needs three times that.
         h.home.write("ostrelle_dir.txt", h.home.file("work") + "/ \n");
         h.home.write("work/r1.zip", "");
         ASSERT_EQ(truncate(h.home.file("work/r1.zip").c_str(), 8LL << 40), 0);
     },
     "remove old releases (<release>.zip and <release>/) from "},
    {"account-server", [](DoctorHost &h) { h.account_status = 5; },
     "copy the CA certificate of the server to /usr/local/share/ca-certificates/"},
    {"resource-server", [](DoctorHost &h) { h.resource_status = 4; },
     "check the network connection and the proxy (https_proxy)"},
    {"clock", [](DoctorHost &h) { h.clock_skew = 7200; },
     "sudo timedatectl set-ntp true, or set it: sudo date -u -s '"},
};

} // namespace

TEST(Doctor, HealthyHostPassesAndRunsNothingAsRoot)
{
    DoctorHost h;
    FakeRunner fake;
    std::vector<doctor::Check> checks = h.run(fake);
    ASSERT_EQ(checks.size(), 10u);
    if (!tls_verify) {
        // Such a build fails the server checks whatever the servers do.
        for (size_t i : {7u, 8u}) {
            EXPECT_EQ(checks[i].verdict, doctor::Verdict::fail);
            EXPECT_NE(checks[i].detail.find("this build does not check the servers' certificates"),
                      std::string::npos);
        }
        GTEST_SKIP() << "built with OSTRELLE_TLS_VERIFY=OFF";
    }
    for (const doctor::Check &c : checks)
        EXPECT_NE(c.verdict, doctor::Verdict::fail) << c.name << ": " << c.detail;
    EXPECT_EQ(checks[5].detail, "board in download mode at 1-3 is bound to qcserial");
    EXPECT_EQ(checks[6].verdict, doctor::Verdict::skip) << "no target directory stored";
    // Read-only: apt-cache, and wget without skipping certificate checks
    // except where only the server's clock is read.
    std::vector<std::string> cmds = fake.commands();
    ASSERT_EQ(cmds.size(), 4u);
    // Argument lists, no shell.
    for (const auto &call : fake.calls())
        EXPECT_EQ(call.kind, FakeRunner::Kind::argv) << call.cmd;
    EXPECT_EQ(cmds[0].rfind("env LC_ALL=C apt-cache policy ", 0), 0u);
    EXPECT_EQ(cmds[1], "wget --spider -q -T 10 -t 1 https://127.0.0.1:8443/");
    EXPECT_EQ(cmds[3], "wget -S --spider -T 10 -t 1 --no-check-certificate "
                       "https://127.0.0.1:8443/");
    for (const std::string &cmd : cmds)
        EXPECT_EQ(cmd.find("sudo"), std::string::npos) << cmd;
}

TEST(Doctor, EachPlantedFaultFailsItsOwnCheckWithItsFix)
{
    if (!tls_verify)
        GTEST_SKIP() << "built with OSTRELLE_TLS_VERIFY=OFF: the server checks fail";
    for (const Fault &fault : faults) {
        SCOPED_TRACE(fault.check);
        DoctorHost h;
        ScopedEnv groups("OSTRELLE_TESTBED_GROUPS", "1000,20");
        fault.plant(h);
        FakeRunner fake;
        std::vector<doctor::Check> checks = h.run(fake);
        for (const doctor::Check &c : checks) {
            if (std::string(c.name) != fault.check) {
                EXPECT_NE(c.verdict, doctor::Verdict::fail) << c.name << ": " << c.detail;
                continue;
            }
            EXPECT_EQ(c.verdict, doctor::Verdict::fail) << c.detail;
            EXPECT_EQ(c.fix.rfind(fault.fix, 0), 0u) << c.fix;
        }
    }
}

TEST(Doctor, WithoutSudoFixesSayToRunThemAsRoot)
{
    DoctorHost h;
    std::filesystem::remove(h.bin.file("sudo"));
    std::filesystem::remove(h.host.dir().file("lib/ld-linux-aarch64.so.1"));
    h.host.write("lib/ld-linux-aarch64.so.1", "not a loader");
    h.host.write("proc/812/comm", "ModemManager\n");
    h.clock_skew = 7200;
    ScopedEnv groups("OSTRELLE_TESTBED_GROUPS", "1000");
    FakeRunner fake;
    std::vector<doctor::Check> checks = h.run(fake);
    // Run by root, $USER would name root: the fix names this user.
    EXPECT_EQ(checks[3].fix.rfind("as root, run: usermod -aG dialout ", 0), 0u) << checks[3].fix;
    EXPECT_EQ(checks[3].fix.find("$USER"), std::string::npos) << checks[3].fix;
    EXPECT_EQ(checks[1].fix, "as root, run: mv /lib/ld-linux-aarch64.so.1 "
                             "/lib/ld-linux-aarch64.so.1.old && ln -s "
                             "/usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1 "
                             "/lib/ld-linux-aarch64.so.1");
    EXPECT_EQ(checks[4].fix.rfind("as root, run: systemctl stop ModemManager, or add ", 0), 0u);
    EXPECT_EQ(checks[9].fix.rfind("as root, run: timedatectl set-ntp true, or set it: as root, "
                                  "run: date -u -s '",
                                  0),
              0u);
    for (const doctor::Check &c : checks)
        EXPECT_EQ(c.fix.find("sudo"), std::string::npos) << c.fix;
    // With sudo, each command of a line goes through it.
    h.bin.write("sudo", "");
    chmod(h.bin.file("sudo").c_str(), 0755);
    FakeRunner again;
    EXPECT_EQ(h.run(again)[1].fix.rfind("sudo mv /lib/ld-linux-aarch64.so.1 "
                                        "/lib/ld-linux-aarch64.so.1.old && sudo ln -s ",
                                        0),
              0u);
}

TEST(Doctor, ATargetNotMadeYetIsJudgedAtItsNearestDirectory)
{
    DoctorHost h;
    const std::string target = h.home.file("not/yet");
    FakeRunner fake;
    fake.push_read_line(h.apt);
    std::vector<doctor::Check> checks = doctor::run_checks(target.c_str());
    EXPECT_EQ(checks[6].verdict, doctor::Verdict::pass) << checks[6].detail;
    EXPECT_EQ(checks[6].detail.rfind(target +
                                         " does not exist yet; at its nearest existing "
                                         "directory " +
                                         h.home.path() + "/: ",
                                     0),
              0u)
        << checks[6].detail;
    EXPECT_NE(checks[6].detail.find(" GiB free, "), std::string::npos) << checks[6].detail;
}

TEST(Doctor, AnAuthorityFileOthersMayWriteVouchesForNoServer)
{
    if (!tls_verify)
        GTEST_SKIP() << "built with OSTRELLE_TLS_VERIFY=OFF: the server checks fail";
    DoctorHost h;
    h.home.write("ca.pem", "-----BEGIN CERTIFICATE-----\n");
    chmod(h.home.file("ca.pem").c_str(), 0666);
    ScopedEnv ca("OSTRELLE_CA_FILE", h.home.file("ca.pem").c_str());
    FakeRunner fake;
    std::vector<doctor::Check> checks = h.run(fake);
    for (const doctor::Check &c : checks) {
        if (std::string(c.name) != "account-server" && std::string(c.name) != "resource-server")
            continue;
        EXPECT_EQ(c.verdict, doctor::Verdict::fail) << c.name;
        EXPECT_NE(c.detail.find("is not checked against the certificate authority file " +
                                h.home.file("ca.pem") +
                                " named by OSTRELLE_CA_FILE: others may write it"),
                  std::string::npos)
            << c.detail;
    }
    // Nothing is fetched with the file it refuses.
    for (const std::string &cmd : fake.commands())
        EXPECT_EQ(cmd.find("ca.pem"), std::string::npos) << cmd;
}

TEST(Doctor, TextAndJsonSayTheSame)
{
    if (!tls_verify)
        GTEST_SKIP() << "built with OSTRELLE_TLS_VERIFY=OFF: the server checks fail";
    DoctorHost h;
    h.clock_skew = -7200;
    std::string text;
    std::string json;
    for (bool as_json : {false, true}) {
        FakeRunner fake;
        std::vector<doctor::Check> checks = h.run(fake);
        StdoutCapture cap;
        as_json ? doctor::print_json(checks) : doctor::print_text(checks);
        (as_json ? json : text) = cap.text();
    }
    EXPECT_NE(text.find("\033[31mFAIL\033[0m clock           the clock says "), std::string::npos)
        << text;
    EXPECT_NE(text.find("120 min ahead of the resource server's; fix: sudo timedatectl"),
              std::string::npos)
        << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10);

    json_object *root = json_tokener_parse(json.c_str());
    ASSERT_NE(root, nullptr) << json;
    json_object *ok = nullptr;
    json_object *list = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(root, "ok", &ok));
    EXPECT_FALSE(json_object_get_boolean(ok));
    ASSERT_TRUE(json_object_object_get_ex(root, "checks", &list));
    ASSERT_EQ(json_object_array_length(list), 10u);
    json_object *clock = json_object_array_get_idx(list, 9);
    json_object *field = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(clock, "verdict", &field));
    EXPECT_STREQ(json_object_get_string(field), "fail");
    ASSERT_TRUE(json_object_object_get_ex(clock, "fix", &field));
    EXPECT_EQ(std::string(json_object_get_string(field)).rfind("sudo timedatectl", 0), 0u);
    ASSERT_TRUE(json_object_object_get_ex(json_object_array_get_idx(list, 0), "fix", &field));
    EXPECT_EQ(field, nullptr) << "a passing check has no fix";
    json_object_put(root);
}
