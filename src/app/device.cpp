// Discovery of a board in Qualcomm's emergency download mode: a USB serial
// port (ttyUSB) with vendor id 05c6 and product id 9008. Its device node is
// kept in dev_name for the flashing tools.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/commands.h"
#include "app/host.h"
#include "app/state.h"

namespace {

// Walks the dev files of every USB serial port in sysfs, loads the port's
// udev properties and prints the DEVNAME of each port that has a serial and
// the download-mode ids, one per line, in sysfs order. The script runs under
// the system shell, which may be dash, so the filter uses plain POSIX tests.
// The properties are cleared for every port so that a port without one of
// them cannot inherit the value of the port before it.
const char discovery_script[] =
    "for sysdevpath in $(find /sys/bus/usb/devices/usb*/ -name dev | grep ttyUSB);do "
    "syspath=\"${sysdevpath%/dev}\"; "
    "unset ID_SERIAL ID_VENDOR_ID ID_MODEL_ID DEVNAME; "
    "eval \"$(udevadm info -q property --export -p $syspath)\"; "
    "[ -z \"$ID_SERIAL\" ] || [ \"${ID_VENDOR_ID}\" != \"05c6\" ] || "
    "[ \"${ID_MODEL_ID}\" != \"9008\" ] && continue; "
    "echo ${DEVNAME}; done";

// The discovery's output line is read into this many bytes.
constexpr size_t line_buffer = 800;

} // namespace

int find_device(void)
{
    host::Reply reply =
        host::first_line(discovery_script, line_buffer, host::cmd_buffer, host::Effect::reads);
    if (!reply.started()) {
        puts("Check usb device internal error");
        return 0;
    }
    if (!reply.has_line())
        return 0;

    std::string node = reply.line;
    if (!node.empty() && node.back() == '\n')
        node.pop_back();
    // A port that passed the filter without a node name gives nothing to
    // flash through.
    if (node.empty())
        return 0;
    // A node that does not fit dev_name is refused whole: cut short it could
    // name another device.
    if (node.size() >= sizeof(dev_name)) {
        printf("%s: device name too long internal error\n", __func__);
        return 0;
    }
    memcpy(dev_name, node.c_str(), node.size() + 1);
    printf("Device found: %s\n", dev_name);
    return 1;
}
