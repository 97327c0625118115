// Where the downloaded and generated material lives (remembered between runs
// in a state file in the home directory), and which product board it is for.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/console.h"
#include "app/host.h"
#include "app/layout.h"
#include "app/release_tree.h"
#include "app/setup.h"
#include "app/state.h"

using console::reset;
using console::yellow;

namespace {

// HOME, checked to be set and short enough for the paths built from it.
const char *home_dir(void)
{
    const char *home = getenv("HOME");
    if (!home || !*home) {
        printf("HOME is not set, cannot find the target directory file. Exit ostrelle now ...\n");
        console::exit_program(1);
    }
    if (strlen(home) + 1 + strlen(tardir_filename) >= sizeof(target_path)) {
        printf("HOME is too long, cannot find the target directory file. Exit ostrelle now ...\n");
        console::exit_program(1);
    }
    return home;
}

// Callers have checked that path fits: a home directory of bounded length,
// or an answer of at most 510 characters.
void set_target(const std::string &path)
{
    snprintf(target_path, sizeof(target_path), "%s", path.c_str());
}

// Reads the first word of the state file into target_path. A word that does
// not fit is refused like an unreadable file.
bool read_stored_path(FILE *f)
{
    char word[sizeof(target_path)];
    size_t len = 0;
    int c;
    while ((c = getc(f)) != EOF && isspace(c)) {
    }
    while (c != EOF && !isspace(c)) {
        if (len + 1 >= sizeof(word))
            return false;
        word[len++] = static_cast<char>(c);
        c = getc(f);
    }
    if (len == 0)
        return false;
    word[len] = '\0';
    memcpy(target_path, word, len + 1);
    return true;
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

void setup_failed(void)
{
    puts("Failed to set up SDK");
    puts("Exit ostrelle now ...");
}

} // namespace

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

        bool confirmed = false;
        if (FILE *f = fopen(state_file.c_str(), "r")) {
            if (!read_stored_path(f))
                printf("%s: read target dir file error\n", "set_target_path");
            fclose(f);
            printf("Target directory stored: %s\n", target_path);
            printf("Continue with this path(overwrites existing files) [Y/n]? ");
            console::ask_word_or_exit(ans, 8, "set_target_path", "proceed dir");
            confirmed = strcmp(ans, "Y") == 0 || strcmp(ans, "y") == 0;
        }

        if (!confirmed) {
            for (;;) {
                memset(tmp, 0, sizeof(tmp));
                memset(ans, 0, sizeof(ans));
                printf("Enter absolute target directory for Image resources (overwrites existing "
                       "files, default: %s): \n",
                       target_path);
                if (!console::ask_line_or_exit(ans, sizeof(ans), "set_target_path",
                                               "get target dir")) {
                    printf("\n");
                    continue;
                }
                if (strcmp(ans, "\n") == 0)
                    break;
                if (ans[0] == '/') {
                    size_t len = strlen(ans);
                    if (ans[len - 1] == '\n')
                        ans[--len] = '\0';
                    memcpy(tmp, ans, len + 1);
                    set_target(tmp[len - 1] == '/' ? std::string(tmp) : std::string(tmp) + "/");
                    break;
                }
                printf("You are not entering an absolute path, please re-enter one.\n\n");
            }

            printf("You are about to install the SDK to '%s'. Proceed [Y/n]? ", target_path);
            console::ask_word_or_exit(ans, 8, "set_target_path", "proceed dir");
            if (strcmp(ans, "Y") != 0 && strcmp(ans, "y") != 0) {
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
            puts("Retry target directory setup");
            continue;
        }
        release_tree::warn_if_shared(target_path);
        if (!save_target_path(state_file))
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

    char ans[8] = {};
    printf("\nSelect your product:\n");
    printf("1: KT1 \n2: KT2 \n3: KT3 Gen2 \n4: KT5 \n5: KT5N(Non-Pop) \n6: KT6 \n7: MX7200\n");
    printf("Select one number of product( 1 | 2 | 3 ...) to continue with: ");
    console::ask_word_or_exit(ans, sizeof(ans), "select_product", "proceed dir");

    for (const Choice &choice : choices) {
        if (strcmp(ans, choice.answer) != 0)
            continue;
        printf("%sYou chose %s product%s\n", yellow, choice.title, reset);
        if (choice.product)
            s_product = *choice.product;
        else
            printf("\nChoose a platform for Vavevuro KT5 device\n");
        return check_version();
    }
    printf("%sWrong input. Use default product: KT5 product%s\n", yellow, reset);
    return 0;
}
