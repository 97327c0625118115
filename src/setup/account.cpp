// Sign-in against the account server: e-mail and hidden password from the
// terminal, posted with wget, judged by the "status" of the one-line JSON
// reply. Nothing of the sign-in is kept afterwards.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <json-c/json.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "core/exit_status.h"
#include "core/safe_text.h"
#include "core/state.h"
#include "host/answers.h"
#include "host/console.h"
#include "host/host.h"
#include "host/secret_file.h"
#include "host/session_log.h"
#include "host/terminal.h"
#include "release/resource_server.h"
#include "setup/setup.h"
#include "utils/file.h"

using console::green;
using console::red;
using console::reset;

namespace {

// The reply line must be at most this long, its line end included.
constexpr size_t reply_max = 127;

// What the last sign-in attempt ended with, for the closing line of a run
// that has no second try: the address it was made for, and whether wget
// reached the account server at all.
std::string last_address;
bool last_unreachable = false;

// Reads the password without echo, one "*" per character; DEL takes the
// last one back. Characters beyond the field are counted, not stored. After
// a stop and continue the question is asked again and the password starts
// over. Returns false when the password did not fit.
bool read_password(char (&password)[256])
{
    terminal::ModeGuard hidden(terminal::Mode::hidden);
    // The prompt shows only now: whatever is typed after it is not echoed.
    fflush(stdout);
    size_t len = 0;
    size_t overflow = 0;
    unsigned long stops = terminal::stops();
    int c;
    while ((c = getc(stdin)) != EOF && c != '\n') {
        if (terminal::stops() != stops) {
            stops = terminal::stops();
            len = 0;
            overflow = 0;
        }
        if (c == 127) {
            if (overflow > 0) {
                overflow--;
            } else if (len > 0) {
                len--;
            } else {
                continue;
            }
            printf("\b \b");
        } else {
            if (len + 1 < sizeof(password))
                password[len++] = static_cast<char>(c);
            else
                overflow++;
            putchar('*');
        }
        fflush(stdout);
    }
    password[len] = '\0';
    terminal::clear_question();
    hidden.restore();
    if (c == EOF) {
        memset(password, 0, sizeof(password));
        console::exit_at_end_of_input();
    }
    return overflow == 0;
}

// Posts the body through a private file, so the password never shows on a
// command line, and returns the first line of the reply.
host::Reply post_sign_in(const std::string &body)
{
    SecretFile file(body);
    if (!file.ok())
        return host::Reply{};
    // A server that accepts the connection but never answers would otherwise
    // hold the sign-in for wget's defaults (20 tries of 15 minutes each).
    std::string cmd = "wget" + resource::tls_options() + " --post-file " + file.path() + " " +
                      account_url + "/ldap.php -q -O - -T " +
                      std::to_string(sign_in_timeout_ms / 1000) + " -t 1";
    // The sign-in changes nothing on the host: it runs in a dry run too.
    return host::first_line(cmd, 512, host::cmd_buffer, host::Effect::reads);
}

} // namespace

SecretRead read_secret_line(int fd, char (&line)[256], int timeout_ms)
{
    memset(line, 0, sizeof(line));
    struct timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    size_t len = 0;
    SecretRead result = SecretRead::ok;
    for (;;) {
        int wait_ms = -1;
        if (timeout_ms >= 0) {
            struct timespec now {};
            clock_gettime(CLOCK_MONOTONIC, &now);
            long spent =
                (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
            if (spent >= timeout_ms)
                return SecretRead::timed_out;
            wait_ms = static_cast<int>(timeout_ms - spent);
        }
        struct pollfd ready = {.fd = fd, .events = POLLIN, .revents = 0};
        int polled = poll(&ready, 1, wait_ms);
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled < 0)
            return SecretRead::failed;
        if (polled == 0)
            continue; // the time check above ends the wait
        // One byte at a time: what follows the line in standard input is
        // left for the questions after it.
        char c;
        ssize_t got = read(fd, &c, 1);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got < 0)
            return SecretRead::failed;
        if (got == 0 || c == '\n')
            break;
        if (c == '\0')
            result = SecretRead::nul_byte;
        if (len + 1 >= sizeof(line)) {
            memset(line, 0, sizeof(line));
            return SecretRead::too_long;
        }
        line[len++] = c;
    }
    if (len > 0 && line[len - 1] == '\r')
        line[--len] = '\0';
    if (result != SecretRead::ok || len == 0) {
        memset(line, 0, sizeof(line));
        return len == 0 && result == SecretRead::ok ? SecretRead::empty : result;
    }
    return SecretRead::ok;
}

std::string sign_in_body(std::string_view mail, std::string_view password)
{
    auto encode = [](std::string_view value) {
        static const char hex[] = "0123456789ABCDEF";
        std::string out;
        for (unsigned char c : value) {
            if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                strchr("-._~@:/,!*()", c) != nullptr) {
                out += static_cast<char>(c);
            } else if (c == ' ') {
                out += '+';
            } else {
                out += '%';
                out += hex[c >> 4];
                out += hex[c & 15];
            }
        }
        return out;
    };
    return "mail=" + encode(mail) + "&pwd=" + encode(password);
}

int judge_reply(const host::Reply &reply)
{
    if (!reply.has_line() || reply.line.size() > reply_max) {
        printf("%sAccount verification internal error.%s\n", red, reset);
        return 2;
    }
    int rs_status = 0;
    json_object *root = json_tokener_parse(reply.line.c_str());
    json_object *status = nullptr;
    if (root && json_object_get_type(root) == json_type_object &&
        json_object_object_get_ex(root, "status", &status))
        rs_status = json_object_get_int(status);
    json_object_put(root);

    switch (rs_status) {
    case 1:
        printf("%sSuccessful authentication.%s\n\n", green, reset);
        return 0;
    case 0:
        printf("%sAccount doesn't exist.%s\n", red, reset);
        return 1;
    case -1:
        printf("%sAccount or password is incorrect.%s\n", red, reset);
        return 1;
    default:
        printf("%sAccount verification internal error.%s\n", red, reset);
        return 2;
    }
}

namespace {

// Asks for the e-mail line until one is given; username gets it without its
// line end.
void ask_email(char (&username)[256])
{
    console::ask("Enter your Velmora user email: ");
    bool fits =
        console::ask_line_or_exit(username, sizeof(username), "check_vl_user", "get username");
    while (!fits || strcmp(username, "\n") == 0) {
        if (fits)
            console::ask("No input. Enter your Velmora user email again: ");
        else
            console::ask("Enter your Velmora user email again: ");
        fits = console::ask_line_or_exit(username, sizeof(username), "check_vl_user",
                                         "get user email");
    }
    size_t len = strlen(username);
    if (len > 0 && username[len - 1] == '\n')
        username[len - 1] = '\0';
}

// The e-mail address given on the command line, checked as a typed line is.
void given_email(const std::string &mail, char (&username)[256])
{
    if (has_control_bytes(mail))
        console::refuse("the e-mail address contains control characters");
    if (mail.size() >= sizeof(username) - 1)
        console::refuse("the e-mail address is too long, at most 254 characters");
    memcpy(username, mail.c_str(), mail.size() + 1);
}

// Reads the password as the first line of file ("-": of standard input,
// without echo on a terminal). Like ssh with a private key, a file that
// group or others may read, or that another user owns, is refused: the
// password would not be the user's alone. So is a password longer than the
// field (nobody is there to type a shorter one) or holding a NUL byte (it
// would be sent cut), and a file (such as a FIFO) that gives no line within
// the sign-in's time limit.
void read_password_file(const std::string &file, char (&password)[256])
{
    int fd = STDIN_FILENO;
    bool owned = file != "-";
    if (owned) {
        // Not blocking: opening a FIFO nobody writes would wait for a writer.
        fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0)
            console::refuse("cannot read the password file " + file + ": " + strerror(errno));
        if ((st.st_mode & 077) != 0)
            console::refuse("the password file " + file +
                            " is readable by group or others; make it private: chmod 600 " + file);
        if (st.st_uid != geteuid())
            console::refuse("the password file " + file +
                            " belongs to another user; use a file of your own");
    }
    // Typed at a terminal: the terminal's own line editing stays, only the
    // echo goes, and there is no time limit for the typing.
    struct termios saved {};
    const bool typed = !owned && tcgetattr(fd, &saved) == 0;
    if (typed) {
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ICANON;
        tcsetattr(fd, TCSANOW, &quiet);
    }
    fflush(stdout);
    SecretRead got = read_secret_line(fd, password, typed ? -1 : sign_in_timeout_ms);
    if (typed) {
        tcsetattr(fd, TCSANOW, &saved);
        putchar('\n');
    }
    if (owned)
        ::close(fd);
    switch (got) {
    case SecretRead::ok:
        break;
    case SecretRead::empty:
        console::refuse("the password file " + file + " holds no password");
    case SecretRead::too_long:
        console::refuse("the password in " + file + " is longer than 255 characters");
    case SecretRead::nul_byte:
        console::refuse("the password in " + file + " holds a NUL byte");
    case SecretRead::timed_out:
        console::refuse("the password file " + file + " gave no password within 30 seconds");
    case SecretRead::failed:
        console::refuse("cannot read the password file " + file + ": " + strerror(errno));
    }
}

} // namespace

int check_vl_user(void)
{
    char username[256] = {};
    char password[256] = {};

    printf("\nVelmora Account Checking ...\n");
    if (const std::string *mail = answers::given(answers::Question::email)) {
        given_email(*mail, username);
    } else {
        answers::can_ask_or_exit(answers::Question::email);
        ask_email(username);
    }
    session_log::answer("email", username,
                        answers::given(answers::Question::email) ? "option" : "terminal");

    bool password_fits = true;
    if (const std::string *file = answers::given(answers::Question::password)) {
        read_password_file(*file, password);
    } else {
        answers::can_ask_or_exit(answers::Question::password);
        console::ask("Enter your Velmora password: ");
        password_fits = read_password(password);
    }

    last_address = username;
    last_unreachable = false;
    std::string body = sign_in_body(username, password);
    memset(password, 0, sizeof(password));
    printf("\nConnecting as %s ...\n", username);
    if (!password_fits) {
        printf("%sPassword too long, at most 255 characters.%s\n", red, reset);
        return 1;
    }
    host::Reply reply = post_sign_in(body);
    std::fill(body.begin(), body.end(), '\0');
    if (reply.status > 0) {
        // wget failed (a certificate that is not trusted, no network, a
        // server error): whatever it printed is not an answer of the server.
        // The dialogue says so as it always did; a run with commands says
        // it in its closing line instead (sign_in).
        last_unreachable = true;
        if (!answers::unattended())
            judge_reply(host::Reply{});
        resource::explain_failure(reply.status, std::string(account_url) + "/ldap.php");
        return 2;
    }
    return judge_reply(reply);
}

int sign_in(void)
{
    const int attempts = 3;
    int trials = 0;
    int result;
    while ((result = check_vl_user()) != 0) {
        if (answers::unattended()) {
            // A run with commands tries once (three wrong passwords can lock
            // an account) and ends with one line that says what happened.
            if (result == 1)
                printf("%sThe sign-in as %s was refused.%s\n", red, printable(last_address).c_str(),
                       reset);
            else if (last_unreachable)
                // The line above says why wget got no answer.
                printf("%sNot signed in: no answer from the account server.%s\n", red, reset);
            else
                printf("%sThe account server %s gave no valid answer: not signed in.%s\n", red,
                       account_url, reset);
            return result == 2 ? -2 : -1;
        }
        printf("Something wrong, try again.\n");
        if (++trials >= attempts) {
            printf("\n%sNeed a valid user account, exiting the manager ...%s\n", red, reset);
            return result == 2 ? -2 : -1;
        }
    }
    return 0;
}
