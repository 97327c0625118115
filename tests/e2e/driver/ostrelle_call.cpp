// Test driver: sets the application globals from its options and calls one
// handler or step by name, so that tests reach handlers that no command
// table lists. Exits with the handler's result (so -1 shows as 255).
//
//   ostrelle_call [--target DIR/] [--product CODE] [--platform N]
//                 [--release NAME] [--checksum SUM] [--dev NODE]
//                 [--state-out FILE] NAME [ARGS...]
//
// With --state-out the globals are written to FILE afterwards, one
// "name=value" line each, so a test can see what the handler changed.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <string>
#include <vector>

#include "core/commands.h"
#include "core/state.h"
#include "flash/boards.h"
#include "host/adb_server.h"
#include "host/answers.h"

namespace {

// Flashes the boards named by the arguments at once (--all-boards: every
// board in download mode), as the flash command of a run with commands does
// (--changed-only: as with that option).
int flash_boards(int argc, char *argv[])
{
    std::vector<std::string> ids;
    options::Options opts;
    opts.commands.push_back(options::Command::flash);
    bool all = false;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--all-boards") == 0)
            all = true;
        else if (strcmp(argv[i], "--changed-only") == 0)
            opts.changed_only = true;
        else
            ids.push_back(argv[i]);
    }
    answers::configure(opts);
    return boards::flash_boards(ids, all);
}

struct Entry {
    const char *name;
    int (*handler)(int, char *[]);
    int (*step)(void);
};

const Entry entries[] = {
    {"sdk_make_sys", sdk_make_sys, nullptr},
    {"sdk_flash_full", sdk_flash_full, nullptr},
    {"sdk_le_toolchain", sdk_le_toolchain, nullptr},
    {"sdk_flash_cdt", sdk_flash_cdt, nullptr},
    {"sdk_flash_nonhlos", sdk_flash_nonhlos, nullptr},
    {"sdk_dl_sdks", sdk_dl_sdks, nullptr},
    {"flash_boards", flash_boards, nullptr},
    {"sdk_dl_img_pkg", sdk_dl_img_pkg, nullptr},
    {"deb_checksum", nullptr, deb_checksum},
    {"sdk_make_sys_helper", nullptr, sdk_make_sys_helper},
    {"find_device", nullptr, find_device},
    {"sdk_flash_full_helper", nullptr, sdk_flash_full_helper},
    {"sdk_flash_cdt_ufs_helper", nullptr, sdk_flash_cdt_ufs_helper},
    {"sdk_flash_cdt_emmc_helper", nullptr, sdk_flash_cdt_emmc_helper},
    {"sdk_flash_nonhlos_helper", nullptr, sdk_flash_nonhlos_helper},
    {"sdk_dl_snpe", nullptr, sdk_dl_snpe},
    {"sdk_dl_hexagon", nullptr, sdk_dl_hexagon},
    {"sdk_dl_fastcv", nullptr, sdk_dl_fastcv},
};

const char *product_code(const char *name)
{
    const char *const codes[] = {s_product_kt1,  s_product_kt2, s_product_kt3gen2, s_product_kt5,
                                 s_product_kt5n, s_product_kt6, s_product_mx7200};
    for (const char *code : codes) {
        if (strcmp(code, name) == 0)
            return code;
    }
    return nullptr;
}

int usage()
{
    fprintf(stderr, "usage: ostrelle_call [--target DIR/] [--product CODE] [--platform N] "
                    "[--release NAME] [--checksum SUM] [--dev NODE] [--state-out FILE] "
                    "NAME [ARGS...]\n");
    return 64;
}

} // namespace

int main(int argc, char *argv[])
{
    // Answers are read byte by byte, as in the program itself.
    setvbuf(stdin, nullptr, _IONBF, 0);
    const char *state_out = nullptr;
    int i = 1;
    for (; i + 1 < argc && strncmp(argv[i], "--", 2) == 0; i += 2) {
        const char *opt = argv[i];
        const char *val = argv[i + 1];
        if (strcmp(opt, "--target") == 0) {
            snprintf(target_path, sizeof(target_path), "%s", val);
        } else if (strcmp(opt, "--product") == 0) {
            s_product = product_code(val);
            if (!s_product)
                return usage();
        } else if (strcmp(opt, "--platform") == 0) {
            platform = atoi(val);
        } else if (strcmp(opt, "--release") == 0) {
            snprintf(release_ver, sizeof(release_ver), "%s", val);
        } else if (strcmp(opt, "--checksum") == 0) {
            snprintf(check_sum, sizeof(check_sum), "%s", val);
        } else if (strcmp(opt, "--dev") == 0) {
            snprintf(dev_name, sizeof(dev_name), "%s", val);
        } else if (strcmp(opt, "--state-out") == 0) {
            state_out = val;
        } else {
            return usage();
        }
    }
    if (i >= argc)
        return usage();
    const Entry *entry = nullptr;
    for (const Entry &e : entries) {
        if (strcmp(e.name, argv[i]) == 0)
            entry = &e;
    }
    if (!entry)
        return usage();

    int result = entry->handler ? entry->handler(argc - i - 1, argv + i + 1) : entry->step();
    // As the program does at its end.
    adb_server::stop_if_started();
    fflush(stdout);

    if (state_out) {
        FILE *f = fopen(state_out, "w");
        if (f) {
            fprintf(f,
                    "target_path=%s\nproduct=%s\nplatform=%d\nrelease_ver=%s\n"
                    "check_sum=%s\ndev_name=%s\n",
                    target_path, s_product, platform, release_ver, check_sum, dev_name);
            fclose(f);
        }
    }
    return result & 0xff;
}
