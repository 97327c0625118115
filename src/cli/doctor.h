// `ostrelle doctor`: a read-only check of the host for everything the
// commands need. Each check gives a verdict and, for a problem, the command
// or file that fixes it. The doctor runs no sudo, installs nothing and
// writes nothing; it only reads files and runs apt-cache and wget.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace doctor {

enum class Verdict {
    pass, // fine
    fail, // a problem; fix says what mends it
    skip, // cannot be checked on this host now; does not fail the run
};

struct Check {
    const char *name; // short identifier, the same in text and JSON
    Verdict verdict;
    std::string detail; // what was found
    std::string fix;    // for a failure: the command or file that mends it
};

// Every check, in the order they are printed. target: the directory whose
// free space counts; nullptr for the one stored in ~/ostrelle_dir.txt.
std::vector<Check> run_checks(const char *target);

// One line per check: verdict, name, what was found and, for a failure, "; fix: ...".
void print_text(const std::vector<Check> &checks);
// One JSON object: {"ok": bool, "checks": [{"name", "verdict", "detail", "fix"}]}.
void print_json(const std::vector<Check> &checks);

// The time of an HTTP "Date:" header among wget -S output lines.
std::optional<time_t> server_date(std::string_view wget_output);

} // namespace doctor

// Runs the checks and prints them (as JSON with json). Returns 0 when none
// failed, 1 otherwise.
int doctor_run(bool json, const char *target = nullptr);
