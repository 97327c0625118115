// The list commands and the work commands of a run with commands.
#include "cli/unattended.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <json-c/json.h>
#include <string>
#include <vector>

#include "core/catalog.h"
#include "core/commands.h"
#include "core/exit_status.h"
#include "core/safe_text.h"
#include "core/state.h"
#include "flash/boards.h"
#include "host/answers.h"
#include "host/console.h"
#include "host/events.h"
#include "host/host.h"
#include "host/session_log.h"
#include "release/layout.h"
#include "release/resource_server.h"
#include "release/ver_list.h"
#include "setup/setup.h"
#include "utils/file.h"

namespace unattended {

namespace {

// The product named by --product; a missing or unknown one is refused.
const catalog::Product &wanted_product(const options::Options &opts)
{
    if (opts.product.empty())
        console::refuse("which product? give --product NAME");
    const catalog::Product *product = catalog::find_product(opts.product);
    if (!product)
        console::refuse(catalog::product_refusal(opts.product));
    return *product;
}

// The platform named by --platform for product; a missing one or one that
// does not fit is refused.
const catalog::Platform &wanted_platform(const options::Options &opts,
                                         const catalog::Product &product)
{
    if (opts.platform.empty())
        console::refuse("which platform? give --platform NAME (" +
                        catalog::platform_names(product) + ")");
    const catalog::Platform *platform = catalog::find_platform(product, opts.platform);
    if (!platform)
        console::refuse(catalog::platform_refusal(opts.platform, product.code));
    return *platform;
}

json_object *platform_array(const catalog::Product &product)
{
    json_object *list = json_object_new_array();
    for (const catalog::Platform &platform : product.platforms)
        json_object_array_add(list, json_object_new_string(platform.name));
    return list;
}

int list_products(bool json)
{
    if (json) {
        json_object *doc = json_object_new_array();
        for (const catalog::Product &product : catalog::products()) {
            json_object *entry = json_object_new_object();
            json_object_object_add(entry, "product", json_object_new_string(product.code));
            json_object_object_add(entry, "title", json_object_new_string(product.title));
            json_object_object_add(entry, "platforms", platform_array(product));
            json_object_array_add(doc, entry);
        }
        console::print_json(doc);
        return exit_status::ok;
    }
    for (const catalog::Product &product : catalog::products())
        printf("%-8s %-14s %s\n", product.code, product.title,
               catalog::platform_names(product).c_str());
    return exit_status::ok;
}

int list_platforms(const catalog::Product &product, bool json)
{
    if (json) {
        json_object *doc = json_object_new_object();
        json_object_object_add(doc, "product", json_object_new_string(product.code));
        json_object_object_add(doc, "platforms", platform_array(product));
        console::print_json(doc);
        return exit_status::ok;
    }
    for (const catalog::Platform &platform : product.platforms)
        printf("%s\n", platform.name);
    return exit_status::ok;
}

// Points s_product at the global constant of this product code.
void choose_product(const catalog::Product &product)
{
    for (const char *const *code :
         {&s_product_kt1, &s_product_kt2, &s_product_kt3gen2, &s_product_kt5, &s_product_kt5n,
          &s_product_kt6, &s_product_mx7200}) {
        if (strcmp(*code, product.code) == 0)
            s_product = *code;
    }
}

int list_releases(const catalog::Product &product, const catalog::Platform &platform, bool json)
{
    choose_product(product);
    char dir[] = "/tmp/ostrelle-list-XXXXXX";
    if (!mkdtemp(dir)) {
        perror("ostrelle: mkdtemp");
        return exit_status::failed;
    }
    struct Cleanup {
        const char *dir;
        ~Cleanup()
        {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
    } cleanup{dir};

    const std::string name = std::string(product.code) + platform.tag + config_filename;
    resource::List list = resource::fetch_list({.dir = std::string(dir) + "/",
                                                .dir_arg = host::quote(std::string(dir) + "/"),
                                                .file_name = name});
    switch (list.error) {
    case resource::ListError::none:
        break;
    case resource::ListError::cannot_remove:
    case resource::ListError::cannot_start:
    case resource::ListError::not_fetched:
        fprintf(stderr, "ostrelle: the release list %s could not be downloaded\n", name.c_str());
        resource::explain_list_failure(list, "release list");
        return exit_status::server;
    case resource::ListError::too_many_lines:
        fprintf(stderr, "ostrelle: the release list has more than %ld lines\n", list_max_lines);
        return exit_status::server;
    case resource::ListError::unreadable:
        fprintf(stderr, "ostrelle: the release list %s could not be read\n", name.c_str());
        return exit_status::server;
    }
    const std::vector<avail_ver> &vers = list.entries;
    if (json) {
        json_object *doc = json_object_new_object();
        json_object_object_add(doc, "product", json_object_new_string(product.code));
        json_object_object_add(doc, "platform", json_object_new_string(platform.name));
        json_object *releases = json_object_new_array();
        for (size_t i = 0; i < vers.size(); i++) {
            json_object *entry = json_object_new_object();
            json_object_object_add(entry, "name", json_object_new_string(vers[i].ver_name));
            json_object_object_add(entry, "sha256", json_object_new_string(vers[i].sha256sum));
            json_object_object_add(entry, "latest", json_object_new_boolean(i == 0));
            json_object_array_add(releases, entry);
        }
        json_object_object_add(doc, "releases", releases);
        console::print_json(doc);
        return exit_status::ok;
    }
    for (size_t i = 0; i < vers.size(); i++)
        printf("%s  %s%s\n", printable(vers[i].ver_name).c_str(),
               printable(vers[i].sha256sum).c_str(), i == 0 ? "  (latest)" : "");
    return exit_status::ok;
}

// The results of the work commands in order; fewer than the commands when
// the run stopped early.
std::vector<bool> results;
const char *stop_stage = nullptr;

} // namespace

void stopped_at(const char *stage)
{
    stop_stage = stage;
}

void print_result_line(const options::Options &opts, int status)
{
    // With --json the result is the stream's last event instead.
    if (events::on()) {
        std::vector<std::pair<std::string, std::string>> commands;
        for (size_t i = 0; i < opts.commands.size(); i++)
            commands.emplace_back(options::command_name(opts.commands[i]),
                                  i < results.size() ? (results[i] ? "pass" : "fail") : "not run");
        events::result(status, stop_stage, commands, events::last_failure());
        return;
    }
    json_object *doc = json_object_new_object();
    json_object_object_add(doc, "status", json_object_new_int(status));
    if (stop_stage)
        json_object_object_add(doc, "stopped_at", json_object_new_string(stop_stage));
    json_object *commands = json_object_new_array();
    for (size_t i = 0; i < opts.commands.size(); i++) {
        json_object *entry = json_object_new_object();
        json_object_object_add(entry, "command",
                               json_object_new_string(options::command_name(opts.commands[i])));
        const char *result = i < results.size() ? (results[i] ? "pass" : "fail") : "not run";
        json_object_object_add(entry, "result", json_object_new_string(result));
        json_object_array_add(commands, entry);
    }
    json_object_object_add(doc, "commands", commands);
    // A plain JSON document is one line: every control byte inside its
    // strings is escaped, so nothing in it can end the line early.
    printf("ostrelle-result: %s\n",
           json_text(json_object_to_json_string_ext(doc, JSON_C_TO_STRING_PLAIN |
                                                             JSON_C_TO_STRING_NOSLASHESCAPE))
               .c_str());
    fflush(stdout);
    json_object_put(doc);
}

int run_list(const options::Options &opts, options::Command command)
{
    if (command == options::Command::list_products)
        return list_products(opts.json);
    if (command == options::Command::boards)
        return boards::print_inventory(opts.json);
    const catalog::Product &product = wanted_product(opts);
    if (command == options::Command::list_platforms)
        return list_platforms(product, opts.json);
    return list_releases(product, wanted_platform(opts, product), opts.json);
}

void check_command_line(const options::Options &opts)
{
    std::vector<std::string> problems;
    // Product and platform against the catalog, as the list commands check
    // them: a name that cannot work is found before any sign-in.
    const catalog::Product *product = nullptr;
    const catalog::Platform *platform = nullptr;
    if (!opts.product.empty()) {
        product = catalog::find_product(opts.product);
        if (!product)
            problems.push_back(catalog::product_refusal(opts.product));
    }
    if (product && !opts.platform.empty()) {
        platform = catalog::find_platform(*product, opts.platform);
        if (!platform)
            problems.push_back(catalog::platform_refusal(opts.platform, product->code));
    } else if (product && product->platforms.size() == 1) {
        platform = &product->platforms[0];
    }
    bool toolchain = false;
    for (options::Command command : opts.commands)
        toolchain = toolchain || command == options::Command::toolchain;
    if (toolchain && platform && platform->platform == 1)
        problems.push_back(host::format("the toolchain command is for LE platforms, and %s runs %s",
                                        product->code, platform->name));

    // Every question the set-up will ask that no option answers, when
    // nothing may ask them on the terminal.
    if (!answers::terminal_answers()) {
        std::vector<std::string> missing;
        if (opts.email.empty())
            missing.emplace_back(answers::option_for(answers::Question::email));
        if (opts.password_file.empty())
            missing.emplace_back(answers::option_for(answers::Question::password));
        if (opts.target.empty()) {
            std::string stored = stored_target_path();
            if (stored.empty())
                missing.emplace_back(answers::option_for(answers::Question::target));
            else if (!opts.yes)
                missing.push_back(std::string(answers::option_for(answers::Question::target)) +
                                  " (or --yes for the stored " + printable(stored) + ")");
        }
        if (opts.product.empty())
            missing.emplace_back(answers::option_for(answers::Question::product));
        else if (product && !platform && opts.platform.empty())
            missing.push_back(std::string(answers::option_for(answers::Question::platform)) + " (" +
                              catalog::platform_names(*product) + ")");
        if (opts.release.empty() && opts.package.empty())
            missing.push_back(std::string(answers::option_for(answers::Question::release)) +
                              " (or latest)");
        if (!missing.empty()) {
            std::string list;
            for (size_t i = 0; i < missing.size(); i++) {
                if (i > 0)
                    list += i + 1 == missing.size() ? " and " : ", ";
                list += missing[i];
            }
            problems.insert(problems.begin(),
                            std::string(opts.no_input ? "--no-input was given"
                                                      : "standard input is not a terminal") +
                                ", so nothing may ask what these options answer: give " + list);
        }
    }
    if (problems.empty())
        return;
    std::string text;
    for (const std::string &problem : problems)
        text += (text.empty() ? "" : "; ") + problem;
    console::refuse(text);
}

int run_commands(const options::Options &opts)
{
    // Several boards and none named: refused before any command runs, so a
    // download is not made for nothing.
    for (options::Command command : opts.commands) {
        if (command == options::Command::flash && opts.boards.empty() && !opts.all_boards &&
            !boards::choice_is_clear())
            return exit_status::usage;
    }
    for (options::Command command : opts.commands) {
        const char *name = options::command_name(command);
        int result = 1;
        switch (command) {
        case options::Command::download:
            result = sdk_make_sys_helper();
            break;
        case options::Command::flash:
            result = boards::flash_command(opts.boards, opts.all_boards, opts.only);
            break;
        case options::Command::toolchain:
            if (layout::is_lu()) {
                printf("The SDK toolchain is for the LE platform only\n");
                result = 1;
            } else {
                result = sdk_le_toolchain(0, nullptr);
            }
            break;
        default:
            break;
        }
        results.push_back(result == 0);
        session_log::note(std::string("command ") + name + ": " + (result == 0 ? "ok" : "failed"));
        if (result != 0) {
            fflush(stdout);
            fprintf(stderr, "ostrelle: %s failed\n", name);
            if (events::last_failure().empty())
                events::failure(std::string(name) + " failed");
            // The board farm's statuses pass through; every other failure is 1.
            switch (result) {
            case exit_status::no_board:
            case exit_status::not_booted:
            case exit_status::board_busy:
                return result;
            default:
                return exit_status::failed;
            }
        }
    }
    return exit_status::ok;
}

} // namespace unattended
