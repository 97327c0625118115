// find_device and the board choice: the discovery command they run and what
// they make of the reply.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "core/commands.h"
#include "core/state.h"
#include "flash/boards.h"
#include "support/fake_runner.h"
#include "support/globals.h"
#include "support/stdio_capture.h"

using testing_support::FakeRunner;
using testing_support::Globals;
using testing_support::StderrCapture;
using testing_support::StdoutCapture;

namespace {

class FindDevice : public ::testing::Test {
  protected:
    void SetUp() override { strcpy(dev_name, "/dev/ttyUSB7"); }

    Globals globals;
    FakeRunner runner;
};

TEST_F(FindDevice, ReadsThePortsPropertiesAsTextAndNamesTheBoardByItsUsbPathAndSerial)
{
    const std::string board = "/sys/bus/usb/devices/usb1/1-2/1-2.3/1-2.3:1.0/ttyUSB0/tty/ttyUSB0";
    const std::string adapter = "/sys/bus/usb/devices/usb1/1-4/1-4:1.0/ttyUSB1/tty/ttyUSB1";
    const std::string hub = "/sys/bus/usb/devices/usb1/1-2";
    runner.raw_find = true;
    runner.push_read_line(hub + "/dev\n" + board + "/dev\n" + adapter + "/dev\n");
    // What a shell would have run lies in values; here they stay text.
    runner.udev_export[board] = "DEVPATH='/devices/x'\nDEVNAME='/dev/ttyUSB0'\n"
                                "ID_VENDOR='Fry's $(touch /tmp/x) `id`'\n"
                                "ID_VENDOR_ID='05c6'\nID_MODEL_ID='9008'\n"
                                "ID_SERIAL='Qualcomm_QDLoader_7A3C11F0'\n"
                                "ID_SERIAL_SHORT='7A3C11F0'\n";
    runner.udev_export[adapter] = "DEVNAME='/dev/ttyUSB1'\nID_VENDOR_ID='067b'\n"
                                  "ID_MODEL_ID='2303'\nID_SERIAL='Prolific'\n";
    StdoutCapture out;
    EXPECT_EQ(find_device(), 1);
    EXPECT_EQ(out.text(), "Device found: /dev/ttyUSB0 (USB 1-2.3, serial 7A3C11F0)\n");
    EXPECT_STREQ(dev_name, "/dev/ttyUSB0");

    // No shell: find over the buses (the pattern itself where none exists,
    // as the shell would pass it), then udevadm for each ttyUSB port only.
    const auto lists = runner.argv_calls();
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].front(), "find");
    EXPECT_EQ(lists[0][1].rfind("/sys/bus/usb/devices/usb", 0), 0u);
    EXPECT_EQ(lists[0][1].back(), '/');
    EXPECT_EQ(std::vector<std::string>(lists[0].end() - 2, lists[0].end()),
              (std::vector<std::string>{"-name", "dev"}));
    const auto &udevadm = runner.udevadm_calls();
    ASSERT_EQ(udevadm.size(), 2u);
    EXPECT_EQ(udevadm[0], (std::vector<std::string>{"udevadm", "info", "-q", "property", "--export",
                                                    "-p", board}));
    EXPECT_EQ(udevadm[1].back(), adapter);
    for (const auto &call : runner.calls())
        EXPECT_EQ(call.kind, FakeRunner::Kind::argv) << call.cmd;
}

TEST_F(FindDevice, PortWhosePropertiesCouldForgeABoardIsLeftOutAndNamed)
{
    const std::string a = "/sys/bus/usb/devices/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0";
    const std::string b = "/sys/bus/usb/devices/usb1/1-3/1-3:1.0/ttyUSB1/tty/ttyUSB1";
    runner.raw_find = true;
    runner.push_read_line(a + "/dev\n" + b + "/dev\n");
    // A serial with a line feed would have printed a second board.
    runner.udev_export[a] = "DEVNAME='/dev/ttyUSB0'\nID_VENDOR_ID='05c6'\nID_MODEL_ID='9008'\n"
                            "ID_SERIAL='AAA\n/dev/ttyS0'\n";
    runner.udev_export[b] = "DEVNAME='/dev/ttyUSB1'\nID_VENDOR_ID='05c6'\nID_MODEL_ID='9008'\n"
                            "ID_SERIAL='BBB'\n";
    StdoutCapture out;
    StderrCapture err;
    EXPECT_EQ(find_device(), 1);
    EXPECT_EQ(out.text(), "Device found: /dev/ttyUSB1 (USB 1-3, serial BBB)\n");
    EXPECT_EQ(err.text(), "ostrelle: the serial port at " + a +
                              " is left out: property ID_SERIAL holds a line feed\n");
}

TEST(UdevProperties, ValuesAreTextAndAnythingThatCouldSplitOrForgeOneRefusesTheDevice)
{
    boards::UdevProperties ok = boards::parse_udev_export(
        "ID_VENDOR='Fry's Electronics'\nID_MODEL='\"$(reboot)\" `x` ;|&'\nID_SERIAL=''\n");
    EXPECT_EQ(ok.refused, "");
    EXPECT_EQ(ok.get("ID_VENDOR"), "Fry's Electronics");
    EXPECT_EQ(ok.get("ID_MODEL"), "\"$(reboot)\" `x` ;|&");
    EXPECT_EQ(ok.get("ID_SERIAL"), "");
    EXPECT_EQ(ok.get("DEVNAME"), "");
    EXPECT_TRUE(boards::parse_udev_export("").refused.empty());

    const char *const refused[][2] = {
        {"ID_SERIAL='A\nDEVNAME='/dev/ttyS0'\n", "property ID_SERIAL holds a line feed"},
        {"ID_SERIAL='A\x1b[2J'\n", "property ID_SERIAL holds control bytes"},
        {"ID_SERIAL='A\rB'\n", "property ID_SERIAL holds control bytes"},
        {"DEVNAME='/dev/ttyUSB0'\nDEVNAME='/dev/sda'\n", "property DEVNAME is given twice"},
        {"junk\nID_SERIAL='A'\n", "a property holds a line feed"},
        {"ID_SERIAL='A'", "its properties end without a line end"},
    };
    for (const auto &c : refused) {
        boards::UdevProperties props = boards::parse_udev_export(c[0]);
        EXPECT_EQ(props.refused, c[1]) << c[0];
        EXPECT_TRUE(props.values.empty()) << c[0];
    }
}

TEST_F(FindDevice, UsbPathIsTheLastBusPortComponentOfTheSysfsPath)
{
    const char *const cases[][2] = {
        {"/sys/bus/usb/devices/usb1/1-2/1-2.3/1-2.3:1.0/ttyUSB0/tty/ttyUSB0", "1-2.3"},
        {"/sys/bus/usb/devices/usb3/3-11/3-11:1.0/ttyUSB4/tty/ttyUSB4", "3-11"},
        {"/sys/bus/usb/devices/usb1/1-1/1-1.4/1-1.4.2/1-1.4.2:1.0/ttyUSB0", "1-1.4.2"},
        {"/sys/devices/platform/serial8250/tty/ttyS0", ""},
        {"/sys/x/1-/1-.2/-2/a-1/1-2..3/1-2.3./ttyUSB0", ""},
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(boards::usb_path_of(c[0]), c[1]) << c[0];
}

TEST_F(FindDevice, NamedBoardIsFoundByItsSerialPortOrUsbPathAndOnlyIt)
{
    const std::string two = "/dev/ttyUSB0\t/sys/bus/usb/devices/usb1/1-2/1-2:1.0/ttyUSB0\tAAA\n"
                            "/dev/ttyUSB1\t/sys/bus/usb/devices/usb1/1-3/1-3:1.0/ttyUSB1\tBBB\n";
    const char *const names[] = {"BBB", "/dev/ttyUSB1", "1-3"};
    for (const char *name : names) {
        boards::pin(name);
        runner.push_read_line(two);
        StdoutCapture out;
        EXPECT_EQ(boards::choose(), boards::Choice::board) << name;
        EXPECT_EQ(out.text(), "Device found: /dev/ttyUSB1 (USB 1-3, serial BBB)\n");
        EXPECT_STREQ(dev_name, "/dev/ttyUSB1");
    }
    boards::pin("CCC");
    runner.push_read_line(two);
    {
        StdoutCapture out;
        EXPECT_EQ(boards::choose(), boards::Choice::none);
        EXPECT_EQ(out.text(), "No board in download mode is CCC\n");
    }
    // Two boards with one serial: the serial names neither.
    boards::pin("AAA");
    runner.push_read_line(two +
                          "/dev/ttyUSB2\t/sys/bus/usb/devices/usb1/1-4/1-4:1.0/ttyUSB2\tAAA\n");
    {
        StdoutCapture out;
        EXPECT_EQ(boards::choose(), boards::Choice::none);
        EXPECT_EQ(out.text(), "AAA names 2 boards; name one by its USB path or port\n");
    }
    boards::pin("");
}

TEST_F(FindDevice, AfterTheRestartOnlyTheChosenBoardCountsAsStillInDownloadMode)
{
    runner.push_read_line("/dev/ttyUSB0\t/sys/bus/usb/devices/usb1/1-2/1-2:1.0/ttyUSB0\tAAA\n");
    // Another board in download mode is not the one that restarted.
    runner.push_read_line("/dev/ttyUSB1\t/sys/bus/usb/devices/usb1/1-3/1-3:1.0/ttyUSB1\tBBB\n");
    // The same board, back on another node.
    runner.push_read_line("/dev/ttyUSB5\t/sys/bus/usb/devices/usb1/1-2/1-2:1.0/ttyUSB5\tAAA\n");
    StdoutCapture out;
    ASSERT_EQ(boards::choose(), boards::Choice::board);
    EXPECT_FALSE(boards::still_in_download_mode());
    EXPECT_TRUE(boards::still_in_download_mode());
    EXPECT_EQ(out.text(), "Device found: /dev/ttyUSB0 (USB 1-2, serial AAA)\n"
                          "Device found: /dev/ttyUSB5 (USB 1-2, serial AAA)\n");
}

TEST_F(FindDevice, ShorterNodeReplacesTheWholeLongerOne)
{
    runner.push_read_line("/dev/bus/usb-serial/ttyUSB12\n");
    runner.push_read_line("/dev/ttyUSB1\n");
    StdoutCapture out;
    EXPECT_EQ(find_device(), 1);
    EXPECT_EQ(find_device(), 1);
    EXPECT_EQ(out.text(), "Device found: /dev/bus/usb-serial/ttyUSB12 (serial QDL_SERIAL)\n"
                          "Device found: /dev/ttyUSB1 (serial QDL_SERIAL)\n");
    EXPECT_STREQ(dev_name, "/dev/ttyUSB1");
}

TEST_F(FindDevice, NoPortLeavesTheNodeAndSaysNothing)
{
    runner.push_read_no_line();
    StdoutCapture out;
    EXPECT_EQ(find_device(), 0);
    EXPECT_EQ(out.text(), "");
    EXPECT_STREQ(dev_name, "/dev/ttyUSB7");
}

TEST_F(FindDevice, ShellThatCannotStartIsReported)
{
    runner.push_read_cannot_start();
    StdoutCapture out;
    EXPECT_EQ(find_device(), 0);
    EXPECT_EQ(out.text(), "Check usb device internal error\n");
    EXPECT_STREQ(dev_name, "/dev/ttyUSB7");
}

TEST_F(FindDevice, PortWithoutNodeNameIsNoBoard)
{
    runner.push_read_line("\n");
    StdoutCapture out;
    EXPECT_EQ(find_device(), 0);
    EXPECT_EQ(out.text(), "");
    EXPECT_STREQ(dev_name, "/dev/ttyUSB7");
}

TEST_F(FindDevice, NodeOf127CharactersFitsAndLongerIsRefusedWhole)
{
    const std::string fits = "/dev/" + std::string(122, 'a');
    const std::string too_long = fits + "b";
    ASSERT_EQ(fits.size(), 127u);

    runner.push_read_line(too_long + "\n");
    {
        StdoutCapture out;
        EXPECT_EQ(find_device(), 0);
        EXPECT_EQ(out.text(), "find_device: device name too long internal error\n");
    }
    EXPECT_STREQ(dev_name, "/dev/ttyUSB7");

    // A line cut short by the 800-byte read has no line end and is refused too.
    runner.push_read_line(std::string(900, 'c'));
    {
        StdoutCapture out;
        EXPECT_EQ(find_device(), 0);
    }
    EXPECT_STREQ(dev_name, "/dev/ttyUSB7");

    runner.push_read_line(fits + "\n");
    {
        StdoutCapture out;
        EXPECT_EQ(find_device(), 1);
        EXPECT_EQ(out.text(), "Device found: " + fits + " (serial QDL_SERIAL)\n");
    }
    EXPECT_EQ(std::string(dev_name), fits);
}

} // namespace
