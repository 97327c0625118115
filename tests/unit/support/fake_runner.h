// A command runner for unit tests: records every command line in the order
// it was run and answers from a script of results, so a test can check the
// exact command lines a handler composes without running anything.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/host.h"

namespace testing_support {

class FakeRunner : public host::Runner {
  public:
    enum class Kind { system, read, write, argv };
    struct Call {
        Kind kind;
        std::string cmd;                    // for an argument list: the list as host::show gives it
        size_t line_buffer;                 // for reads
        std::vector<std::string> argv = {}; // for an argument list
    };

    // Installs itself as the runner; the destructor restores the real one.
    FakeRunner();
    ~FakeRunner() override;

    // Scripted answers, consumed in order by the calls of the matching kind.
    // Without a scripted answer: system returns 0, read returns no line,
    // write returns exit status 0.
    void push_system(int result);
    void push_read(host::Reply reply);
    void push_read_line(const std::string &line); // outcome line
    void push_read_no_line();
    void push_read_cannot_start();
    void push_write(bool started);      // started: exit status 0
    void push_write_status(int status); // -1: could not be started

    // Whether the program's standard output plays a terminal (the default)
    // or a pipe.
    bool terminal = true;
    bool output_is_terminal() override { return terminal; }

    // Optional hook run for every call before answering, e.g. to create a
    // file that a real command would have created.
    std::function<void(const Call &)> on_call;

    // A package listing ("unzip -Z ... > FILE") is answered apart from the
    // scripted reads: FILE gets zip_listing and the command exits with
    // zip_listing_status. The default lists no entry at all.
    std::string zip_listing = "Archive:  x.zip\nZip file size: 22 bytes, number of entries: 0\n";
    int zip_listing_status = 0;

    // Board discovery runs find and then udevadm for each port found, as
    // argument lists. The fake plays a USB tree for them from the next
    // scripted read, which holds the boards one a line as
    // "<port>[\t<sysfs path>[\t<serial>]]" (defaults: a path below usb1
    // named after the port, serial QDL_SERIAL); each is a port in download
    // mode. A read that cannot start makes find fail to start; no line, no
    // port. udev_export gives udevadm's raw reply for a sysfs path instead.
    std::map<std::string, std::string> udev_export;
    // With raw_find, find's scripted read is its output as it stands.
    bool raw_find = false;

    const std::vector<Call> &calls() const { return calls_; }
    // The command lines, in order (an argument list as host::show gives it).
    std::vector<std::string> commands() const;
    // The argument lists, in order. A discovery shows as its find (in
    // calls() too); the udevadm of each port is kept apart.
    std::vector<std::vector<std::string>> argv_calls() const;
    const std::vector<std::vector<std::string>> &udevadm_calls() const { return udevadm_calls_; }

    int system(const std::string &cmd) override;
    host::Reply read(const std::string &cmd, size_t line_buffer) override;
    int write(const std::string &cmd) override;
    // An argument list on the terminal answers from the system script.
    int run_argv(const std::vector<std::string> &argv) override;
    host::Reply read_argv(const std::vector<std::string> &argv, size_t max_bytes,
                          host::Io err) override;

  private:
    std::vector<Call> calls_;
    std::deque<int> system_results_;
    // The next scripted result of system() or an argument list; 0 when none is left.
    int next_system_result();
    std::deque<host::Reply> read_results_;
    std::deque<int> write_results_;
    std::map<std::string, std::string> ports_; // sysfs path -> udevadm's reply
    std::vector<std::vector<std::string>> udevadm_calls_;
};

// The lines with the random tail of every staging directory name
// (".ostrelle-unpack-" and six characters) written as XXXXXX.
std::vector<std::string> without_random(std::vector<std::string> commands);

// The listing unzip -Z -T -s prints for entries given as "<mode> <name>",
// e.g. "drwxr-xr-x r1/" or "lrwxrwxrwx r1/link".
std::string zip_listing(const std::vector<std::string> &entries);

} // namespace testing_support
