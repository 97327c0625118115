// Terminal line editor on standard input. Bytes are read one at a time from
// the event loop's read callback, decoded into keys (escape sequences
// included) and applied to a single command line; completed lines go to the
// client's command callback. History, incremental search and Tab completion
// live here too. All state is file-scope: one editor per process.
#include "utils/edit.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <strings.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "utils/common.h"
#include "utils/eloop.h"
#include "utils/list.h"

#define CMD_BUF_LEN 4096  // the line holds at most CMD_BUF_LEN - 1 characters
#define HISTORY_MAX 100   // entries kept in the history
#define SEARCH_BUF_LEN 21 // search text of at most 20 characters
#define ESC_BUF_LEN 7     // at most 6 bytes after an ESC, NUL-terminated

// Key codes: 0..255 are the bytes themselves, the named keys follow.
enum edit_key_code {
    EDIT_KEY_NONE = 256,
    EDIT_KEY_TAB,
    EDIT_KEY_UP,
    EDIT_KEY_DOWN,
    EDIT_KEY_RIGHT,
    EDIT_KEY_LEFT,
    EDIT_KEY_ENTER,
    EDIT_KEY_BACKSPACE,
    EDIT_KEY_INSERT,
    EDIT_KEY_DELETE,
    EDIT_KEY_HOME,
    EDIT_KEY_END,
    EDIT_KEY_PAGE_UP,
    EDIT_KEY_PAGE_DOWN,
    EDIT_KEY_F1,
    EDIT_KEY_F2,
    EDIT_KEY_F3,
    EDIT_KEY_F4,
    EDIT_KEY_F5,
    EDIT_KEY_F6,
    EDIT_KEY_F7,
    EDIT_KEY_F8,
    EDIT_KEY_F9,
    EDIT_KEY_F10,
    EDIT_KEY_F11,
    EDIT_KEY_F12,
    EDIT_KEY_CTRL_UP,
    EDIT_KEY_CTRL_DOWN,
    EDIT_KEY_CTRL_RIGHT,
    EDIT_KEY_CTRL_LEFT,
    EDIT_KEY_CTRL_A,
    EDIT_KEY_CTRL_B,
    EDIT_KEY_CTRL_D,
    EDIT_KEY_CTRL_E,
    EDIT_KEY_CTRL_F,
    EDIT_KEY_CTRL_G,
    EDIT_KEY_CTRL_H,
    EDIT_KEY_CTRL_J,
    EDIT_KEY_CTRL_K,
    EDIT_KEY_CTRL_L,
    EDIT_KEY_CTRL_N,
    EDIT_KEY_CTRL_O,
    EDIT_KEY_CTRL_P,
    EDIT_KEY_CTRL_R,
    EDIT_KEY_CTRL_T,
    EDIT_KEY_CTRL_U,
    EDIT_KEY_CTRL_V,
    EDIT_KEY_CTRL_W,
    EDIT_KEY_ALT_UP,
    EDIT_KEY_ALT_DOWN,
    EDIT_KEY_ALT_RIGHT,
    EDIT_KEY_ALT_LEFT,
    EDIT_KEY_SHIFT_UP,
    EDIT_KEY_SHIFT_DOWN,
    EDIT_KEY_SHIFT_RIGHT,
    EDIT_KEY_SHIFT_LEFT,
    EDIT_KEY_ALT_SHIFT_UP,
    EDIT_KEY_ALT_SHIFT_DOWN,
    EDIT_KEY_ALT_SHIFT_RIGHT,
    EDIT_KEY_ALT_SHIFT_LEFT,
    EDIT_KEY_EOF,
};

static_assert(EDIT_KEY_F1 == 270 && EDIT_KEY_F12 == 281, "function keys are 270..281");
static_assert(EDIT_KEY_EOF == 316, "key codes run from 256 to 316");

// One history entry: a single zero-filled block holding the links followed
// by the NUL-terminated command text.
struct edit_history {
    struct dl_list list;
};

namespace {

// The line being edited: cmdbuf_len characters, NUL at cmdbuf[cmdbuf_len]
// before every redraw and hand-out; 0 <= cmdbuf_len <= CMD_BUF_LEN - 1.
char cmdbuf[CMD_BUF_LEN];
// Cursor, 0 <= cmdbuf_pos <= cmdbuf_len.
int cmdbuf_pos;
int cmdbuf_len;
// First character shown when the line is wider than the terminal; 0 while
// it fits. Kept between redraws so that the window moves only as far as
// the cursor needs.
int view_start;
// Unfinished line saved when history browsing starts; valid while
// currbuf_valid is 1.
char currbuf[CMD_BUF_LEN];
int currbuf_valid;
// Prompt prefix as given to edit_init (not copied); null means none.
const char *ps2;

// History, newest entry first; at most HISTORY_MAX entries, no two equal.
struct dl_list history_list = DL_LIST_HEAD_INIT(history_list);
// Browsing cursor; null exactly when the history is empty.
struct edit_history *history_curr;

// Client callbacks and the context passed to each of them.
void *edit_cb_ctx;
edit_cmd_cb_t edit_cmd_cb;
edit_eof_cb_t edit_eof_cb;
edit_completion_cb_t edit_completion_cb;

// Terminal attributes found by edit_init (valid only when prevt_valid is 1:
// standard input may be a pipe) and the editor's own: no ICANON, no ECHO.
struct termios prevt, newt;
int prevt_valid;
// Whoever sets the terminal's mode instead of the editor (both hooks set, or
// neither), and the context passed to them.
edit_terminal_cb_t terminal_enter;
edit_terminal_cb_t terminal_leave;
void *terminal_ctx;
// The leave hook and context in force at edit_init, which edit_deinit calls;
// null when the editor set the mode itself.
edit_terminal_cb_t entered_leave;
void *entered_ctx;

// 1 when the previous dispatched key was Tab.
int last_tab;
// Incremental search: active flag, search text of at most 20 characters,
// number of matches (newest first) passed over.
int search;
char search_buf[SEARCH_BUF_LEN];
int search_skip;

// Escape decoder: -1 outside a sequence, else the number of bytes stored in
// esc_buf after the ESC (0..6). Kept across edit_init/edit_deinit.
int esc = -1;
char esc_buf[ESC_BUF_LEN];

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

} // namespace

static const char *prompt_prefix(void)
{
    return ps2 ? ps2 : "";
}

static char *history_text(struct edit_history *h)
{
    return reinterpret_cast<char *>(h + 1);
}

static struct edit_history *history_newest(void)
{
    return dl_list_first(&history_list, struct edit_history, list);
}

static struct edit_history *history_oldest(void)
{
    return dl_list_last(&history_list, struct edit_history, list);
}

/* Screen */

// Columns of the terminal, read anew for every redraw so that a resized
// window is followed; 80 when neither output nor input is a terminal that
// knows its size.
static int term_columns(void)
{
    struct winsize ws;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    if (ioctl(STDIN_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return 80;
}

// Columns of the prompt "<ps2>> ".
static int prompt_width(void)
{
    return static_cast<int>(strlen(prompt_prefix())) + 2;
}

// How many characters of the line fit after the prompt. The last column
// stays free for the cursor, so nothing ever reaches it and wraps.
static int line_room(void)
{
    int room = term_columns() - 1 - prompt_width();
    return room > 0 ? room : 1;
}

void edit_clear_line(void)
{
    // Blank only what a redraw can have shown: prompt and at most a window
    // of the line.
    int room = line_room();
    int width = prompt_width() + (cmdbuf_len < room ? cmdbuf_len : room);
    putchar('\r');
    for (int i = 0; i < width; i++)
        putchar(' ');
}

void edit_redraw(void)
{
    cmdbuf[cmdbuf_len] = '\0';
    int room = line_room();
    if (cmdbuf_len <= room) {
        view_start = 0;
    } else {
        // Scroll just enough to bring the cursor into the window; the
        // character under it stays visible, and the window is always full.
        if (cmdbuf_pos < view_start)
            view_start = cmdbuf_pos;
        int min_start = cmdbuf_pos == cmdbuf_len ? cmdbuf_pos - room : cmdbuf_pos - room + 1;
        if (view_start < min_start)
            view_start = min_start;
        if (view_start > cmdbuf_len - room)
            view_start = cmdbuf_len - room;
    }
    const char *shown = cmdbuf + view_start;
    int shown_len = cmdbuf_len - view_start < room ? cmdbuf_len - view_start : room;
    printf("\r%s> %.*s", prompt_prefix(), shown_len, shown);
    if (cmdbuf_pos != view_start + shown_len) {
        // Printing the line again up to the cursor leaves the terminal's
        // cursor in place without any cursor-movement sequence.
        printf("\r%s> %.*s", prompt_prefix(), cmdbuf_pos - view_start, shown);
    }
    fflush(stdout);
}

/* Editing operations */

static void insert_char(int c)
{
    if (c < 32 || c > 255)
        return;
    if (cmdbuf_len >= CMD_BUF_LEN - 1)
        return;
    if (cmdbuf_pos == cmdbuf_len) {
        cmdbuf[cmdbuf_pos++] = static_cast<char>(c);
        cmdbuf_len++;
        // At the right edge the window scrolls instead of wrapping.
        if (cmdbuf_len > line_room()) {
            edit_redraw();
            return;
        }
        putchar(c);
        fflush(stdout);
        return;
    }
    memmove(cmdbuf + cmdbuf_pos + 1, cmdbuf + cmdbuf_pos,
            static_cast<size_t>(cmdbuf_len - cmdbuf_pos));
    cmdbuf[cmdbuf_pos++] = static_cast<char>(c);
    cmdbuf_len++;
    edit_redraw();
}

static void move_left(void)
{
    if (cmdbuf_pos > 0) {
        cmdbuf_pos--;
        edit_redraw();
    }
}

static void move_right(void)
{
    if (cmdbuf_pos < cmdbuf_len) {
        cmdbuf_pos++;
        edit_redraw();
    }
}

static void move_start(void)
{
    cmdbuf_pos = 0;
    edit_redraw();
}

static void move_end(void)
{
    cmdbuf_pos = cmdbuf_len;
    edit_redraw();
}

// Start of the word before pos: back over spaces, then over the word.
static int word_start_before(int pos)
{
    while (pos > 0 && cmdbuf[pos - 1] == ' ')
        pos--;
    while (pos > 0 && cmdbuf[pos - 1] != ' ')
        pos--;
    return pos;
}

static void move_word_left(void)
{
    cmdbuf_pos = word_start_before(cmdbuf_pos);
    edit_redraw();
}

static void move_word_right(void)
{
    while (cmdbuf_pos < cmdbuf_len && cmdbuf[cmdbuf_pos] == ' ')
        cmdbuf_pos++;
    while (cmdbuf_pos < cmdbuf_len && cmdbuf[cmdbuf_pos] != ' ')
        cmdbuf_pos++;
    edit_redraw();
}

static void delete_left(void)
{
    if (cmdbuf_pos == 0)
        return;
    edit_clear_line();
    memmove(cmdbuf + cmdbuf_pos - 1, cmdbuf + cmdbuf_pos,
            static_cast<size_t>(cmdbuf_len - cmdbuf_pos));
    cmdbuf_pos--;
    cmdbuf_len--;
    edit_redraw();
}

static void delete_current(void)
{
    if (cmdbuf_pos == cmdbuf_len)
        return;
    edit_clear_line();
    memmove(cmdbuf + cmdbuf_pos, cmdbuf + cmdbuf_pos + 1,
            static_cast<size_t>(cmdbuf_len - cmdbuf_pos - 1));
    cmdbuf_len--;
    edit_redraw();
}

static void delete_word(void)
{
    edit_clear_line();
    int start = word_start_before(cmdbuf_pos);
    memmove(cmdbuf + start, cmdbuf + cmdbuf_pos, static_cast<size_t>(cmdbuf_len - cmdbuf_pos));
    cmdbuf_len -= cmdbuf_pos - start;
    cmdbuf_pos = start;
    edit_redraw();
}

static void clear_left(void)
{
    if (cmdbuf_pos == 0)
        return;
    edit_clear_line();
    memmove(cmdbuf, cmdbuf + cmdbuf_pos, static_cast<size_t>(cmdbuf_len - cmdbuf_pos));
    cmdbuf_len -= cmdbuf_pos;
    cmdbuf_pos = 0;
    edit_redraw();
}

static void clear_right(void)
{
    if (cmdbuf_pos == cmdbuf_len)
        return;
    edit_clear_line();
    cmdbuf_len = cmdbuf_pos;
    edit_redraw();
}

static void refresh(void)
{
    edit_clear_line();
    edit_redraw();
}

/* History */

static void history_add(const char *str)
{
    struct edit_history *h;
    int count = 0;

    dl_list_for_each (h, &history_list, struct edit_history, list) {
        if (strcmp(history_text(h), str) == 0) {
            dl_list_del(&h->list);
            dl_list_add(&history_list, &h->list);
            history_curr = h;
            return;
        }
        count++;
    }

    if (count >= HISTORY_MAX) {
        h = history_oldest();
        dl_list_del(&h->list);
        // The browsing cursor must never point at a freed entry, also when
        // the allocation below fails and leaves it unmoved.
        if (history_curr == h)
            history_curr = history_newest();
        free(h);
    }

    size_t len = strlen(str);
    h = static_cast<struct edit_history *>(os_zalloc(sizeof(*h) + len + 1));
    if (!h)
        return;
    dl_list_add(&history_list, &h->list);
    os_strlcpy(history_text(h), str, len + 1);
    history_curr = h;
}

static void history_use(void)
{
    edit_clear_line();
    size_t len = os_strlcpy(cmdbuf, history_text(history_curr), CMD_BUF_LEN);
    if (len > CMD_BUF_LEN - 1)
        len = CMD_BUF_LEN - 1;
    cmdbuf_len = cmdbuf_pos = static_cast<int>(len);
    edit_redraw();
}

static void history_prev(void)
{
    if (!history_curr)
        return;
    if (history_curr == history_newest() && !currbuf_valid) {
        cmdbuf[cmdbuf_len] = '\0';
        memcpy(currbuf, cmdbuf, static_cast<size_t>(cmdbuf_len) + 1);
        currbuf_valid = 1;
        history_use();
        return;
    }
    if (history_curr == history_oldest())
        return;
    history_curr = dl_list_entry(history_curr->list.next, struct edit_history, list);
    history_use();
}

static void history_next(void)
{
    if (history_curr && history_curr != history_newest()) {
        history_curr = dl_list_entry(history_curr->list.prev, struct edit_history, list);
        history_use();
        return;
    }
    if (!currbuf_valid)
        return;
    currbuf_valid = 0;
    edit_clear_line();
    size_t len = strlen(currbuf);
    memcpy(cmdbuf, currbuf, len);
    cmdbuf_len = cmdbuf_pos = static_cast<int>(len);
    edit_redraw();
}

static void history_read(const char *fname)
{
    FilePtr f(fopen(fname, "r"));
    if (!f)
        return;
    // A line longer than the buffer arrives in pieces; each piece counts as
    // a line of its own.
    char buf[CMD_BUF_LEN];
    while (fgets(buf, sizeof(buf), f.get())) {
        buf[strcspn(buf, "\r\n")] = '\0';
        if (buf[0] != '\0')
            history_add(buf);
    }
}

static void history_write(const char *fname, edit_filter_cb_t filter_cb)
{
    FilePtr f(fopen(fname, "w"));
    if (!f)
        return;
    struct edit_history *h;
    dl_list_for_each_reverse (h, &history_list, struct edit_history, list) {
        if (filter_cb && filter_cb(edit_cb_ctx, history_text(h)))
            continue;
        fprintf(f.get(), "%s\n", history_text(h));
    }
}

static void history_free_all(void)
{
    struct edit_history *h, *n;
    dl_list_for_each_safe (h, n, &history_list, struct edit_history, list) {
        dl_list_del(&h->list);
        free(h);
    }
    history_curr = nullptr;
}

static void history_debug_dump(void)
{
    edit_clear_line();
    putchar('\r');
    struct edit_history *h;
    dl_list_for_each_reverse (h, &history_list, struct edit_history, list) {
        printf("%s%s\n", h == history_curr ? "[C]" : "", history_text(h));
    }
    if (currbuf_valid)
        printf("{%s}\n", currbuf);
    edit_redraw();
}

/* Incremental search */

static const char *search_find(void)
{
    if (search_buf[0] == '\0')
        return nullptr;
    int skip = search_skip;
    struct edit_history *h;
    dl_list_for_each (h, &history_list, struct edit_history, list) {
        if (!strstr(history_text(h), search_buf))
            continue;
        if (skip == 0)
            return history_text(h);
        skip--;
    }
    search_skip = 0;
    return nullptr;
}

static void search_redraw(void)
{
    const char *match = search_find();
    // A long match is cut at the right edge: a wrapped search line could not
    // be overwritten by the next one.
    int room = term_columns() - 1 - static_cast<int>(strlen("search '': ") + strlen(search_buf));
    printf("\rsearch '%s': %.*s\033[K", search_buf, room > 0 ? room : 0, match ? match : "");
    printf("\rsearch '%s", search_buf);
    fflush(stdout);
}

static void search_start(void)
{
    search = 1;
    edit_clear_line();
    search_buf[0] = '\0';
    search_skip = 0;
    search_redraw();
}

static void search_next(void)
{
    // The result only matters for its side effect: past the oldest match
    // search_find starts again at the newest.
    search_skip++;
    search_find();
    search_redraw();
}

static void search_char(int c)
{
    if (c < 32 || c > 255)
        return;
    size_t len = strlen(search_buf);
    if (len >= SEARCH_BUF_LEN - 1)
        return;
    search_buf[len] = static_cast<char>(c);
    search_buf[len + 1] = '\0';
    search_skip = 0;
    search_redraw();
}

static void search_backspace(void)
{
    size_t len = strlen(search_buf);
    if (len == 0)
        return;
    search_buf[len - 1] = '\0';
    search_skip = 0;
    search_redraw();
}

static void search_cancel(void)
{
    search_buf[0] = '\0';
    search_redraw();
    printf("\r\033[K");
    edit_redraw();
    search = 0;
}

static void search_stop(void)
{
    const char *match = search_find();
    search_buf[0] = '\0';
    search_redraw();
    printf("\r\033[K");
    if (match) {
        size_t len = os_strlcpy(cmdbuf, match, CMD_BUF_LEN);
        if (len > CMD_BUF_LEN - 1)
            len = CMD_BUF_LEN - 1;
        cmdbuf_pos = cmdbuf_len = static_cast<int>(len);
    }
    edit_redraw();
    search = 0;
}

/* Tab completion */

static int cmp_str(const void *a, const void *b)
{
    return strcmp(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

static void free_completions(char **c)
{
    for (int i = 0; c[i]; i++)
        free(c[i]);
    free(c);
}

// Frees and drops the candidates that do not start with the word (compared
// case-insensitively); keeps the others in order. Returns how many are kept.
static int filter_strings(char **c, const char *word, size_t len)
{
    int kept = 0;
    for (int i = 0; c[i]; i++) {
        if (strncasecmp(c[i], word, len) == 0)
            c[kept++] = c[i];
        else
            free(c[i]);
    }
    c[kept] = nullptr;
    return kept;
}

static size_t common_len(const char *a, const char *b)
{
    size_t len = 0;
    while (a[len] && a[len] == b[len])
        len++;
    return len;
}

static size_t max_common_length(char **c)
{
    size_t common = strlen(c[0]);
    for (int i = 1; c[i]; i++) {
        size_t len = common_len(c[0], c[i]);
        if (len < common)
            common = len;
    }
    return common;
}

static void complete_with(char **c)
{
    int start = cmdbuf_pos;
    while (start > 0 && cmdbuf[start - 1] != ' ')
        start--;
    int len = cmdbuf_pos - start;

    int count = filter_strings(c, cmdbuf + start, static_cast<size_t>(len));
    if (count == 0)
        return;

    int common = static_cast<int>(max_common_length(c));
    if (common > len || count == 1) {
        int room = CMD_BUF_LEN - 1 - cmdbuf_len;
        int plen = common - len;
        if (plen > room)
            plen = room;
        int space = count == 1 && plen < room ? 1 : 0;
        memmove(cmdbuf + cmdbuf_pos + plen + space, cmdbuf + cmdbuf_pos,
                static_cast<size_t>(cmdbuf_len - cmdbuf_pos));
        // The typed part is overwritten too, so it takes the candidate's case.
        memcpy(cmdbuf + start, c[0], static_cast<size_t>(len + plen));
        if (space)
            cmdbuf[start + len + plen] = ' ';
        cmdbuf_pos += plen + space;
        cmdbuf_len += plen + space;
        edit_redraw();
    } else if (last_tab) {
        qsort(c, static_cast<size_t>(count), sizeof(c[0]), cmp_str);
        edit_clear_line();
        putchar('\r');
        for (int i = 0; i < count; i++)
            printf("%s%s", i > 0 ? " " : "", c[i]);
        putchar('\n');
        edit_redraw();
    }
}

static void complete(void)
{
    if (edit_completion_cb) {
        cmdbuf[cmdbuf_len] = '\0';
        char **c = edit_completion_cb(edit_cb_ctx, cmdbuf, cmdbuf_pos);
        if (c) {
            complete_with(c);
            free_completions(c);
        }
    }
    last_tab = 1;
}

/* Enter and end of input */

static void process_cmd(void)
{
    currbuf_valid = 0;
    if (cmdbuf_len == 0) {
        printf("\n%s> ", prompt_prefix());
        fflush(stdout);
        return;
    }
    putchar('\n');
    fflush(stdout);
    cmdbuf[cmdbuf_len] = '\0';
    history_add(cmdbuf);
    cmdbuf_pos = 0;
    cmdbuf_len = 0;
    edit_cmd_cb(edit_cb_ctx, cmdbuf);
    printf("%s> ", prompt_prefix());
    fflush(stdout);
}

static void end_of_input(void)
{
    last_tab = 0;
    edit_eof_cb(edit_cb_ctx);
}

static void ctrl_d(void)
{
    if (cmdbuf_len == 0) {
        putchar('\n');
        fflush(stdout);
        end_of_input();
    } else if (cmdbuf_pos < cmdbuf_len) {
        delete_current();
    }
}

/* Key decoding */

static void show_esc_buf(const char *buf, int c, int reason)
{
    edit_clear_line();
    printf("\rESC buffer '%s' c='%c' [%d]\n", buf, c, reason);
    edit_redraw();
}

// CSI without parameters: the arrows, xterm's Home and End, and rxvt's
// shifted arrows (lower-case finals).
static int esc_seq_to_key1_no(char last)
{
    switch (last) {
    case 'A':
        return EDIT_KEY_UP;
    case 'B':
        return EDIT_KEY_DOWN;
    case 'C':
        return EDIT_KEY_RIGHT;
    case 'D':
        return EDIT_KEY_LEFT;
    case 'H':
        return EDIT_KEY_HOME;
    case 'F':
        return EDIT_KEY_END;
    case 'a':
        return EDIT_KEY_SHIFT_UP;
    case 'b':
        return EDIT_KEY_SHIFT_DOWN;
    case 'c':
        return EDIT_KEY_SHIFT_RIGHT;
    case 'd':
        return EDIT_KEY_SHIFT_LEFT;
    default:
        return EDIT_KEY_NONE;
    }
}

static int esc_seq_to_key1_shift(char last)
{
    switch (last) {
    case 'A':
        return EDIT_KEY_SHIFT_UP;
    case 'B':
        return EDIT_KEY_SHIFT_DOWN;
    case 'C':
        return EDIT_KEY_SHIFT_RIGHT;
    case 'D':
        return EDIT_KEY_SHIFT_LEFT;
    default:
        return EDIT_KEY_NONE;
    }
}

static int esc_seq_to_key1_alt(char last)
{
    switch (last) {
    case 'A':
        return EDIT_KEY_ALT_UP;
    case 'B':
        return EDIT_KEY_ALT_DOWN;
    case 'C':
        return EDIT_KEY_ALT_RIGHT;
    case 'D':
        return EDIT_KEY_ALT_LEFT;
    default:
        return EDIT_KEY_NONE;
    }
}

static int esc_seq_to_key1_alt_shift(char last)
{
    switch (last) {
    case 'A':
        return EDIT_KEY_ALT_SHIFT_UP;
    case 'B':
        return EDIT_KEY_ALT_SHIFT_DOWN;
    case 'C':
        return EDIT_KEY_ALT_SHIFT_RIGHT;
    case 'D':
        return EDIT_KEY_ALT_SHIFT_LEFT;
    default:
        return EDIT_KEY_NONE;
    }
}

static int esc_seq_to_key1_ctrl(char last)
{
    switch (last) {
    case 'A':
        return EDIT_KEY_CTRL_UP;
    case 'B':
        return EDIT_KEY_CTRL_DOWN;
    case 'C':
        return EDIT_KEY_CTRL_RIGHT;
    case 'D':
        return EDIT_KEY_CTRL_LEFT;
    default:
        return EDIT_KEY_NONE;
    }
}

// xterm's modifier parameter: 1 + Shift 1, Alt 2, Ctrl 4.
static int is_modifier(int param)
{
    return param >= 2 && param <= 8;
}

// The editing keypad as numbered by VT220-style terminals (1 Home, 4 End)
// and by rxvt (7 Home, 8 End).
static int editing_key(int param)
{
    switch (param) {
    case 1:
    case 7:
        return EDIT_KEY_HOME;
    case 2:
        return EDIT_KEY_INSERT;
    case 3:
        return EDIT_KEY_DELETE;
    case 4:
    case 8:
        return EDIT_KEY_END;
    case 5:
        return EDIT_KEY_PAGE_UP;
    case 6:
        return EDIT_KEY_PAGE_DOWN;
    default:
        return EDIT_KEY_NONE;
    }
}

static int function_key(int param)
{
    switch (param) {
    case 11:
    case 12:
    case 13:
    case 14:
    case 15:
        return EDIT_KEY_F1 + (param - 11);
    case 17:
    case 18:
    case 19:
    case 20:
    case 21:
        return EDIT_KEY_F6 + (param - 17);
    case 23:
        return EDIT_KEY_F11;
    case 24:
        return EDIT_KEY_F12;
    default:
        return EDIT_KEY_NONE;
    }
}

// CSI sequence with parameters; param2 is -1 when there is no ";".
static int esc_seq_to_key1(int param1, int param2, char last)
{
    switch (last) {
    case 'A':
    case 'B':
    case 'C':
    case 'D':
        if (param1 != 1)
            return EDIT_KEY_NONE;
        switch (param2) {
        case 2:
            return esc_seq_to_key1_shift(last);
        case 3:
            return esc_seq_to_key1_alt(last);
        case 4:
            return esc_seq_to_key1_alt_shift(last);
        case 5:
            return esc_seq_to_key1_ctrl(last);
        default:
            return EDIT_KEY_NONE;
        }
    case 'H':
    case 'F':
        // xterm's modified Home and End; the modifier is dropped.
        if (param1 != 1 || !is_modifier(param2))
            return EDIT_KEY_NONE;
        return last == 'H' ? EDIT_KEY_HOME : EDIT_KEY_END;
    case '~':
        if (param2 == -1)
            return editing_key(param1) != EDIT_KEY_NONE ? editing_key(param1)
                                                        : function_key(param1);
        return is_modifier(param2) ? editing_key(param1) : EDIT_KEY_NONE;
    case '^':
    case '$':
    case '@':
        // rxvt's Ctrl, Shift and Ctrl-Shift editing keys.
        return param2 == -1 ? editing_key(param1) : EDIT_KEY_NONE;
    default:
        return EDIT_KEY_NONE;
    }
}

// SS3 sequence without parameters; rxvt sends its Ctrl-arrows so.
static int esc_seq_to_key2(char last)
{
    switch (last) {
    case 'F':
        return EDIT_KEY_END;
    case 'H':
        return EDIT_KEY_HOME;
    case 'P':
        return EDIT_KEY_F1;
    case 'Q':
        return EDIT_KEY_F2;
    case 'R':
        return EDIT_KEY_F3;
    case 'S':
        return EDIT_KEY_F4;
    case 'a':
        return EDIT_KEY_CTRL_UP;
    case 'b':
        return EDIT_KEY_CTRL_DOWN;
    case 'c':
        return EDIT_KEY_CTRL_RIGHT;
    case 'd':
        return EDIT_KEY_CTRL_LEFT;
    default:
        return EDIT_KEY_NONE;
    }
}

static int is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// seq: introducer, body and final byte of a complete sequence, without ESC.
static int esc_seq_to_key(const char *seq)
{
    char last = seq[strlen(seq) - 1];

    if (!is_digit(seq[1]))
        return seq[0] == '[' ? esc_seq_to_key1_no(last) : esc_seq_to_key2(last);

    // At most five digits fit in the buffer, so no overflow is possible.
    int param1 = 0;
    const char *p = seq + 1;
    while (is_digit(*p))
        param1 = param1 * 10 + (*p++ - '0');
    int param2 = -1;
    const char *semi = strchr(seq, ';');
    if (semi) {
        param2 = 0;
        for (p = semi + 1; is_digit(*p); p++)
            param2 = param2 * 10 + (*p - '0');
    }

    if (seq[0] == 'O')
        return EDIT_KEY_NONE;
    return esc_seq_to_key1(param1, param2, last);
}

static int plain_byte_to_key(int c)
{
    switch (c) {
    case 1:
        return EDIT_KEY_CTRL_A;
    case 2:
        return EDIT_KEY_CTRL_B;
    case 4:
        return EDIT_KEY_CTRL_D;
    case 5:
        return EDIT_KEY_CTRL_E;
    case 6:
        return EDIT_KEY_CTRL_F;
    case 7:
        return EDIT_KEY_CTRL_G;
    case 8:
        return EDIT_KEY_CTRL_H;
    case 9:
        return EDIT_KEY_TAB;
    case 10:
        return EDIT_KEY_CTRL_J;
    case 11:
        return EDIT_KEY_CTRL_K;
    case 12:
        return EDIT_KEY_CTRL_L;
    case 13:
        return EDIT_KEY_ENTER;
    case 14:
        return EDIT_KEY_CTRL_N;
    case 15:
        return EDIT_KEY_CTRL_O;
    case 16:
        return EDIT_KEY_CTRL_P;
    case 18:
        return EDIT_KEY_CTRL_R;
    case 20:
        return EDIT_KEY_CTRL_T;
    case 21:
        return EDIT_KEY_CTRL_U;
    case 22:
        return EDIT_KEY_CTRL_V;
    case 23:
        return EDIT_KEY_CTRL_W;
    case 27:
        esc = 0;
        esc_buf[0] = '\0';
        return EDIT_KEY_NONE;
    case 127:
        return EDIT_KEY_BACKSPACE;
    default:
        return c;
    }
}

// Reports an unrecognised complete sequence; returns the key otherwise.
static int complete_esc_seq(void)
{
    int key = esc_seq_to_key(esc_buf);
    if (key == EDIT_KEY_NONE) {
        edit_clear_line();
        printf("\rUnknown escape sequence '%s'\n", esc_buf);
        edit_redraw();
    }
    return key;
}

// Turns one input byte into a key code, or EDIT_KEY_NONE while a sequence is
// incomplete and after a bad or unrecognised sequence (both reported here).
static int edit_read_key(int c)
{
    if (esc < 0)
        return plain_byte_to_key(c);

    if (esc == 2 && esc_buf[0] == '[' && esc_buf[1] == '[') {
        // The Linux console's F1 to F5. Anything else gets the report the
        // second "[" alone would have had, and then counts as ordinary input,
        // so the screen shows what it showed before this form was known.
        esc = -1;
        if (c >= 'A' && c <= 'E')
            return EDIT_KEY_F1 + (c - 'A');
        show_esc_buf(esc_buf, '[', 2);
        return plain_byte_to_key(c);
    }
    if (c == 27) {
        esc = 0;
        esc_buf[0] = '\0';
        return EDIT_KEY_NONE;
    }
    if (esc == ESC_BUF_LEN - 1) {
        // The buffer is full: the sequence is dropped and this byte is taken
        // as ordinary input.
        show_esc_buf(esc_buf, c, 0);
        esc = -1;
        return plain_byte_to_key(c);
    }

    esc_buf[esc++] = static_cast<char>(c);
    esc_buf[esc] = '\0';

    if (esc == 1) {
        // Alt-b and Alt-f arrive as ESC and the letter.
        if (c == 'b' || c == 'f') {
            esc = -1;
            return c == 'b' ? EDIT_KEY_CTRL_LEFT : EDIT_KEY_CTRL_RIGHT;
        }
        if (c != '[' && c != 'O') {
            show_esc_buf(esc_buf, c, 1);
            esc = -1;
        }
        return EDIT_KEY_NONE;
    }
    if (is_digit(static_cast<char>(c)) || c == ';' || (esc == 2 && c == '[' && esc_buf[0] == '['))
        return EDIT_KEY_NONE;
    if ((c >= 'A' && c <= 'Z') || c == '~') {
        esc = -1;
        return complete_esc_seq();
    }
    esc = -1;
    // rxvt ends some sequences with a lower-case letter, "^", "$" or "@";
    // those that name no key keep the bad-byte report.
    if ((c >= 'a' && c <= 'd') || c == '^' || c == '$' || c == '@') {
        int key = esc_seq_to_key(esc_buf);
        if (key != EDIT_KEY_NONE)
            return key;
    }
    show_esc_buf(esc_buf, c, 2);
    return EDIT_KEY_NONE;
}

/* Dispatch */

static void edit_dispatch(int c);

static void search_key(int c)
{
    switch (c) {
    case EDIT_KEY_UP:
    case EDIT_KEY_DOWN:
        search_cancel();
        break;
    case EDIT_KEY_LEFT:
    case EDIT_KEY_RIGHT:
    case EDIT_KEY_HOME:
    case EDIT_KEY_END:
    case EDIT_KEY_CTRL_A:
    case EDIT_KEY_CTRL_E:
    case EDIT_KEY_ENTER:
    case EDIT_KEY_CTRL_J:
        search_stop();
        last_tab = 0;
        edit_dispatch(c);
        break;
    case EDIT_KEY_BACKSPACE:
    case EDIT_KEY_CTRL_H:
        search_backspace();
        break;
    case EDIT_KEY_CTRL_R:
        search_next();
        break;
    default:
        if (c >= 32 && c <= 255)
            search_char(c);
        break;
    }
}

// Normal editing mode: the key binding table.
static void edit_dispatch(int c)
{
    if (c != EDIT_KEY_TAB)
        last_tab = 0;

    switch (c) {
    case EDIT_KEY_TAB:
        complete();
        break;
    case EDIT_KEY_ENTER:
    case EDIT_KEY_CTRL_J:
        process_cmd();
        break;
    case EDIT_KEY_BACKSPACE:
    case EDIT_KEY_CTRL_H:
        delete_left();
        break;
    case EDIT_KEY_DELETE:
        delete_current();
        break;
    case EDIT_KEY_CTRL_D:
        ctrl_d();
        break;
    case EDIT_KEY_LEFT:
    case EDIT_KEY_CTRL_B:
        move_left();
        break;
    case EDIT_KEY_RIGHT:
    case EDIT_KEY_CTRL_F:
        move_right();
        break;
    case EDIT_KEY_HOME:
    case EDIT_KEY_CTRL_A:
        move_start();
        break;
    case EDIT_KEY_END:
    case EDIT_KEY_CTRL_E:
        move_end();
        break;
    case EDIT_KEY_CTRL_LEFT:
        move_word_left();
        break;
    case EDIT_KEY_CTRL_RIGHT:
        move_word_right();
        break;
    case EDIT_KEY_UP:
    case EDIT_KEY_CTRL_P:
        history_prev();
        break;
    case EDIT_KEY_DOWN:
    case EDIT_KEY_CTRL_N:
        history_next();
        break;
    case EDIT_KEY_CTRL_R:
        search_start();
        break;
    case EDIT_KEY_CTRL_K:
        clear_right();
        break;
    case EDIT_KEY_CTRL_U:
        clear_left();
        break;
    case EDIT_KEY_CTRL_W:
        delete_word();
        break;
    case EDIT_KEY_CTRL_L:
        refresh();
        break;
    case EDIT_KEY_F2:
        history_debug_dump();
        break;
    case EDIT_KEY_EOF:
        end_of_input();
        break;
    default:
        if (c >= 32 && c <= 255)
            insert_char(c);
        break;
    }
}

void edit_process_input(int c)
{
    int key;
    if (c == EDIT_INPUT_END) {
        key = EDIT_KEY_EOF;
    } else {
        key = edit_read_key(c & 0xff);
        if (key == EDIT_KEY_NONE)
            return;
    }

    if (search) {
        if (key != EDIT_KEY_EOF) {
            search_key(key);
            return;
        }
        // Input has ended for good (the descriptor stays readable), so a
        // search would wait for ever: leave it and end as outside search.
        search_cancel();
    }
    edit_dispatch(key);
}

static void edit_read_char(int sock, void *eloop_ctx, void *sock_ctx)
{
    UNUSED(eloop_ctx);
    UNUSED(sock_ctx);
    unsigned char c;
    ssize_t res = read(sock, &c, 1);
    if (res < 0)
        perror("read");
    edit_process_input(res > 0 ? c : EDIT_INPUT_END);
}

/* Set-up and shutdown */

int edit_init(edit_cmd_cb_t cmd_cb, edit_eof_cb_t eof_cb, edit_completion_cb_t completion_cb,
              void *ctx, const char *history_file, const char *ps)
{
    // A fresh line and modes; the escape decoder keeps its state.
    currbuf[0] = '\0';
    currbuf_valid = 0;
    cmdbuf_pos = cmdbuf_len = 0;
    last_tab = 0;
    search = 0;
    search_buf[0] = '\0';
    search_skip = 0;
    dl_list_init(&history_list);
    history_curr = nullptr;
    if (history_file)
        history_read(history_file);

    edit_cb_ctx = ctx;
    edit_cmd_cb = cmd_cb;
    edit_eof_cb = eof_cb;
    edit_completion_cb = completion_cb;

    // Standard input may be a pipe: then there are no attributes to change
    // or to restore, and the editor works on the bytes as they come.
    entered_leave = terminal_leave;
    entered_ctx = terminal_ctx;
    if (terminal_enter) {
        prevt_valid = 0;
        terminal_enter(terminal_ctx);
    } else {
        prevt_valid = tcgetattr(STDIN_FILENO, &prevt) == 0;
    }
    if (prevt_valid) {
        newt = prevt;
        newt.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &newt);
    }

    eloop_register_read_sock(STDIN_FILENO, edit_read_char, nullptr, nullptr);

    ps2 = ps;
    printf("%s> ", prompt_prefix());
    fflush(stdout);
    return 0;
}

void edit_deinit(const char *history_file, edit_filter_cb_t filter_cb)
{
    if (history_file)
        history_write(history_file, filter_cb);
    history_free_all();

    edit_clear_line();
    putchar('\r');
    fflush(stdout);

    eloop_unregister_read_sock(STDIN_FILENO);
    if (entered_leave)
        entered_leave(entered_ctx);
    else if (prevt_valid)
        tcsetattr(STDIN_FILENO, TCSANOW, &prevt);
}

void edit_set_terminal_hooks(edit_terminal_cb_t enter, edit_terminal_cb_t leave, void *ctx)
{
    if (!enter || !leave)
        enter = leave = nullptr;
    terminal_enter = enter;
    terminal_leave = leave;
    terminal_ctx = ctx;
}
