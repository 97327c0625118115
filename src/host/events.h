// The event stream of --json on download and flash: one JSON object a line
// on standard output, for a machine that follows the run (a board farm's
// driver). While it runs, standard output carries nothing else: the
// program's messages, and those of the tools it runs, go to standard error.
// Every string in an event is valid UTF-8 with its control bytes escaped.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace events {

// A board as the events name it; empty fields are left out of an event.
struct BoardId {
    std::string serial;
    std::string usb_path;
};

// Keeps descriptor 1 for the events alone (a duplicate of it that no tool
// inherits) and points descriptor 1 at descriptor 2. False, after saying
// why on standard error, when the descriptors cannot be had.
bool start(void);

// True once start() succeeded.
bool on(void);

// {"event":"phase","command":..,"board":..,"usb_path":..,"phase":..,"attempt":..};
// without board (nullptr) neither the board's fields nor the attempt.
void phase(const char *command, const BoardId *board, const std::string &name, int attempt);

// {"event":"progress",...,"phase":..,"percent":..,"attempt":..}
void progress(const char *command, const BoardId &board, const std::string &name, int percent,
              int attempt);

// {"event":"board",...,"result":..,"attempts":..}
void board(const char *command, const BoardId &board, const char *result, int attempts);

// The last line: {"event":"result","status":..,"stopped_at":..,"commands":[..],"reason":..};
// stopped_at and reason left out when null or empty. commands: each
// command's name and result ("pass", "fail", "not run").
void result(int status, const char *stopped_at,
            const std::vector<std::pair<std::string, std::string>> &commands,
            const std::string &reason);

// Records the run's latest failure message (the result's reason): its
// first line, without colour escapes.
void failure(const std::string &text);
const std::string &last_failure(void);

} // namespace events
