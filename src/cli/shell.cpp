// The command shell: command tables, line splitting and dispatch.
#include "cli/shell.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include "core/commands.h"
#include "core/state.h"
#include "host/terminal.h"
#include "release/layout.h"
#include "utils/edit.h"
#include "utils/eloop.h"

const sdk_cmd sdk_le_commands[] = {
    {"help", sdk_help, "= Show usage help for LE platform"},
    {"1", sdk_make_sys, "= Download LE resources"},
    {"2", sdk_flash_full, "= Flash full build"},
    {"3", sdk_le_toolchain, "= Download LE SDK toolchain"},
    {"q", sdk_quit, "= exit ostrelle"},
    {nullptr, nullptr, nullptr},
};

const sdk_cmd sdk_lu_commands[] = {
    {"help", sdk_help, "= Show usage help for LU platform"},
    {"1", sdk_make_sys, "= Download LU resources and generate system.img with current release"},
    {"2", sdk_flash_full, "= Flash full build (require system.img generation first)"},
    {"q", sdk_quit, "= exit ostrelle"},
    {nullptr, nullptr, nullptr},
};

namespace {

const sdk_cmd *live_table(void)
{
    return layout::is_lu() ? sdk_lu_commands : sdk_le_commands;
}

} // namespace

int parse_cmd(char *cmd, char *argv[10])
{
    int argc = 0;
    char *pos = cmd;
    for (;;) {
        while (*pos == ' ')
            pos++;
        if (*pos == '\0')
            break;
        argv[argc++] = pos;
        // The tenth word keeps the rest of the line, blanks included.
        if (argc == 10)
            break;
        while (*pos != '\0' && *pos != ' ')
            pos++;
        if (*pos == '\0')
            break;
        *pos++ = '\0';
    }
    return argc;
}

int sdk_cmd_select(int argc, char *argv[])
{
    // The words users try first to leave a program; the help lists only "q".
    if (strcmp(argv[0], "quit") == 0 || strcmp(argv[0], "exit") == 0)
        return sdk_quit(argc - 1, argv + 1);
    for (const sdk_cmd *row = live_table(); row->cmd; row++) {
        if (strcmp(row->cmd, argv[0]) == 0)
            return row->handler(argc - 1, argv + 1);
    }
    printf("Unknown command '%s'\n\n", argv[0]);
    sdk_help(0, nullptr);
    return 0;
}

int sdk_help(int, char *[])
{
    printf("commands:\n");
    for (const sdk_cmd *row = live_table(); row->cmd; row++)
        printf("%s %s\n", row->cmd, row->usage);
    return 0;
}

int sdk_quit(int, char *[])
{
    eloop_terminate();
    return 0;
}

void sdk_edit_cmd_cb(void *, char *cmd)
{
    char *argv[10];
    int argc = parse_cmd(cmd, argv);
    if (argc == 0) {
        printf("could not sdk_cmd_select\n");
        return;
    }
    // A handler reports its own failures; the shell goes on either way.
    sdk_cmd_select(argc, argv);
    fflush(stdout);
}

void sdk_edit_eof_cb(void *)
{
    eloop_terminate();
}

// Continued after a stop: the screen shows what the shell printed meanwhile,
// so the prompt and the half-typed line are shown again.
void sdk_redraw_after_stop(int, void *)
{
    edit_redraw();
}

int run_shell(void)
{
    if (eloop_init() != 0)
        return -1;
    edit_set_terminal_hooks(terminal::enter_editor_mode, terminal::leave_editor_mode, nullptr);
    eloop_register_signal(SIGCONT, sdk_redraw_after_stop, nullptr);
    if (edit_init(sdk_edit_cmd_cb, sdk_edit_eof_cb, nullptr, nullptr, nullptr, nullptr) < 0)
        printf("edit_init failed.\n");
    eloop_run();
    edit_deinit(nullptr, nullptr);
    eloop_destroy();
    return 0;
}
