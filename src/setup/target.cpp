// Where the downloaded and generated material lives (remembered between runs
// in a state file in the home directory), and which product board it is for.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/catalog.h"
#include "core/exit_status.h"
#include "core/safe_text.h"
#include "core/state.h"
#include "host/answers.h"
#include "host/console.h"
#include "host/host.h"
#include "host/session_log.h"
#include "release/layout.h"
#include "release/release_tree.h"
#include "setup/setup.h"
#include "utils/file.h"

using console::reset;
using console::yellow;

namespace {

// HOME, checked to be set and short enough for the paths built from it.
const char *home_dir(void)
{
    const char *home = getenv("HOME");
    if (!home || !*home) {
        printf("HOME is not set, cannot find the target directory file. Exit ostrelle now ...\n");
        console::exit_program(answers::unattended() ? exit_status::host : 1);
    }
    if (strlen(home) + 1 + strlen(tardir_filename) >= sizeof(target_path)) {
        printf("HOME is too long, cannot find the target directory file. Exit ostrelle now ...\n");
        console::exit_program(answers::unattended() ? exit_status::host : 1);
    }
    return home;
}

// Callers have checked that path fits: a home directory of bounded length,
// or an answer of at most 510 characters.
void set_target(const std::string &path)
{
    snprintf(target_path, sizeof(target_path), "%s", path.c_str());
}

// Reads the stored path into path: the first line of the state file, which
// holds the path and a blank, so a path with blanks in it is read whole. A
// path that does not fit, holds control characters or is no absolute path
// is refused like an unreadable file; one without the final "/" gets it, as
// every path composed from it expects.
bool parse_stored_path(FILE *f, std::string &path)
{
    std::string line;
    int c;
    while ((c = getc(f)) != EOF && isspace(c)) {
    }
    while (c != EOF && c != '\n') {
        if (line.size() + 2 >= sizeof(target_path))
            return false;
        line += static_cast<char>(c);
        c = getc(f);
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    // The blank the state file puts after the path.
    if (!line.empty() && line.back() == ' ')
        line.pop_back();
    if (line.empty() || line[0] != '/' || has_control_bytes(line))
        return false;
    if (line.back() != '/')
        line += '/';
    path = line;
    return true;
}

// The same into target_path.
bool read_stored_path(FILE *f)
{
    std::string path;
    if (!parse_stored_path(f, path))
        return false;
    set_target(path);
    return true;
}

// The typed path without its line end, with "~" and a leading "~/" standing
// for the home directory.
std::string typed_path(const char *answer, const std::string &home)
{
    std::string path = answer;
    if (!path.empty() && path.back() == '\n')
        path.pop_back();
    if (path != "~" && path.rfind("~/", 0) != 0)
        return path;
    std::string base = home;
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    if (path == "~")
        return base;
    return (base == "/" ? "" : base) + path.substr(1);
}

// Writes the state file directly, not through a shell, so no character of
// the path can run a command. Same content as always: path, blank, newline.
bool save_target_path(const std::string &state_file)
{
    FILE *f = fopen(state_file.c_str(), "w");
    if (!f)
        return false;
    bool ok = fprintf(f, "%s \n", target_path) >= 0;
    return fclose(f) == 0 && ok;
}

// A [Y/n] confirmation of the target step: --yes answers it; otherwise it
// is asked, when it may be.
bool confirm(const std::string &question)
{
    if (answers::assume_yes()) {
        printf("%sy\n", question.c_str());
        return true;
    }
    answers::can_ask_or_exit(answers::Question::target);
    return console::ask_yes_no_or_exit(question, "set_target_path", "proceed dir");
}

void setup_failed(void)
{
    puts("Failed to set up SDK");
    puts("Exit ostrelle now ...");
}

// The target directory given with --target, checked as a typed answer is:
// absolute ("~" standing for HOME), no control characters, within the
// buffer. Ends the run with a usage error otherwise.
std::string given_target(const std::string &answer, const std::string &home)
{
    std::string path = typed_path(answer.c_str(), home);
    const char *problem = nullptr;
    if (has_control_bytes(answer))
        problem = "contains control characters";
    else if (path.empty() || path[0] != '/')
        problem = "is not an absolute path";
    else if (path.size() + (path.back() == '/' ? 0 : 1) >= sizeof(target_path))
        problem = "is too long";
    if (problem)
        console::refuse("the target directory '" + printable(answer) + "' " + problem);
    if (path.back() != '/')
        path += '/';
    return path;
}

} // namespace

std::string stored_target_path(void)
{
    const char *home = getenv("HOME");
    if (!home || !*home)
        return {};
    File f(fopen((std::string(home) + "/" + tardir_filename).c_str(), "r"));
    std::string path;
    if (!f || !parse_stored_path(f.get(), path))
        return {};
    return path;
}

int set_target_path(void)
{
    char ans[512];
    char tmp[512];
    for (;;) {
        memset(ans, 0, sizeof(ans));
        memset(tmp, 0, sizeof(tmp));
        const char *home = home_dir();
        snprintf(tmp, sizeof(tmp), "%s", home);
        set_target(std::string(tmp) + "/");
        std::string state_file = std::string(target_path) + tardir_filename;
        // The home directory is offered as the default only when it is a
        // usable target, an absolute path.
        bool have_default = home[0] == '/';
        if (!have_default)
            target_path[0] = '\0';

        bool confirmed = false;
        // A target given on the command line answers the path question and
        // both confirmations.
        const std::string *given = answers::given(answers::Question::target);
        if (given) {
            set_target(given_target(*given, home));
            session_log::answer("target", target_path, "option");
            confirmed = true;
        } else if (FILE *f = fopen(state_file.c_str(), "r")) {
            if (read_stored_path(f))
                have_default = true;
            else
                printf("%s: read target dir file error\n", "set_target_path");
            fclose(f);
            if (have_default) {
                printf("Target directory stored: %s\n", target_path);
                // Enter, like y, goes on with the stored path.
                confirmed = confirm("Continue with this path(overwrites existing files) [Y/n]? ");
                if (confirmed)
                    session_log::answer("target", target_path, "stored");
            }
        }

        if (!confirmed) {
            answers::can_ask_or_exit(answers::Question::target);
            for (;;) {
                memset(tmp, 0, sizeof(tmp));
                memset(ans, 0, sizeof(ans));
                if (have_default)
                    console::ask("Enter absolute target directory for Image resources "
                                 "(overwrites existing files, default: %s): \n",
                                 target_path);
                else
                    console::ask("Enter absolute target directory for Image resources "
                                 "(overwrites existing files): \n");
                if (!console::ask_line_or_exit(ans, sizeof(ans), "set_target_path",
                                               "get target dir")) {
                    printf("\n");
                    continue;
                }
                if (have_default && strcmp(ans, "\n") == 0)
                    break;
                std::string path = typed_path(ans, home);
                if (path[0] == '/') {
                    if (path.back() != '/')
                        path += '/';
                    if (path.size() < sizeof(target_path)) {
                        set_target(path);
                        break;
                    }
                    printf("Path too long, at most %zu characters\n\n", sizeof(target_path) - 1);
                    continue;
                }
                printf("You are not entering an absolute path, please re-enter one.\n\n");
            }

            session_log::answer("target", target_path, "terminal");
            if (!confirm("You are about to install the SDK to '" + std::string(target_path) +
                         "'. Proceed [Y/n]? ")) {
                puts("Setup Stopped");
                setup_failed();
                return -1;
            }
        }

        state_file = std::string(home) + "/" + tardir_filename;
        host::Reply reply = host::probe("mkdir -p " + layout::list_dir_arg());
        if (!reply.started()) {
            puts("mkdir cmd internal error");
            setup_failed();
            return -1;
        }
        if (!reply.has_line()) {
            puts("check mkdir return value internal error");
            setup_failed();
            return -1;
        }
        if (!reply.is("0\n")) {
            printf("Cannot create target directory, check error message above\n\n");
            // A directory given on the command line would fail the same way
            // again and again.
            if (given) {
                setup_failed();
                return -1;
            }
            puts("Retry target directory setup");
            continue;
        }
        release_tree::warn_if_shared(target_path);
        if (host::dry_run())
            printf("would write %s to %s\n", target_path, state_file.c_str());
        else if (!save_target_path(state_file))
            puts("Unable to save target path");
        puts("Setting it up ... done");
        return 0;
    }
}

int select_product(void)
{
    struct Choice {
        const char *answer;
        const char *title;          // "You chose <title> product"
        const char *const *product; // null: keep the default
    };
    static const Choice choices[] = {
        {.answer = "1", .title = "KT1", .product = &s_product_kt1},
        {.answer = "2", .title = "KT2", .product = &s_product_kt2},
        {.answer = "3", .title = "KT3 Gen2", .product = &s_product_kt3gen2},
        {.answer = "4", .title = "KT5", .product = nullptr},
        {.answer = "5", .title = "KT5N", .product = &s_product_kt5n},
        {.answer = "6", .title = "KT6", .product = &s_product_kt6},
        {.answer = "7", .title = "MX7200", .product = &s_product_mx7200},
    };

    if (const std::string *given = answers::given(answers::Question::product)) {
        const catalog::Product *product = catalog::find_product(*given);
        if (!product)
            console::refuse(catalog::product_refusal(*given));
        session_log::answer("product", product->code, "option");
        for (const Choice &choice : choices) {
            if (strcmp(choice.answer, product->number) != 0)
                continue;
            printf("%sYou chose %s product%s\n", yellow, choice.title, reset);
            if (choice.product)
                s_product = *choice.product;
        }
        return check_version();
    }
    answers::can_ask_or_exit(answers::Question::product);

    printf("\nSelect your product:\n");
    printf("1: KT1 \n2: KT2 \n3: KT3 Gen2 \n4: KT5 \n5: KT5N(Non-Pop) \n6: KT6 \n7: MX7200\n");
    // Asked until a product is picked: without one there is no release to
    // work with, and nothing in the shell could pick one later.
    for (;;) {
        char ans[8] = {};
        console::ask("Select one number of product( 1 | 2 | 3 ...) to continue with: ");
        if (!console::ask_word_or_exit(ans, sizeof(ans), "select_product", "proceed dir"))
            continue;

        for (const Choice &choice : choices) {
            if (strcmp(ans, choice.answer) != 0)
                continue;
            printf("%sYou chose %s product%s\n", yellow, choice.title, reset);
            if (choice.product)
                s_product = *choice.product;
            else
                printf("\nChoose a platform for Vavevuro KT5 device\n");
            session_log::answer("product", s_product, "terminal");
            return check_version();
        }
        printf("Unknown product '%s', please pick one of 1 to 7\n", ans);
    }
}
