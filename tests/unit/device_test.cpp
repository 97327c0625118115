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
using testing_support::StdoutCapture;

namespace {

class FindDevice : public ::testing::Test {
  protected:
    void SetUp() override { strcpy(dev_name, "/dev/ttyUSB7"); }

    Globals globals;
    FakeRunner runner;
};

TEST_F(FindDevice, RunsThePosixFilterAndNamesTheBoardByItsUsbPathAndSerial)
{
    runner.push_read_line("/dev/ttyUSB0\t/sys/bus/usb/devices/usb1/1-2/1-2.3/1-2.3:1.0/ttyUSB0/"
                          "tty/ttyUSB0\t7A3C11F0\n");
    StdoutCapture out;
    EXPECT_EQ(find_device(), 1);
    EXPECT_EQ(out.text(), "Device found: /dev/ttyUSB0 (USB 1-2.3, serial 7A3C11F0)\n");

    ASSERT_EQ(runner.calls().size(), 1u);
    const auto &call = runner.calls()[0];
    EXPECT_EQ(call.kind, FakeRunner::Kind::read);
    EXPECT_EQ(call.line_buffer, 64u * 1024);
    // dash has no [[ ]]: there the whole filter would be skipped and every
    // serial port would pass.
    EXPECT_EQ(call.cmd.find("[["), std::string::npos);
    EXPECT_NE(call.cmd.find("find /sys/bus/usb/devices/usb*/ -name dev | grep ttyUSB"),
              std::string::npos);
    EXPECT_NE(call.cmd.find("syspath=\"${sysdevpath%/dev}\""), std::string::npos);
    EXPECT_NE(call.cmd.find("udevadm info -q property --export -p $syspath"), std::string::npos);
    EXPECT_NE(
        call.cmd.find("[ -z \"$ID_SERIAL\" ] || [ \"${ID_VENDOR_ID}\" != \"05c6\" ] || "
                      "[ \"${ID_MODEL_ID}\" != \"9008\" ] && continue; printf '%s\\t%s\\t%s\\n' "
                      "\"${DEVNAME}\" \"$syspath\" \"${ID_SERIAL_SHORT:-$ID_SERIAL}\""),
        std::string::npos);
    EXPECT_STREQ(dev_name, "/dev/ttyUSB0");
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
    EXPECT_EQ(out.text(), "Device found: /dev/bus/usb-serial/ttyUSB12\n"
                          "Device found: /dev/ttyUSB1\n");
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
        EXPECT_EQ(out.text(), "Device found: " + fits + "\n");
    }
    EXPECT_EQ(std::string(dev_name), fits);
}

} // namespace
