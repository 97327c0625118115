// find_device: the discovery command it runs and what it makes of the reply.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "app/commands.h"
#include "app/state.h"
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

TEST_F(FindDevice, RunsThePosixFilterAndReadsUpTo799Characters)
{
    runner.push_read_line("/dev/ttyUSB0\n");
    StdoutCapture out;
    EXPECT_EQ(find_device(), 1);
    EXPECT_EQ(out.text(), "Device found: /dev/ttyUSB0\n");

    ASSERT_EQ(runner.calls().size(), 1u);
    const auto &call = runner.calls()[0];
    EXPECT_EQ(call.kind, FakeRunner::Kind::read);
    EXPECT_EQ(call.line_buffer, 800u);
    // dash has no [[ ]]: there the whole filter would be skipped and every
    // serial port would pass.
    EXPECT_EQ(call.cmd.find("[["), std::string::npos);
    EXPECT_NE(call.cmd.find("find /sys/bus/usb/devices/usb*/ -name dev | grep ttyUSB"),
              std::string::npos);
    EXPECT_NE(call.cmd.find("syspath=\"${sysdevpath%/dev}\""), std::string::npos);
    EXPECT_NE(call.cmd.find("udevadm info -q property --export -p $syspath"), std::string::npos);
    EXPECT_NE(call.cmd.find("[ -z \"$ID_SERIAL\" ] || [ \"${ID_VENDOR_ID}\" != \"05c6\" ] || "
                            "[ \"${ID_MODEL_ID}\" != \"9008\" ] && continue; echo ${DEVNAME}"),
              std::string::npos);
    EXPECT_STREQ(dev_name, "/dev/ttyUSB0");
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
