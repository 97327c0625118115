// What adb's listing says: its devices, and whether it shows the flashed
// board booted.
#include <string>

#include <gtest/gtest.h>

#include "flash/boards.h"

namespace {

const char listing[] = "* daemon not running; starting now at tcp:5037\n"
                       "* daemon started successfully\n"
                       "List of devices attached\n"
                       "7a3c11f0               device usb:1-2.3 product:kt5 model:KT5 "
                       "device:kt5 transport_id:1\n"
                       "192.168.1.20:5555      device product:kt6 model:KT6 device:kt6 "
                       "transport_id:2\n"
                       "b0a4d6e1               no permissions (user not in plugdev); see "
                       "[http://developer.android.com/tools/device.html] usb:1-4 "
                       "transport_id:3\n"
                       "\n";

TEST(Adb, ListingGivesEachDeviceWithItsStateAndUsbPath)
{
    std::vector<boards::AdbDevice> devices = boards::parse_adb_listing(listing);
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].serial, "7a3c11f0");
    EXPECT_EQ(devices[0].state, "device");
    EXPECT_EQ(devices[0].usb_path, "1-2.3");
    EXPECT_EQ(devices[1].serial, "192.168.1.20:5555");
    EXPECT_EQ(devices[1].usb_path, "");
    EXPECT_EQ(devices[2].usb_path, "1-4");
    EXPECT_EQ(devices[2].state.rfind("no permissions (user not in plugdev);", 0), 0u);
    EXPECT_TRUE(boards::parse_adb_listing("List of devices attached\n\n").empty());
}

TEST(Adb, BootIsTheFlashedBoardsOwnEntry)
{
    const std::string other = "List of devices attached\n"
                              "b0a4d6e1               device usb:1-4 transport_id:1\n\n";
    // Another device on another USB path is not the flashed board booted.
    EXPECT_FALSE(boards::booted_in_listing(other, "1-2.3"));
    EXPECT_TRUE(boards::booted_in_listing(listing, "1-2.3"));
    EXPECT_TRUE(boards::booted_in_listing(other, "1-4"));
    // A path is the whole path: 1-2 is not 1-2.3.
    EXPECT_FALSE(boards::booted_in_listing(listing, "1-2"));

    // Without USB paths to compare, any entry counts: from the board's side
    // when its path is unknown, from adb's when it reports none.
    EXPECT_TRUE(boards::booted_in_listing(other, ""));
    EXPECT_TRUE(
        boards::booted_in_listing("List of devices attached\nb0a4d6e1\tdevice\n\n", "1-2.3"));
    const char *const empty[] = {"", "List of devices attached\n", "List of devices attached\n\n",
                                 "List of devices attached\nx"};
    for (const char *text : empty) {
        EXPECT_FALSE(boards::booted_in_listing(text, "")) << text;
        EXPECT_FALSE(boards::booted_in_listing(text, "1-2")) << text;
    }
}

} // namespace

TEST(Phases, LiveTextAndVerdictComeFromThePhaseValue)
{
    using boards::Phase;
    EXPECT_EQ(boards::phase_text(Phase::erasing, 3), "erasing part 3");
    EXPECT_EQ(boards::phase_text(Phase::waiting_for_boot, 0), "waiting for the boot");
    EXPECT_EQ(boards::phase_text(Phase::waiting_for_boot, 20), "waiting for the boot, 20s");
    const std::pair<Phase, const char *> failed[] = {
        {Phase::starting, "not flashed"},
        {Phase::not_found, "not in download mode"},
        {Phase::loading, "programmer not loaded"},
        {Phase::erasing, "failed while erasing part 4"},
        {Phase::writing_cdt, "failed while writing the CDT"},
        {Phase::writing_build, "failed while writing the build"},
        {Phase::waiting_for_boot, "not booted"},
        {Phase::waiting_for_restart, "still in download mode"},
    };
    for (auto [phase, verdict] : failed)
        EXPECT_EQ(boards::phase_verdict(phase, 4, 1, true), verdict);
    EXPECT_EQ(boards::phase_verdict(Phase::writing_cdt, 0, 8, true), "busy: another run holds it");
    // Gone part-way (status 6) is told from a tool failing with the board there.
    EXPECT_EQ(boards::phase_verdict(Phase::writing_cdt, 0, 6, true), "lost while writing the CDT");
    EXPECT_EQ(boards::phase_verdict(Phase::not_found, 0, 6, true), "not in download mode");
    // After ten seconds of waiting it is still the boot that failed.
    EXPECT_EQ(boards::phase_verdict(Phase::waiting_for_boot, 10, 1, true), "not booted");
    EXPECT_EQ(boards::phase_verdict(Phase::writing_build, 0, 0, true), "booted");
    EXPECT_EQ(boards::phase_verdict(Phase::writing_build, 0, 0, false), "flashed");
    EXPECT_EQ(boards::phase_verdict(Phase::erasing, 2, 128 + 15, true), "ended by signal 15");
}
