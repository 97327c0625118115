// The check of a run's whole command line: which problems it names, in one
// line, before anything runs.
#include <gtest/gtest.h>

#include <string>

#include "cli/unattended.h"
#include "host/answers.h"
#include "support/host_root.h"
#include "support/stdio_capture.h"
#include "support/temp_dir.h"

using testing_support::ScopedEnv;
using testing_support::StdinFeed;
using testing_support::TempDir;

namespace {

// A run that downloads, with every answer but those a case takes away.
options::Options complete(void)
{
    options::Options opts;
    opts.commands = {options::Command::download};
    opts.email = "ci@lab.example";
    opts.password_file = "/srv/pw";
    opts.target = "/srv/images";
    opts.product = "kt5";
    opts.platform = "LE2.0";
    opts.release = "latest";
    return opts;
}

// Checks opts as the program does, with standard input not a terminal;
// returns normally when nothing is wrong.
void check(const options::Options &opts)
{
    StdinFeed not_a_terminal("");
    answers::configure(opts);
    unattended::check_command_line(opts);
    answers::configure(options::Options{});
}

} // namespace

TEST(CommandLineCheck, NamesEveryProblemInOneLine)
{
    TempDir home;
    ScopedEnv home_env("HOME", home.path().c_str());
    check(complete());

    options::Options opts = complete();
    opts.package = "/srv/lab.zip";
    opts.release.clear();
    check(opts); // a package names its own release

    struct Case {
        const char *what;
        void (*change)(options::Options &);
        const char *says;
    };
    const Case cases[] = {
        {"no account", [](options::Options &o) { o.email.clear(), o.password_file.clear(); },
         "^ostrelle: standard input is not a terminal, so nothing may ask what these options "
         "answer: give --email ADDRESS and --password-file FILE\n$"},
        {"kt5 without platform", [](options::Options &o) { o.platform.clear(); },
         "give --platform NAME \\(LU1\\.0, LU2\\.0, LE1\\.0, LE2\\.0\\)\n$"},
        {"no product, no release",
         [](options::Options &o) { o.product.clear(), o.platform.clear(), o.release.clear(); },
         "give --product NAME and --release NAME \\(or latest\\)\n$"},
        {"unknown product", [](options::Options &o) { o.product = "kt9"; },
         "^ostrelle: unknown product 'kt9'"},
        {"toolchain on LU",
         [](options::Options &o) {
             o.product = "kt6", o.platform.clear(), o.no_input = true;
             o.commands.push_back(options::Command::toolchain);
         },
         "^ostrelle: the toolchain command is for LE platforms, and kt6 runs LU\n$"},
        {"stored target, no --yes",
         [](options::Options &o) { o.target.clear(), o.no_input = true; },
         "^ostrelle: --no-input was given, so nothing may ask what these options answer: give "
         "--target DIR \\(or --yes for the stored /srv/images/\\)\n$"},
    };
    home.write("ostrelle_dir.txt", "/srv/images/ \n");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        opts = complete();
        c.change(opts);
        EXPECT_EXIT(check(opts), testing::ExitedWithCode(2), c.says);
    }
    opts = complete();
    opts.target.clear();
    opts.yes = true;
    check(opts); // --yes takes the stored target
}
