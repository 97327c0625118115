#include "host/events.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <json-c/json.h>
#include <unistd.h>

#include "core/safe_text.h"
#include "utils/file.h"

namespace events {

namespace {

int stream = -1;
std::string failure_text;

void add_string(json_object *doc, const char *key, const std::string &value)
{
    json_object_object_add(doc, key, json_object_new_string(value.c_str()));
}

void add_board(json_object *doc, const BoardId &board, bool with_usb_path)
{
    if (board.serial.empty())
        json_object_object_add(doc, "board", nullptr);
    else
        add_string(doc, "board", board.serial);
    if (with_usb_path && !board.usb_path.empty())
        add_string(doc, "usb_path", board.usb_path);
}

// Writes doc as one line and releases it.
void emit(json_object *doc)
{
    if (stream >= 0) {
        // The text rule makes every string valid UTF-8 and escapes its
        // control bytes: the object cannot span lines.
        std::string line = json_text(json_object_to_json_string_ext(
                               doc, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE)) +
                           "\n";
        // The messages printed so far come first.
        fflush(stdout);
        write_all(stream, line.data(), line.size());
    }
    json_object_put(doc);
}

json_object *event(const char *name, const char *command)
{
    json_object *doc = json_object_new_object();
    add_string(doc, "event", name);
    if (command)
        add_string(doc, "command", command);
    return doc;
}

} // namespace

bool start(void)
{
    if (stream >= 0)
        return true;
    fflush(stdout);
    int kept = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (kept < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        perror("ostrelle: --json");
        if (kept >= 0)
            close(kept);
        return false;
    }
    stream = kept;
    return true;
}

bool on(void)
{
    return stream >= 0;
}

void phase(const char *command, const BoardId *board, const std::string &name, int attempt)
{
    if (stream < 0)
        return;
    json_object *doc = event("phase", command);
    if (board)
        add_board(doc, *board, true);
    add_string(doc, "phase", name);
    if (board)
        json_object_object_add(doc, "attempt", json_object_new_int(attempt));
    emit(doc);
}

void progress(const char *command, const BoardId &board, const std::string &name, int percent,
              int attempt)
{
    if (stream < 0)
        return;
    json_object *doc = event("progress", command);
    add_board(doc, board, false);
    add_string(doc, "phase", name);
    json_object_object_add(doc, "percent", json_object_new_int(percent));
    json_object_object_add(doc, "attempt", json_object_new_int(attempt));
    emit(doc);
}

void board(const char *command, const BoardId &board, const char *result, int attempts)
{
    if (stream < 0)
        return;
    json_object *doc = event("board", command);
    add_board(doc, board, true);
    add_string(doc, "result", result);
    json_object_object_add(doc, "attempts", json_object_new_int(attempts));
    emit(doc);
}

void result(int status, const char *stopped_at,
            const std::vector<std::pair<std::string, std::string>> &commands,
            const std::string &reason)
{
    if (stream < 0)
        return;
    json_object *doc = event("result", nullptr);
    json_object_object_add(doc, "status", json_object_new_int(status));
    if (stopped_at)
        add_string(doc, "stopped_at", stopped_at);
    json_object *list = json_object_new_array();
    for (const auto &[command, verdict] : commands) {
        json_object *entry = json_object_new_object();
        add_string(entry, "command", command);
        add_string(entry, "result", verdict);
        json_object_array_add(list, entry);
    }
    json_object_object_add(doc, "commands", list);
    if (status != 0 && !reason.empty())
        add_string(doc, "reason", reason);
    emit(doc);
}

void failure(const std::string &text)
{
    // The message as printed: without its colour escapes and line ends.
    std::string plain;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\033' && i + 1 < text.size() && text[i + 1] == '[') {
            i += 2;
            while (i < text.size() && !(text[i] >= '@' && text[i] <= '~'))
                i++;
            continue;
        }
        // Its first line: the further lines of a message give advice.
        if (text[i] == '\n' && !plain.empty())
            break;
        if (text[i] != '\n')
            plain += text[i];
    }
    while (!plain.empty() && plain.back() == ' ')
        plain.pop_back();
    while (!plain.empty() && plain.front() == ' ')
        plain.erase(0, 1);
    if (!plain.empty())
        failure_text = plain;
}

const std::string &last_failure(void)
{
    return failure_text;
}

} // namespace events
