// Line editor driven through the real event loop: input comes from a pipe
// (or a pseudo-terminal) on descriptor 0, and every byte the editor writes to
// standard output is compared.
#include "utils/edit.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "support/stdio_capture.h"
#include "support/temp_dir.h"
#include "utils/eloop.h"

using testing_support::StdoutCapture;
using testing_support::TempDir;

namespace {

const std::string UP = "\033[A", DOWN = "\033[B", LEFT = "\033[D", RIGHT = "\033[C";
const std::string HOME = "\033OH", END = "\033OF", DEL = "\033[3~", F2 = "\033OQ";
const std::string CTRL_LEFT = "\033[1;5D", CTRL_RIGHT = "\033[1;5C";

// The editor showing line with the cursor at pos, and blanking a line of len.
std::string shown(const std::string &line, size_t pos, const std::string &ps = "")
{
    std::string s = "\r" + ps + "> " + line;
    return pos == line.size() ? s : s + "\r" + ps + "> " + line.substr(0, pos);
}
std::string blank(size_t len, size_t ps_len = 0)
{
    return "\r" + std::string(len + 2 + ps_len, ' ');
}
std::string search_line(const std::string &text, const std::string &match)
{
    return "\rsearch '" + text + "': " + match + "\033[K\rsearch '" + text;
}

// Puts fd on descriptor 0 until destruction; descriptor 0 may be closed when
// the tests run without standard input.
class StdinFrom {
  public:
    explicit StdinFrom(int fd) : saved_(fcntl(0, F_DUPFD_CLOEXEC, 3))
    {
        if (fd != 0) {
            dup2(fd, 0);
            close(fd);
        }
    }
    ~StdinFrom()
    {
        if (saved_ >= 0) {
            dup2(saved_, 0);
            close(saved_);
        } else {
            close(0);
        }
    }

  private:
    int saved_;
};

struct Options {
    const char *ps = nullptr;
    edit_completion_cb_t completion = nullptr;
    const char *history_in = nullptr;
    const char *history_out = nullptr;
    edit_filter_cb_t filter = nullptr;
    std::function<void()> after_init; // runs once the editor has set the terminal up
};

struct Session {
    std::string out;               // from edit_init to the end of input
    std::string end;               // what edit_deinit printed
    std::vector<std::string> cmds; // lines handed to the command callback
    int eofs = 0;
    bool timed_out = false;
};

void on_cmd(void *ctx, char *cmd)
{
    static_cast<Session *>(ctx)->cmds.push_back(cmd);
}
void on_eof(void *ctx)
{
    static_cast<Session *>(ctx)->eofs++;
    eloop_terminate();
}
void on_timeout(void *run, void *)
{
    static_cast<Session *>(run)->timed_out = true;
    eloop_terminate();
}

// Runs the editor on the event loop from edit_init until end of input (or a
// 20 s time-out that fails the test) and shuts it down.
Session run_with_stdin(int fd, const Options &o)
{
    Session r;
    StdinFrom in(fd);
    {
        StdoutCapture cap;
        eloop_init();
        eloop_register_timeout(20, 0, on_timeout, &r, nullptr);
        edit_init(on_cmd, on_eof, o.completion, &r, o.history_in, o.ps);
        if (o.after_init)
            o.after_init();
        eloop_run();
        r.out = cap.text();
    }
    {
        StdoutCapture cap;
        edit_deinit(o.history_out, o.filter);
        r.end = cap.text();
    }
    eloop_destroy();
    EXPECT_FALSE(r.timed_out);
    return r;
}

// The input goes into a pipe whole (it fits), followed by end of input.
Session run(const std::string &input, const Options &o = {})
{
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    EXPECT_LT(input.size(), 65536u);
    EXPECT_EQ(write(p[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(p[1]);
    return run_with_stdin(p[0], o);
}

// The input is typed on a pseudo-terminal of the given width, once the
// editor has switched it to its mode (so the line discipline passes the
// bytes on one by one); "\r" arrives as "\n".
Session run_on_pty(const std::string &input, unsigned short cols)
{
    int master, slave;
    struct winsize ws = {};
    ws.ws_row = 24;
    ws.ws_col = cols;
    if (openpty(&master, &slave, nullptr, nullptr, &ws) != 0) {
        ADD_FAILURE() << "no pseudo-terminal: " << strerror(errno);
        return {};
    }
    Options o;
    o.after_init = [&] {
        EXPECT_EQ(write(master, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    };
    Session r = run_with_stdin(slave, o);
    close(master);
    return r;
}

// Completion candidates offered by the test callback, and what it was given.
std::vector<std::string> candidates;
std::vector<std::pair<std::string, int>> completion_calls;

char **complete_cb(void *, const char *cmd, int pos)
{
    completion_calls.emplace_back(cmd, pos);
    if (candidates.empty())
        return nullptr;
    char **c = static_cast<char **>(calloc(candidates.size() + 1, sizeof(char *)));
    for (size_t i = 0; i < candidates.size(); i++)
        c[i] = strdup(candidates[i].c_str());
    return c;
}

} // namespace

TEST(Edit, InsertsAtEndByEchoAndInsideByRedraw)
{
    Session r = run("abc" + LEFT + LEFT + "X\r");
    EXPECT_EQ(r.out, "> abc\r> abc\r> ab\r> abc\r> a\r> aXbc\r> aX\n> ");
    EXPECT_EQ(r.cmds, std::vector<std::string>{"aXbc"});
    EXPECT_EQ(r.eofs, 1);
    EXPECT_EQ(r.end, "\r  \r");
}

TEST(Edit, PromptPrefixWidensPromptAndBlanking)
{
    Options o;
    o.ps = "sdk";
    Session r = run("ab\x7f\r", o);
    EXPECT_EQ(r.out, "sdk> ab" + blank(2, 3) + "\rsdk> a\nsdk> ");
    EXPECT_EQ(r.end, blank(0, 3) + "\r");
}

TEST(Edit, FullLineIgnoresFurtherCharacters)
{
    std::string full(4095, 'x');
    Session r = run(full + "y\x7f\r");
    // A pipe has no width: 80 columns, so past 77 characters every key
    // shows the last 77 and the blanking stops at the 79th column.
    std::string window = "\r> " + full.substr(0, 77), screen = "> " + full.substr(0, 77);
    for (int i = 77; i < 4095; i++)
        screen += window;
    EXPECT_EQ(r.out, screen + "\r" + std::string(79, ' ') + window + "\n> ");
    EXPECT_EQ(r.cmds, std::vector<std::string>{full.substr(1)});
}

TEST(Edit, DeletionAndWordMovesOnGitCommit)
{
    const std::string line = "git  commit";
    struct Case {
        std::string keys, screen, cmd;
    } cases[] = {
        {"\x7f", blank(11) + shown("git  commi", 10), "git  commi"},
        {HOME + "\x7f\x15", shown(line, 0), line}, // at 0: nothing
        {CTRL_LEFT + DEL, shown(line, 5) + blank(11) + shown("git  ommit", 5), "git  ommit"},
        {DEL + "\x0b", "", line}, // at the end: nothing
        {CTRL_LEFT + "\x0b", shown(line, 5) + blank(11) + "\r> git  ", "git  "},
        {CTRL_LEFT + "\x15", shown(line, 5) + blank(11) + shown("commit", 0), "commit"},
        {"\x17", blank(11) + "\r> git  ", "git  "},
        {CTRL_LEFT + "\x17", shown(line, 5) + blank(11) + shown("commit", 0), "commit"},
        {HOME + "\x17", shown(line, 0) + blank(11) + shown(line, 0), line},
        {CTRL_LEFT + CTRL_LEFT + CTRL_LEFT + CTRL_RIGHT + CTRL_RIGHT + CTRL_RIGHT,
         shown(line, 5) + shown(line, 0) + shown(line, 0) + shown(line, 3) + shown(line, 11) +
             shown(line, 11),
         line},
        {"\x0c", blank(11) + shown(line, 11), line},
    };
    for (const Case &c : cases) {
        Session r = run(line + c.keys + "\r");
        EXPECT_EQ(r.out, "> " + line + c.screen + "\n> ") << c.cmd;
        EXPECT_EQ(r.cmds, std::vector<std::string>{c.cmd});
    }
}

TEST(Edit, EnterOnEmptyLineAndOnSpaces)
{
    Session r = run("\r   \r" + UP);
    EXPECT_EQ(r.out, "> \n>    \n> " + blank(0) + "\r>    ");
    EXPECT_EQ(r.cmds, std::vector<std::string>{"   "});
}

TEST(Edit, CtrlDAndEndOfInput)
{
    Session r = run("\x04typed after");
    EXPECT_EQ(r.out, "> \n");
    EXPECT_EQ(r.eofs, 1);

    r = run("abc\x04\r");
    EXPECT_EQ(r.out, "> abc\n> ");
    EXPECT_EQ(r.cmds, std::vector<std::string>{"abc"});

    r = run("abc" + LEFT + LEFT + "\x04\r");
    EXPECT_EQ(r.out,
              "> abc" + shown("abc", 2) + shown("abc", 1) + blank(3) + shown("ac", 1) + "\n> ");
    EXPECT_EQ(r.cmds, std::vector<std::string>{"ac"});

    // End of input leaves the line as it is; shutdown blanks it.
    r = run("abc");
    EXPECT_EQ(r.out, "> abc");
    EXPECT_TRUE(r.cmds.empty());
    EXPECT_EQ(r.end, blank(3) + "\r");
}

TEST(Edit, ReadErrorIsReportedAndEndsInput)
{
    char err_name[] = "/tmp/ostrelle-edit-err-XXXXXX";
    int err_fd = mkstemp(err_name);
    unlink(err_name);
    int saved_err = dup(2);
    dup2(err_fd, 2);
    // A directory is always readable for select, and read fails on it.
    Session r = run_with_stdin(open("/tmp", O_RDONLY | O_DIRECTORY), {});
    dup2(saved_err, 2);
    close(saved_err);
    char buf[256] = {};
    EXPECT_GT(pread(err_fd, buf, sizeof(buf) - 1, 0), 0);
    close(err_fd);
    EXPECT_EQ(std::string(buf), std::string("read: ") + strerror(EISDIR) + "\n");
    EXPECT_EQ(r.eofs, 1);
}

TEST(EditKeys, EscapeSequences)
{
    const std::string unknown = "\rUnknown escape sequence '";
    struct Case {
        std::string keys, screen;
    } cases[] = {
        {LEFT + "\033[;5C", shown("ab", 1) + shown("ab", 2)},
        {HOME + CTRL_RIGHT, shown("ab", 0) + shown("ab", 2)},
        {LEFT + DEL, shown("ab", 1) + blank(2) + "\r> a"},
        {HOME + "\033OF", shown("ab", 0) + shown("ab", 2)},
        {"\033OA", blank(2) + unknown + "OA'\n" + shown("ab", 2)},
        {"\033[E", blank(2) + unknown + "[E'\n" + shown("ab", 2)},
        {"\033xz", blank(2) + "\rESC buffer 'x' c='x' [1]\n" + shown("ab", 2) + "z"},
        {"\033[1!z", blank(2) + "\rESC buffer '[1!' c='!' [2]\n" + shown("ab", 2) + "z"},
        {"\033[123456", blank(2) + "\rESC buffer '[12345' c='6' [0]\n" + shown("ab", 2) + "6"},
        {"\033\033[D", shown("ab", 1)},
        // Near misses of the rxvt and Linux console forms keep their reports.
        {"\033dz", blank(2) + "\rESC buffer 'd' c='d' [1]\n" + shown("ab", 2) + "z"},
        {"\033[[Z", blank(2) + "\rESC buffer '[[' c='[' [2]\n" + shown("ab", 2) + "Z"},
        {"\033[9^", blank(2) + "\rESC buffer '[9^' c='^' [2]\n" + shown("ab", 2)},
        {"\033[15;5^", blank(2) + "\rESC buffer '[15;5^' c='^' [2]\n" + shown("ab", 2)},
        {"\033Oe", blank(2) + "\rESC buffer 'Oe' c='e' [2]\n" + shown("ab", 2)},
        // Recognised keys bound to nothing, and unbound control bytes.
        {"\033[2~\033[5~\033[6~\033OP\033OS\033[15~\033[17~\033[21~\033[23~\033[24~"
         "\033OR\033[1;2A\033[1;3B\033[1;4C\033[1;5A\x07\x0f\x14\x16\x03\x1c",
         ""},
    };
    for (const Case &c : cases) {
        Session r = run("ab" + c.keys + "\r");
        EXPECT_EQ(r.out.substr(0, r.out.size() - 3), "> ab" + c.screen) << c.keys.substr(1);
    }
    for (const char *seq : {"[5;5C", "[200~", "[1A", "O2P", "[16~", "[22~", "[1;6C", "[1H", "[2;5F",
                            "[1;9H", "[9~", "[3;1~", "[15;5~"}) {
        Session r = run(std::string("\033") + seq);
        EXPECT_EQ(r.out, "> " + blank(0) + unknown + seq + "'\n" + shown("", 0)) << seq;
    }
}

TEST(EditKeys, FormsOfCommonTerminals)
{
    // Each form acts on "ab cd ef" with the cursor on the e; keys bound to
    // nothing show nothing (an unknown form would print its report).
    const std::string line = "ab cd ef";
    const std::string start = shown(line, 0), word_left = shown(line, 3), end = shown(line, 8);
    const std::string del = blank(8) + shown("ab cd f", 6), none,
                      f2 = blank(8) + "\r" + shown(line, 6);
    struct Row {
        const char *terminal, *key;
        std::string seq, screen;
    } rows[] = {
        {"xterm", "Home", "\033[H", start},
        {"xterm", "End", "\033[F", end},
        {"xterm", "Ctrl-Home", "\033[1;5H", start},
        {"xterm", "Shift-End", "\033[1;2F", end},
        {"xterm", "Ctrl-Delete", "\033[3;5~", del},
        {"xterm", "Alt-Insert", "\033[2;3~", none},
        {"xterm", "Ctrl-Page Down", "\033[6;5~", none},
        {"xterm", "Ctrl-Left", "\033[1;5D", word_left},
        {"xterm", "Alt-Right", "\033[1;3C", none},
        {"xterm, application keypad", "Home", "\033OH", start},
        {"VT220, tmux, screen, Linux console", "Home", "\033[1~", start},
        {"VT220, tmux, screen, Linux console", "End", "\033[4~", end},
        {"VT220, tmux, screen, Linux console", "Delete", "\033[3~", del},
        {"VT220, tmux, screen, Linux console", "Insert", "\033[2~", none},
        {"VT220, tmux, screen, Linux console", "Page Up", "\033[5~", none},
        {"rxvt", "Home", "\033[7~", start},
        {"rxvt", "End", "\033[8~", end},
        {"rxvt", "Ctrl-Home", "\033[7^", start},
        {"rxvt", "Shift-End", "\033[8$", end},
        {"rxvt", "Ctrl-Shift-Home", "\033[7@", start},
        {"rxvt", "Ctrl-Delete", "\033[3^", del},
        {"rxvt", "Ctrl-Insert", "\033[2^", none},
        {"rxvt", "Ctrl-Left", "\033Od", word_left},
        {"rxvt", "Ctrl-Right", "\033Oc", end},
        {"rxvt", "Ctrl-Up", "\033Oa", none},
        {"rxvt", "Shift-Left", "\033[d", none},
        {"rxvt", "F1", "\033[11~", none},
        {"rxvt", "F2", "\033[12~", f2},
        {"Linux console", "F1", "\033[[A", none},
        {"Linux console", "F2", "\033[[B", f2},
        {"Linux console", "F5", "\033[[E", none},
        {"Alt sending ESC", "Alt-b", "\033b", word_left},
        {"Alt sending ESC", "Alt-f", "\033f", end},
    };
    for (const Row &row : rows) {
        Session r = run(line + LEFT + LEFT + row.seq + "\r");
        EXPECT_EQ(r.out, "> " + line + shown(line, 7) + shown(line, 6) + row.screen + "\n> ")
            << row.terminal << " " << row.key;
    }
}

TEST(EditScreen, LongLineScrollsAndFittingLineRedrawsAsBefore)
{
    // 20 columns: the prompt and 17 characters, the last column kept free.
    const std::string abc = "abcdefghijklmnopqrstuvwxyz";
    std::string right;
    for (int i = 0; i < 17; i++)
        right += RIGHT;
    Session r = run_on_pty(abc + HOME + right + END + "\x7f\r" + "short" + LEFT + "\r" + UP +
                               "\x12y" + DOWN + "\x15\x04",
                           20);

    std::string screen = "> " + abc.substr(0, 17);
    for (size_t n = 18; n <= abc.size(); n++)
        screen += "\r> " + abc.substr(n - 17, 17); // appending scrolls
    screen += shown(abc.substr(0, 17), 0);
    for (size_t i = 1; i <= 16; i++)
        screen += shown(abc.substr(0, 17), i);
    screen += shown(abc.substr(1, 17), 16); // the cursor's character stays in view
    screen += "\r> " + abc.substr(9);
    screen += "\r" + std::string(19, ' ') + "\r> " + abc.substr(8, 17) + "\n> ";
    screen += "short" + shown("short", 4) + "\n> "; // fits: as it always was
    screen += blank(0) + "\r> short" + blank(5) + search_line("", "") +
              "\rsearch 'y': abcdefg\033[K\rsearch 'y" + search_line("", "") + "\r\033[K\r> short";
    screen += blank(5) + "\r> \n";
    EXPECT_EQ(r.out, screen);
    EXPECT_EQ(r.cmds, (std::vector<std::string>{abc.substr(0, 25), "short"}));
}

TEST(EditHistory, BrowsingRestoresUnfinishedLine)
{
    // ESC ESC [ B: the second ESC restarts the sequence, which is Down.
    Session r = run("a\rb\rxy" + UP + UP + "\x10" + "\033\033[B" + "\x0e" + DOWN + "\x0e" + "\r");
    EXPECT_EQ(r.out, "> a\n> b\n> xy" + blank(2) + "\r> b" + blank(1) + "\r> a" + blank(1) +
                         "\r> b" + blank(1) + "\r> xy\n> ");
    EXPECT_EQ(r.cmds, (std::vector<std::string>{"a", "b", "xy"}));

    r = run(UP + DOWN + "a\rb\rxy" + UP + F2);
    EXPECT_EQ(r.out, "> a\n> b\n> xy" + blank(2) + "\r> b" + blank(1) + "\ra\n[C]b\n{xy}\n\r> b");
}

TEST(EditHistory, DuplicatesMoveToFrontAndOnlyHundredStay)
{
    Session r = run("a\rb\ra\r" + F2);
    EXPECT_EQ(r.out, "> a\n> b\n> a\n> " + blank(0) + "\rb\n[C]a\n\r> ");

    std::string input, screen = "> ", listing;
    for (int i = 0; i <= 100; i++) {
        input += "c" + std::to_string(i) + "\r";
        screen += "c" + std::to_string(i) + "\n> ";
        if (i > 0)
            listing += (i == 100 ? "[C]c" : "c") + std::to_string(i) + "\n";
    }
    r = run(input + F2);
    EXPECT_EQ(r.out, screen + blank(0) + "\r" + listing + "\r> ");
}

int drop_secrets(void *ctx, const char *cmd)
{
    EXPECT_NE(ctx, nullptr);
    return strncmp(cmd, "secret", 6) == 0;
}

TEST(EditHistory, FileRoundTripKeepsLastHundredAndFilters)
{
    TempDir dir;
    std::string in = dir.file("in"), out = dir.file("out");
    std::string lines = "\nx\n";
    for (int i = 0; i < 120; i++)
        lines += "cmd" + std::to_string(i) + "\n";
    lines += "x\nsecret1\r\n\ncmd5\n" + std::string(4100, 'L') + "\n";
    std::ofstream(in) << lines;
    Options o;
    o.history_in = in.c_str();
    o.history_out = out.c_str();
    o.filter = drop_secrets;
    Session r = run(UP + "\r", o);
    EXPECT_EQ(r.cmds, std::vector<std::string>{"LLLLL"});

    // Of 124 distinct lines (the long one arrives as two pieces) the 100
    // that occur last stay, oldest first; the filter keeps secret1 out.
    std::string expected;
    for (int i = 25; i < 120; i++)
        expected += "cmd" + std::to_string(i) + "\n";
    expected += "x\ncmd5\n" + std::string(4095, 'L') + "\nLLLLL\n";
    std::stringstream written;
    written << std::ifstream(out).rdbuf();
    EXPECT_EQ(written.str(), expected);
}

TEST(EditSearch, FindsNewestThenOlderAndWraps)
{
    std::string setup = "1\r2\rhelp\r";
    Session r = run(setup + "\x12h\x12\r");
    EXPECT_EQ(r.out, "> 1\n> 2\n> help\n> " + blank(0) + search_line("", "") +
                         search_line("h", "help") + search_line("h", "help") + search_line("", "") +
                         "\r\033[K\r> help\n> ");
    EXPECT_EQ(r.cmds, (std::vector<std::string>{"1", "2", "help", "help"}));

    r = run("ab1\rab2\rx\x12"
            "ab\x12\x12\x7f" +
            LEFT);
    std::string tail = r.out.substr(r.out.find("search 'a'"));
    EXPECT_EQ(tail, "search 'a': ab2\033[K\rsearch 'a" + search_line("ab", "ab2") +
                        search_line("ab", "ab1") + search_line("ab", "ab2") +
                        search_line("a", "ab2") + search_line("", "") + "\r\033[K" +
                        shown("ab2", 3) + shown("ab2", 2));
}

TEST(EditSearch, TextStopsAtTwentyCharacters)
{
    std::string typed = "abcdefghijklmnopqrstu", screen = "> " + blank(0) + search_line("", "");
    for (size_t n = 1; n <= 20; n++)
        screen += search_line(typed.substr(0, n), "");
    Session r = run("\x12" + typed);
    EXPECT_EQ(r.out, screen + search_line("", "") + "\r\033[K\r> ");
}

TEST(EditSearch, CancelKeepsLineAndOtherKeysAreIgnored)
{
    Options o;
    o.completion = complete_cb;
    completion_calls.clear();
    Session r = run("help\rxy\x12h\t\x04\x0b" + DEL + F2 + UP + "\r", o);
    EXPECT_EQ(r.out, "> help\n> xy" + blank(2) + search_line("", "") + search_line("h", "help") +
                         search_line("", "") + "\r\033[K\r> xy\n> ");
    EXPECT_EQ(r.cmds, (std::vector<std::string>{"help", "xy"}));
    EXPECT_TRUE(completion_calls.empty());
}

TEST(EditSearch, EndOfInputLeavesSearchAndEndsInput)
{
    Session r = run("xy\x12h");
    EXPECT_EQ(r.out, "> xy" + blank(2) + search_line("", "") + search_line("h", "") +
                         search_line("", "") + "\r\033[K\r> xy");
    EXPECT_EQ(r.eofs, 1);
}

TEST(EditComplete, WithoutCallbackTabDoesNothing)
{
    Session r = run("he\t\t\r");
    EXPECT_EQ(r.out, "> he\n> ");
}

TEST(EditComplete, CommonPrefixThenListing)
{
    Options o;
    o.completion = complete_cb;
    candidates = {"help", "other", "hello"};
    completion_calls.clear();
    Session r = run("x he\t\t\r", o);
    EXPECT_EQ(r.out, "> x he\r> x hel" + blank(5) + "\rhello help\n\r> x hel\n> ");
    EXPECT_EQ(completion_calls,
              (std::vector<std::pair<std::string, int>>{{"x he", 4}, {"x hel", 5}}));

    // Only Tabs in a row list: an unknown sequence between them does not
    // count as a key, Ctrl-G does.
    r = run("hel\t\033[E\t\r", o);
    EXPECT_EQ(r.out, "> hel" + blank(3) + "\rUnknown escape sequence '[E'\n\r> hel" + blank(3) +
                         "\rhello help\n\r> hel\n> ");
    r = run("hel\t\x07\t\r", o);
    EXPECT_EQ(r.out, "> hel\n> ");
}

TEST(EditComplete, SingleCandidateTakesItsCaseAndASpace)
{
    Options o;
    o.completion = complete_cb;
    candidates = {"help", "quit"};
    Session r = run("HE\t\r", o);
    EXPECT_EQ(r.out, "> HE\r> help \n> ");
    r = run("help\t\r", o);
    EXPECT_EQ(r.out, "> help\r> help \n> ");
    r = run("he x" + LEFT + LEFT + "\t\r", o);
    EXPECT_EQ(r.cmds, std::vector<std::string>{"help  x"});

    // Near the full line the insertion is cut and no space follows.
    std::string line = std::string(4091, 'x') + " he";
    r = run(line + "\t\r", o);
    EXPECT_EQ(r.cmds, std::vector<std::string>{line + "l"});

    candidates = {"quit"};
    r = run("he\t\t\r", o);
    EXPECT_EQ(r.out, "> he\n> ");
}

TEST(EditTerminal, ModeChangesOnlyCanonicalAndEchoAndIsRestored)
{
    int master, slave;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        GTEST_SKIP() << "no pseudo-terminal available: " << strerror(errno);
    // Zeroed so that padding compares equal.
    struct termios before, during, after;
    memset(&before, 0, sizeof(before));
    memset(&during, 0, sizeof(during));
    memset(&after, 0, sizeof(after));
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    ASSERT_TRUE(before.c_lflag & ICANON);

    Session r;
    {
        StdinFrom in(slave);
        {
            StdoutCapture cap;
            eloop_init();
            eloop_register_timeout(20, 0, on_timeout, &r, nullptr);
            edit_init(on_cmd, on_eof, nullptr, &r, nullptr, nullptr);
            tcgetattr(0, &during);
            // Typed in the editor's mode; the terminal turns \r into \n.
            EXPECT_EQ(write(master, "ls\r\x04", 4), 4);
            eloop_run();
            r.out = cap.text();
        }
        StdoutCapture cap;
        edit_deinit(nullptr, nullptr);
        eloop_destroy();
        tcgetattr(0, &after);
    }
    close(master);

    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, "> ls\n> \n");
    EXPECT_EQ(r.cmds, std::vector<std::string>{"ls"});
    EXPECT_EQ(during.c_lflag, before.c_lflag & ~static_cast<tcflag_t>(ICANON | ECHO));
    during.c_lflag = before.c_lflag;
    EXPECT_EQ(memcmp(&during, &before, sizeof(before)), 0);
    EXPECT_EQ(memcmp(&after, &before, sizeof(before)), 0);
}

TEST(EditTerminal, HooksSetTheModeInsteadOfTheEditor)
{
    int master, slave;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        GTEST_SKIP() << "no pseudo-terminal available: " << strerror(errno);
    struct Calls {
        std::vector<std::string> seen;
    } calls;
    auto enter = [](void *ctx) { static_cast<Calls *>(ctx)->seen.push_back("enter"); };
    auto leave = [](void *ctx) { static_cast<Calls *>(ctx)->seen.push_back("leave"); };
    struct termios during;
    memset(&during, 0, sizeof(during));
    {
        StdinFrom in(slave);
        StdoutCapture cap;
        edit_set_terminal_hooks(enter, leave, &calls);
        eloop_init();
        edit_init(on_cmd, on_eof, nullptr, nullptr, nullptr, nullptr);
        tcgetattr(0, &during);
        EXPECT_EQ(calls.seen, std::vector<std::string>{"enter"});
        // Hooks changed while the editor runs: the leave hook of its start
        // still ends it.
        edit_set_terminal_hooks(nullptr, nullptr, nullptr);
        edit_deinit(nullptr, nullptr);
        eloop_destroy();
    }
    close(master);
    EXPECT_EQ(calls.seen, (std::vector<std::string>{"enter", "leave"}));
    // The hooks own the mode: the editor left the attributes alone.
    EXPECT_TRUE(during.c_lflag & ICANON);
    EXPECT_TRUE(during.c_lflag & ECHO);
}
