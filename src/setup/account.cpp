// Sign-in against the account server: e-mail and hidden password from the
// terminal, posted with wget, judged by the "status" of the one-line JSON
// reply. Nothing of the sign-in is kept afterwards.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <json-c/json.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/exit_status.h"
#include "core/safe_text.h"
#include "core/state.h"
#include "host/answers.h"
#include "host/console.h"
#include "host/host.h"
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

// The request body in a file that no name in the file system reaches: an
// anonymous memory file, or where the kernel has none a temporary file
// unlinked at once. Whatever ends the process, nothing of it is left. The
// descriptor stays open across exec, so wget reads the body as /dev/fd/N.
class BodyFile {
  public:
    explicit BodyFile(const std::string &body)
    {
        fd_ = memfd_create("ostrelle-signin", 0);
        if (fd_ < 0) {
            char path[] = "/tmp/ostrelle-signin-XXXXXX";
            fd_ = mkstemp(path); // mode 0600
            if (fd_ >= 0)
                unlink(path);
        }
        if (fd_ >= 0 && write(fd_, body.data(), body.size()) != static_cast<ssize_t>(body.size()))
            close_now();
    }
    ~BodyFile() { close_now(); }
    BodyFile(const BodyFile &) = delete;
    BodyFile &operator=(const BodyFile &) = delete;

    bool ok() const { return fd_ >= 0; }
    std::string path() const { return "/dev/fd/" + std::to_string(fd_); }

  private:
    void close_now()
    {
        if (fd_ < 0)
            return;
        // The blocks of an unlinked file on disk are overwritten before
        // they are given back.
        struct stat st {};
        if (fstat(fd_, &st) == 0 && st.st_size > 0) {
            std::string zeros(static_cast<size_t>(st.st_size), '\0');
            if (pwrite(fd_, zeros.data(), zeros.size(), 0) > 0)
                fdatasync(fd_);
        }
        close(fd_);
        fd_ = -1;
    }

    int fd_ = -1;
};

// Posts the body through a private file, so the password never shows on a
// command line, and returns the first line of the reply.
host::Reply post_sign_in(const std::string &body)
{
    BodyFile file(body);
    if (!file.ok())
        return host::Reply{};
    // A server that accepts the connection but never answers would otherwise
    // hold the sign-in for wget's defaults (20 tries of 15 minutes each).
    std::string cmd = "wget" + resource::tls_options() + " --post-file " + file.path() + " " +
                      account_url + "/ldap.php -q -O - -T 30 -t 1";
    // The sign-in changes nothing on the host: it runs in a dry run too.
    return host::first_line(cmd, 512, host::cmd_buffer, host::Effect::reads);
}

} // namespace

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

// Reads the password as the first line of file ("-": of standard input).
// Like ssh with a private key, a file that group or others may read is
// refused: the password would not be the user's alone. So is a password
// longer than the field: nobody is there to type a shorter one.
void read_password_file(const std::string &file, char (&password)[256])
{
    FILE *in = stdin;
    File owned;
    if (file != "-") {
        owned.reset(fopen(file.c_str(), "r"));
        struct stat st {};
        if (!owned || fstat(fileno(owned.get()), &st) != 0)
            console::refuse("cannot read the password file " + file + ": " + strerror(errno));
        if ((st.st_mode & 077) != 0)
            console::refuse("the password file " + file +
                            " is readable by group or others; make it private: chmod 600 " + file);
        in = owned.get();
    }
    size_t len = 0;
    bool fits = true;
    int c;
    while ((c = getc(in)) != EOF && c != '\n') {
        if (len + 1 < sizeof(password))
            password[len++] = static_cast<char>(c);
        else
            fits = false;
    }
    password[len] = '\0';
    if (len > 0 && password[len - 1] == '\r')
        password[--len] = '\0';
    if (len == 0 && fits)
        console::refuse("the password file " + file + " holds no password");
    if (!fits)
        console::refuse("the password in " + file + " is longer than 255 characters");
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
