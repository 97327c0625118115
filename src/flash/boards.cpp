// What adb says about booted boards, and the boards command, which puts the
// boards in download mode and the adb devices side by side, one row per USB
// path.
#include "flash/boards.h"
#include "host/adb_server.h"
#include "host/console.h"

#include <algorithm>
#include <cstdio>
#include <json-c/json.h>
#include <string>
#include <vector>

#include "core/exit_status.h"
#include "core/safe_text.h"
#include "host/host.h"

namespace boards {

namespace {

// adb's listing is read up to this many bytes.
constexpr size_t listing_limit = 64 * 1024;

// The keys adb devices -l puts after a device's state.
bool is_detail(const std::string &word)
{
    for (const char *key : {"usb:", "product:", "model:", "device:", "transport_id:"}) {
        if (word.rfind(key, 0) == 0)
            return true;
    }
    return false;
}

std::vector<std::string> words_of(const std::string &line)
{
    std::vector<std::string> words;
    size_t at = 0;
    while (at < line.size()) {
        size_t start = line.find_first_not_of(" \t\r", at);
        if (start == std::string::npos)
            break;
        size_t end = line.find_first_of(" \t\r", start);
        if (end == std::string::npos)
            end = line.size();
        words.push_back(line.substr(start, end - start));
        at = end;
    }
    return words;
}

// One board as the inventory shows it: what is on one USB path now.
struct Row {
    std::string usb_path;
    const Board *download = nullptr;
    const AdbDevice *adb = nullptr;
};

std::vector<Row> rows_of(const std::vector<Board> &found, const std::vector<AdbDevice> &devices)
{
    std::vector<Row> rows;
    for (const Board &board : found)
        rows.push_back({.usb_path = board.usb_path, .download = &board, .adb = nullptr});
    for (const AdbDevice &device : devices) {
        auto same = std::find_if(rows.begin(), rows.end(), [&](const Row &row) {
            return !device.usb_path.empty() && row.usb_path == device.usb_path && !row.adb;
        });
        if (same != rows.end())
            same->adb = &device;
        else
            rows.push_back({.usb_path = device.usb_path, .download = nullptr, .adb = &device});
    }
    return rows;
}

json_object *text_or_null(const std::string &text)
{
    return text.empty() ? nullptr : json_object_new_string(text.c_str());
}

void print_json(const std::vector<Row> &rows)
{
    json_object *doc = json_object_new_object();
    json_object *list = json_object_new_array();
    for (const Row &row : rows) {
        json_object *entry = json_object_new_object();
        json_object_object_add(entry, "usb_path", text_or_null(row.usb_path));
        json_object *download = nullptr;
        if (row.download) {
            download = json_object_new_object();
            json_object_object_add(download, "port",
                                   json_object_new_string(row.download->port.c_str()));
            json_object_object_add(download, "serial", text_or_null(row.download->serial));
        }
        json_object_object_add(entry, "download", download);
        json_object *adb = nullptr;
        if (row.adb) {
            adb = json_object_new_object();
            json_object_object_add(adb, "serial", json_object_new_string(row.adb->serial.c_str()));
            json_object_object_add(adb, "state", json_object_new_string(row.adb->state.c_str()));
        }
        json_object_object_add(entry, "adb", adb);
        json_object_array_add(list, entry);
    }
    json_object_object_add(doc, "boards", list);
    console::print_json(doc);
}

void print_table(const std::vector<Row> &rows)
{
    if (rows.empty()) {
        printf("No board in download mode and no adb device.\n");
        return;
    }
    // Serials, paths and states come from adb and the USB devices: shown as
    // text, whatever bytes they hold.
    auto dash = [](const std::string &text) {
        return text.empty() ? std::string("-") : printable(text);
    };
    std::vector<std::vector<std::string>> cells = {
        {"USB PATH", "DOWNLOAD PORT", "DOWNLOAD SERIAL", "ADB SERIAL", "ADB STATE"}};
    for (const Row &row : rows) {
        cells.push_back({dash(row.usb_path), row.download ? dash(row.download->port) : "-",
                         row.download ? dash(row.download->serial) : "-",
                         row.adb ? dash(row.adb->serial) : "-",
                         row.adb ? dash(row.adb->state) : "-"});
    }
    size_t width[5] = {};
    for (const auto &line : cells) {
        for (size_t i = 0; i < 5; i++)
            width[i] = std::max(width[i], line[i].size());
    }
    for (const auto &line : cells) {
        for (size_t i = 0; i < 4; i++)
            printf("%-*s  ", static_cast<int>(width[i]), line[i].c_str());
        printf("%s\n", line[4].c_str());
    }
    printf("\nOne row is one board: a board keeps its USB path from download mode to its "
           "booted system.\n");
}

} // namespace

std::vector<AdbDevice> parse_adb_listing(std::string_view listing)
{
    std::vector<AdbDevice> devices;
    size_t start = 0;
    while (start < listing.size()) {
        size_t end = listing.find('\n', start);
        if (end == std::string_view::npos)
            end = listing.size();
        std::string line(listing.substr(start, end - start));
        start = end + 1;
        // The header, and the daemon's notices ("* daemon started ...").
        if (line.rfind("List of devices", 0) == 0 || line.rfind("*", 0) == 0)
            continue;
        std::vector<std::string> words = words_of(line);
        if (words.size() < 2)
            continue;
        AdbDevice device;
        device.serial = words[0];
        for (size_t i = 1; i < words.size(); i++) {
            if (is_detail(words[i])) {
                if (words[i].rfind("usb:", 0) == 0)
                    device.usb_path = words[i].substr(4);
            } else if (device.usb_path.empty()) {
                // A state of several words: "no permissions (...)".
                device.state += (device.state.empty() ? "" : " ") + words[i];
            }
        }
        devices.push_back(device);
    }
    return devices;
}

bool booted_in_listing(std::string_view listing, const std::string &usb_path)
{
    if (!usb_path.empty()) {
        std::vector<AdbDevice> devices = parse_adb_listing(listing);
        bool paths_known = std::any_of(devices.begin(), devices.end(),
                                       [](const AdbDevice &d) { return !d.usb_path.empty(); });
        if (paths_known)
            return std::any_of(devices.begin(), devices.end(),
                               [&](const AdbDevice &d) { return d.usb_path == usb_path; });
    }
    size_t header_end = listing.find('\n');
    if (header_end == std::string_view::npos)
        return false;
    std::string_view second = listing.substr(header_end + 1);
    size_t end = second.find('\n');
    size_t length = end == std::string_view::npos ? second.size() : end + 1;
    return length > 1;
}

int print_inventory(bool json)
{
    std::vector<Board> found;
    if (!discover(found))
        return exit_status::failed;
    std::vector<AdbDevice> devices;
    adb_server::ensure();
    host::Reply reply = host::output({"adb", "devices", "-l"}, listing_limit, host::Effect::reads);
    if (reply.started() && reply.status == 0) {
        if (reply.has_line())
            devices = parse_adb_listing(reply.line);
    } else {
        fflush(stdout);
        fprintf(stderr, "ostrelle: adb devices -l did not answer; booted boards are not "
                        "listed\n");
    }
    std::vector<Row> rows = rows_of(found, devices);
    if (json)
        print_json(rows);
    else
        print_table(rows);
    return exit_status::ok;
}

} // namespace boards
