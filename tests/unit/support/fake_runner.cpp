#include "support/fake_runner.h"

#include <algorithm>
#include <fstream>

#include "host/adb_server.h"
#include "host/process.h"

namespace testing_support {

FakeRunner::FakeRunner()
{
    host::set_runner(this);
    // An adb server plays one that was running before: adb commands alone
    // reach the fake. A test of the server's start calls reset itself.
    adb_server::reset([](int) { return true; });
}

FakeRunner::~FakeRunner()
{
    host::set_runner(nullptr);
    adb_server::reset(nullptr);
}

void FakeRunner::push_system(int result)
{
    system_results_.push_back(result);
}

void FakeRunner::push_read(host::Reply reply)
{
    read_results_.push_back(std::move(reply));
}

void FakeRunner::push_read_line(const std::string &line)
{
    host::Reply reply;
    reply.outcome = host::Outcome::line;
    reply.line = line;
    reply.status = 0;
    push_read(reply);
}

void FakeRunner::push_read_no_line()
{
    host::Reply reply;
    reply.outcome = host::Outcome::no_line;
    reply.status = 0;
    push_read(reply);
}

void FakeRunner::push_read_cannot_start()
{
    push_read(host::Reply{});
}

void FakeRunner::push_write(bool started)
{
    write_results_.push_back(started ? 0 : -1);
}

void FakeRunner::push_write_status(int status)
{
    write_results_.push_back(status);
}

std::vector<std::string> FakeRunner::commands() const
{
    std::vector<std::string> out;
    for (const Call &call : calls_)
        out.push_back(call.cmd);
    return out;
}

std::vector<std::vector<std::string>> FakeRunner::argv_calls() const
{
    std::vector<std::vector<std::string>> out;
    for (const Call &call : calls_) {
        if (call.kind == Kind::argv)
            out.push_back(call.argv);
    }
    return out;
}

int FakeRunner::next_system_result()
{
    if (system_results_.empty())
        return 0;
    int result = system_results_.front();
    system_results_.pop_front();
    return result;
}

int FakeRunner::system(const std::string &cmd)
{
    calls_.push_back({Kind::system, cmd, 0});
    if (on_call)
        on_call(calls_.back());
    return next_system_result();
}

namespace {

// The file after " > " of a command line, its quotes taken off.
std::string redirect_target(const std::string &cmd)
{
    std::string word = cmd.substr(cmd.rfind(" > ") + 3);
    std::string out;
    bool quoted = false;
    for (size_t i = 0; i < word.size(); i++) {
        if (word[i] == '\'' && !quoted && word.compare(i, 4, "'\\''") == 0) {
            out += '\'';
            i += 3;
        } else if (word[i] == '\'') {
            quoted = !quoted;
        } else {
            out += word[i];
        }
    }
    return out;
}

} // namespace

std::vector<std::string> without_random(std::vector<std::string> commands)
{
    const std::string mark = ".ostrelle-unpack-";
    for (std::string &cmd : commands) {
        for (size_t at = cmd.find(mark); at != std::string::npos; at = cmd.find(mark, at + 1)) {
            if (at + mark.size() + 6 <= cmd.size())
                cmd.replace(at + mark.size(), 6, "XXXXXX");
        }
    }
    return commands;
}

std::string zip_listing(const std::vector<std::string> &entries)
{
    std::string out = "Archive:  x.zip\nZip file size: 100 bytes, number of entries: " +
                      std::to_string(entries.size()) + "\n";
    for (const std::string &entry : entries) {
        size_t blank = entry.find(' ');
        out += entry.substr(0, blank) + "  3.0 unx        4 bx defN 20261208.120000 " +
               entry.substr(blank + 1) + "\n";
    }
    return out + std::to_string(entries.size()) + " files, 4 bytes uncompressed\n";
}

host::Reply FakeRunner::read(const std::string &cmd, size_t line_buffer)
{
    calls_.push_back({Kind::read, cmd, line_buffer});
    if (on_call)
        on_call(calls_.back());
    if (cmd.rfind("unzip -Z ", 0) == 0) {
        std::ofstream(redirect_target(cmd)) << zip_listing;
        host::Reply listed;
        listed.outcome = host::Outcome::no_line;
        listed.status = zip_listing_status;
        return listed;
    }
    host::Reply reply;
    reply.outcome = host::Outcome::no_line;
    reply.status = 0;
    if (!read_results_.empty()) {
        reply = read_results_.front();
        read_results_.pop_front();
    }
    // A real fgets stores at most line_buffer - 1 characters.
    if (reply.has_line() && line_buffer > 0 && reply.line.size() > line_buffer - 1)
        reply.line.resize(line_buffer - 1);
    return reply;
}

host::Reply FakeRunner::read_argv(const std::vector<std::string> &argv, size_t max_bytes, host::Io)
{
    host::Reply reply;
    reply.outcome = host::Outcome::no_line;
    reply.status = 0;
    if (argv.at(0) == "udevadm") {
        udevadm_calls_.push_back(argv);
        const std::string &syspath = argv.back();
        auto raw = udev_export.find(syspath);
        auto port = ports_.find(syspath);
        if (raw != udev_export.end())
            reply.line = raw->second;
        else if (port != ports_.end())
            reply.line = port->second;
        else
            reply.status = 4;
        if (!reply.line.empty())
            reply.outcome = host::Outcome::line;
        return reply;
    }
    calls_.push_back({Kind::argv, host::show(argv), max_bytes, argv});
    if (on_call)
        on_call(calls_.back());
    if (!read_results_.empty()) {
        reply = read_results_.front();
        read_results_.pop_front();
    }
    if (argv.at(0) != "find" || !reply.has_line() || raw_find)
        return reply;
    ports_.clear();
    std::string tree;
    std::string rest = reply.line;
    for (int index = 0; !rest.empty(); index++) {
        size_t end = rest.find('\n');
        // A line without its line end stays one in find's output.
        if (end == std::string::npos) {
            tree += rest;
            break;
        }
        std::string line = rest.substr(0, end);
        rest.erase(0, end + 1);
        std::vector<std::string> fields;
        for (size_t at = 0; at <= line.size();) {
            size_t tab = std::min(line.find('\t', at), line.size());
            fields.push_back(line.substr(at, tab - at));
            at = tab + 1;
        }
        const std::string name = "ttyUSB" + std::to_string(index);
        std::string syspath = fields.size() > 1
                                  ? fields[1]
                                  : "/sys/bus/usb/devices/usb1/port:1.0/" + name + "/tty/" + name;
        std::string serial = fields.size() > 2 ? fields[2] : "QDL_SERIAL";
        ports_[syspath] = "DEVNAME='" + fields[0] +
                          "'\nID_VENDOR_ID='05c6'\nID_MODEL_ID='9008'\nID_SERIAL='" + serial +
                          "'\n";
        tree += syspath + "/dev\n";
    }
    reply.line = tree;
    return reply;
}

int FakeRunner::run_argv(const std::vector<std::string> &argv)
{
    calls_.push_back({Kind::argv, host::show(argv), 0, argv});
    if (on_call)
        on_call(calls_.back());
    return next_system_result();
}

int FakeRunner::write(const std::string &cmd)
{
    calls_.push_back({Kind::write, cmd, 0});
    if (on_call)
        on_call(calls_.back());
    if (write_results_.empty())
        return 0;
    int status = write_results_.front();
    write_results_.pop_front();
    return status;
}

} // namespace testing_support
