// Platform and release choice: the product decides the platform (kt5 asks),
// the platform names the release list fetched from the resource server, and
// the user picks one release of it by number.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/catalog.h"
#include "core/exit_status.h"
#include "core/safe_text.h"
#include "core/state.h"
#include "host/answers.h"
#include "host/console.h"
#include "host/host.h"
#include "host/session_log.h"
#include "release/layout.h"
#include "release/package.h"
#include "release/resource_server.h"
#include "release/ver_list.h"
#include "setup/setup.h"
#include "utils/file.h"

using console::green;
using console::red;
using console::reset;
using console::yellow;

namespace {

// Asks question until the answer is 1 or 2 and returns it; choice names what
// is asked for in the line that refuses another answer.
int ask_one_or_two(const char *question, const char *choice)
{
    for (;;) {
        char ans[8] = {};
        console::ask("%s", question);
        // A successful read leaves the line end for the next word read to skip.
        if (!console::ask_word_or_exit(ans, sizeof(ans), "check_version", "proceed dir", false))
            continue;
        if (strcmp(ans, "1") == 0)
            return 1;
        if (strcmp(ans, "2") == 0)
            return 2;
        printf("Unknown %s '%s', please pick 1 or 2\n", choice, ans);
    }
}

// Asks the kt5 questions and returns the platform tag; sets platform.
const char *ask_kt5_platform(void)
{
    if (ask_one_or_two("Enter 1 to use LU platform, 2 to use LE platform: ", "platform") == 1) {
        printf("%sYou chose LU platform%s\n", yellow, reset);
        platform = 1;
        int generation = ask_one_or_two("Enter 1 to use LU1.0 platform, 2 to use LU2.0 platform: ",
                                        "LU platform");
        if (generation == 1) {
            printf("%sYou chose LU1.0 platform%s\n", yellow, reset);
            return "_lu1.0_";
        }
        printf("%sYou chose LU2.0 platform%s\n", yellow, reset);
        return "_lu2.0_";
    }
    printf("%sYou chose LE platform%s\n", yellow, reset);
    platform = 2;
    int generation =
        ask_one_or_two("Enter 1 to use LE1.0 platform, 2 to use LE2.0 platform: ", "LE platform");
    if (generation == 1) {
        printf("%sYou chose LE1.0 platform%s\n", yellow, reset);
        return "_le1.0_";
    }
    printf("%sYou chose LE2.0 platform%s\n", yellow, reset);
    return "_le2.0_";
}

// The platform given on the command line for the chosen product, checked
// against the platforms the product runs; sets platform and returns the tag.
const char *given_platform(const std::string &name)
{
    const catalog::Product *product = catalog::find_product(s_product);
    const catalog::Platform *chosen = product ? catalog::find_platform(*product, name) : nullptr;
    if (!chosen)
        console::refuse(catalog::platform_refusal(name, s_product));
    session_log::answer("platform", chosen->name, "option");
    platform = chosen->platform;
    if (product->platforms.size() == 1)
        printf("Use platform: %s platform", chosen->name);
    else
        printf("%sYou chose %s platform%s\n", yellow, chosen->name, reset);
    return chosen->tag;
}

const char *choose_platform(void)
{
    if (const std::string *given = answers::given(answers::Question::platform))
        return given_platform(*given);
    // Every product but kt5 runs one platform.
    const catalog::Product *product = catalog::find_product(s_product);
    if (product && product->platforms.size() == 1) {
        const catalog::Platform &only = product->platforms[0];
        printf("Use platform: %s platform", only.name);
        platform = only.platform;
        return only.tag;
    }
    answers::can_ask_or_exit(answers::Question::platform);
    return ask_kt5_platform();
}

void offer(const std::vector<avail_ver> &vers)
{
    printf("Available versions: \n");
    for (size_t i = 0; i < vers.size(); i++) {
        printf("%s: %s", vers[i].ver_cmd, printable(vers[i].ver_name).c_str());
        printf(i == 0 ? " (latest version)\n" : "\n");
    }
    printf("\nRecommended version: %s\n\n", printable(vers[0].ver_name).c_str());
}

void prompt(size_t count)
{
    std::string question = "Select one number of available version ( ";
    for (size_t k = 1; k <= 3 && k <= count; k++) {
        question += std::to_string(k) + " ";
        if (k <= 2 && k < count)
            question += "| ";
        if (k == 3 && count >= 4)
            question += "...";
    }
    question += ") to continue with: ";
    console::ask("%s", question.c_str());
}

// A release name is used as the package's file name and the release
// directory's name: it must name an entry of the target directory itself,
// and it is shown on the terminal, so it holds no control bytes.
bool usable_release_name(const char *name)
{
    return name[0] != '\0' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 &&
           strchr(name, '/') == nullptr && !has_control_bytes(name);
}

// Makes ver the chosen release and says so.
void select_release(const avail_ver &ver)
{
    snprintf(release_ver, sizeof(release_ver), "%s", ver.ver_name);
    snprintf(check_sum, sizeof(check_sum), "%s", ver.sha256sum);
    printf("Selected version: %s\n", release_ver);
    const char *rule = "--------------------------------------------------------";
    printf("\n%s%s%s\n", green, rule, reset);
    printf("%sSDK has been successfully set up and is ready to be used%s\n", green, reset);
    printf("%sType 'help' for commands%s\n", green, reset);
    printf("%s%s%s\n", green, rule, reset);
}

// The release given on the command line: "latest" for the first entry, else
// the entry of that name. An unknown name is refused with the names listed.
int take_given_release(const std::string &name, const std::vector<avail_ver> &vers)
{
    const avail_ver *chosen = nullptr;
    if (name == "latest") {
        chosen = &vers[0];
    } else {
        for (const avail_ver &ver : vers) {
            if (name == ver.ver_name) {
                chosen = &ver;
                break;
            }
        }
    }
    if (!chosen) {
        std::string names;
        for (const avail_ver &ver : vers)
            names += std::string(names.empty() ? "" : ", ") + printable(ver.ver_name);
        console::refuse("unknown release '" + name + "'; the list has: " + names);
    }
    if (!usable_release_name(chosen->ver_name))
        console::refuse("release name '" + printable(chosen->ver_name) +
                        "' is not a usable file name");
    session_log::answer("release", chosen->ver_name, "option");
    select_release(*chosen);
    return 0;
}

// 64 lower-case hexadecimal digits.
bool valid_digest(const char *text)
{
    size_t n = strspn(text, "0123456789abcdef");
    return n == 64 && text[n] == '\0';
}

bool is_url(const std::string &source)
{
    return source.rfind("http://", 0) == 0 || source.rfind("https://", 0) == 0;
}

// Fetches and reads the release list of the chosen product and platform
// into vers; prints why when it cannot. 0, 1 (the list was not obtained) or
// -1 (the fetch could not be started); an empty list ends the program.
int read_release_list(const char *plat_sel, std::vector<avail_ver> &vers)
{
    const std::string file_name = std::string(s_product) + plat_sel + config_filename;
    resource::List list = resource::fetch_list(
        {.dir = layout::list_dir(), .dir_arg = layout::list_dir_arg(), .file_name = file_name});
    check_sum[0] = '\0';
    release_ver[0] = '\0';
    switch (list.error) {
    case resource::ListError::none:
        break;
    case resource::ListError::cannot_remove:
    case resource::ListError::cannot_start:
        printf("download config file internal error.\n");
        return -1;
    case resource::ListError::not_fetched:
        printf("\n%sDownload config file failed.\n", red);
        printf("Check target directory input or check the internet connection.%s\n", reset);
        resource::explain_list_failure(list, "release list");
        return 1;
    case resource::ListError::too_many_lines:
        printf("%sThe release list has more than %ld lines: refused and deleted%s\n", red,
               list_max_lines, reset);
        return 1;
    case resource::ListError::unreadable:
        printf("%s: getline internal error\n", "check_version");
        return 1;
    }
    if (list.entries.empty()) {
        printf("No released version found\n\n");
        printf("Exit ostrelle now ...\n");
        // A run with commands says that the server gave nothing usable.
        console::exit_program(answers::unattended() ? exit_status::server : 1);
    }
    vers = std::move(list.entries);
    return 0;
}

// The digest a package given with --package must have: --package-sha256,
// else the one the release list gives for the release the package is
// named for (a list fetched from the verified resource server). Without
// either the package is refused (status 2): what runs as root on LU comes
// from it, and its own digest proves only that it arrived as it was sent.
std::string vouched_digest(const std::string &source, const std::string &name, const char *plat_sel)
{
    if (const std::string *given = answers::package_sha256())
        return *given;
    printf("\nChecking current versions of release ...\n");
    std::vector<avail_ver> vers;
    if (read_release_list(plat_sel, vers) == 0) {
        for (const avail_ver &ver : vers) {
            if (name == ver.ver_name && valid_digest(ver.sha256sum))
                return ver.sha256sum;
        }
    }
    console::refuse("the package " + printable(source) + " has no digest to be checked against: " +
                    "give its SHA-256 with --package-sha256 HEX, or name with --release the " +
                    "release of the list whose package it is");
}

// The release of a package given with --package: --release names it (unless
// it is "latest"), else the file name without ".zip". Its digest is the one
// vouched_digest gives; a local file is checked against it now, a URL's
// package once it is downloaded.
int take_package(const std::string &source, const char *plat_sel)
{
    std::string name;
    const std::string *given = answers::given(answers::Question::release);
    if (given && *given != "latest") {
        name = *given;
    } else {
        name = source.substr(source.find_last_of('/') + 1);
        if (is_url(source))
            name = name.substr(0, name.find_first_of("?#"));
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".zip") == 0)
            name.resize(name.size() - 4);
    }
    if (name.size() >= sizeof(release_ver) || has_control_bytes(name) ||
        !usable_release_name(name.c_str()))
        console::refuse("release name '" + printable(name) +
                        "' is not a usable file name; give --release NAME");
    if (has_control_bytes(source))
        console::refuse("the package " + printable(source) + " holds control characters");
    if (!is_url(source) && !file_exists(source))
        console::refuse("the package " + printable(source) + " does not exist");
    const std::string digest = vouched_digest(source, name, plat_sel);
    if (!is_url(source)) {
        std::string own;
        if (!package::read_digest("check_version", host::quote(source), own))
            return 1;
        if (!own.empty() && own.back() == '\n')
            own.pop_back();
        if (own != digest)
            console::refuse("the package " + printable(source) + " has the SHA-256 " +
                            printable(own) + ", not " + digest);
    }
    session_log::answer("release", name + " (package " + source + ")", "option");
    printf("Release package: %s\n", printable(without_credentials(source)).c_str());
    avail_ver ver{};
    snprintf(ver.ver_name, sizeof(ver.ver_name), "%s", name.c_str());
    snprintf(ver.sha256sum, sizeof(ver.sha256sum), "%s", digest.c_str());
    select_release(ver);
    return 0;
}

} // namespace

int check_version(void)
{
    const char *plat_sel = choose_platform();
    if (const std::string *source = answers::package_source())
        return take_package(*source, plat_sel);

    printf("\nChecking current versions of release ...\n");
    std::vector<avail_ver> avail_vers;
    if (int status = read_release_list(plat_sel, avail_vers))
        return status;

    offer(avail_vers);
    if (const std::string *given = answers::given(answers::Question::release))
        return take_given_release(*given, avail_vers);
    answers::can_ask_or_exit(answers::Question::release);
    for (;;) {
        char ans[8] = {};
        bool refused = false;
        prompt(avail_vers.size());
        if (!console::ask_word_or_exit(ans, sizeof(ans), "check_version", "image version"))
            continue;
        for (const avail_ver &ver : avail_vers) {
            if (ans[0] == '\0' || strcmp(ans, ver.ver_cmd) != 0)
                continue;
            // The name becomes a file and directory name under the target
            // directory; one that would reach outside it is not offered.
            if (!usable_release_name(ver.ver_name)) {
                printf("%sRelease name '%s' is not a usable file name, please pick another "
                       "version%s\n",
                       red, printable(ver.ver_name).c_str(), reset);
                refused = true;
                break;
            }
            session_log::answer("release", ver.ver_name, "terminal");
            select_release(ver);
            return 0;
        }
        if (!refused)
            printf("Unknown version '%s', please pick one from available versions\n", ans);
    }
}
