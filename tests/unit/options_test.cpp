// The command line's tables against their documentation: the manual page
// and the user's guide describe every option and every exit status of a
// run with commands, nothing else, and the statuses in the table's words.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/options.h"
#include "core/exit_status.h"

namespace {

std::string read_source_file(const std::string &relative)
{
    std::ifstream in(std::string(OSTRELLE_SOURCE_DIR) + "/" + relative);
    EXPECT_TRUE(in.good()) << relative;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The lines of the manual page's section `name`, up to the next .SH.
std::vector<std::string> man_section(const std::string &name)
{
    std::vector<std::string> section;
    bool inside = false;
    for (const std::string &line : lines_of(read_source_file("docs/ostrelle.1"))) {
        if (line.rfind(".SH ", 0) == 0) {
            inside = line == ".SH " + name;
            continue;
        }
        if (inside)
            section.push_back(line);
    }
    EXPECT_FALSE(section.empty()) << name;
    return section;
}

// One roff line as the reader sees it: a font macro's arguments joined (an
// alternating macro such as .BR joins them without blanks), quotes and
// font changes dropped, \- as -.
std::string roff_text(const std::string &line)
{
    std::string text = line;
    if (!line.empty() && line[0] == '.') {
        size_t blank = line.find(' ');
        std::string macro = line.substr(1, blank == std::string::npos ? blank : blank - 1);
        std::string rest = blank == std::string::npos ? "" : line.substr(blank + 1);
        bool alternating = macro.size() == 2;
        std::vector<std::string> args;
        std::string arg;
        bool quoted = false;
        bool started = false;
        for (char c : rest) {
            if (c == '"') {
                quoted = !quoted;
                started = true;
            } else if (c == ' ' && !quoted) {
                if (started)
                    args.push_back(arg);
                arg.clear();
                started = false;
            } else {
                arg += c;
                started = true;
            }
        }
        if (started)
            args.push_back(arg);
        text.clear();
        for (size_t i = 0; i < args.size(); i++)
            text += (i && !alternating ? " " : "") + args[i];
    }
    text = std::regex_replace(text, std::regex(R"(\\f[BIRP])"), "");
    text = std::regex_replace(text, std::regex(R"(\\-)"), "-");
    return text;
}

// The exit statuses of the table, by value, with their meanings.
std::map<int, std::string> status_table(void)
{
    std::map<int, std::string> table;
    for (const exit_status::Row &row : exit_status::rows)
        table[row.value] = row.meaning;
    return table;
}

// Whether each documented status is one of the table's and begins with
// its meaning, and each of the table's is documented.
void expect_statuses(const std::map<int, std::string> &documented, const char *where)
{
    std::map<int, std::string> table = status_table();
    for (const auto &[value, text] : documented) {
        auto row = table.find(value);
        if (row == table.end()) {
            ADD_FAILURE() << where << " documents exit status " << value << ", which no run has";
            continue;
        }
        EXPECT_EQ(text.substr(0, row->second.size()), row->second)
            << where << ", exit status " << value;
    }
    for (const auto &[value, meaning] : table)
        EXPECT_TRUE(documented.count(value)) << where << " lacks exit status " << value;
}

// The user's guide: the README, the pages of docs/ and the board-farm guide.
std::vector<std::string> guide_files(void)
{
    std::vector<std::string> files = {"README.md", "contrib/lava/README.md"};
    for (const auto &entry :
         std::filesystem::directory_iterator(std::string(OSTRELLE_SOURCE_DIR) + "/docs")) {
        if (entry.path().extension() == ".md")
            files.push_back("docs/" + entry.path().filename().string());
    }
    return files;
}

// The long options written on the program's own command lines in a
// Markdown text: code spans that begin with the program's name, and lines
// of code blocks from such a name on, with their continuation lines.
std::vector<std::string> options_on_command_lines(const std::string &text)
{
    static const std::regex program(R"((^|[ `;])(build/|/usr/bin/|/usr/local/bin/)?ostrelle )");
    static const std::regex long_option(R"(--([a-z][a-z0-9-]*))");
    std::vector<std::string> commands;
    bool in_block = false;
    bool in_command = false; // the line before was one of the program's command lines
    bool continues = false;  // ... and ended with a backslash
    for (const std::string &line : lines_of(text)) {
        if (line.rfind("```", 0) == 0) {
            in_block = !in_block;
            in_command = continues = false;
            continue;
        }
        std::smatch m;
        if (in_block) {
            size_t first = line.find_first_not_of(' ');
            bool indented_option =
                first != std::string::npos && first > 0 && line.compare(first, 2, "--") == 0;
            if (in_command && (continues || indented_option))
                commands.push_back(line);
            else if (std::regex_search(line, m, program))
                commands.push_back(line.substr(m.position(0)));
            else {
                in_command = continues = false;
                continue;
            }
            in_command = true;
            continues = !line.empty() && line.back() == '\\';
            continue;
        }
        static const std::regex span(R"(`(ostrelle [^`]*)`)");
        for (auto it = std::sregex_iterator(line.begin(), line.end(), span);
             it != std::sregex_iterator(); ++it)
            commands.push_back((*it)[1]);
    }
    std::vector<std::string> options;
    for (const std::string &command : commands) {
        // What follows a comment sign is not the command's.
        std::string words = command.substr(0, command.find(" #"));
        for (auto it = std::sregex_iterator(words.begin(), words.end(), long_option);
             it != std::sregex_iterator(); ++it)
            options.push_back((*it)[1]);
    }
    return options;
}

TEST(Options, ManualDescribesEveryOptionOnce)
{
    std::vector<std::string> described;
    std::vector<std::string> section = man_section("OPTIONS");
    static const std::regex long_option(R"(--([a-z][a-z0-9-]*))");
    for (size_t i = 0; i + 1 < section.size(); i++) {
        if (section[i] != ".TP")
            continue;
        std::string heading = roff_text(section[i + 1]);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(heading, m, long_option)) << heading;
        described.push_back(m[1]);
    }
    std::vector<std::string> table = options::option_names();
    std::sort(described.begin(), described.end());
    std::sort(table.begin(), table.end());
    EXPECT_EQ(described, table);
}

TEST(Options, GuideNamesOnlyOptionsThatExist)
{
    std::vector<std::string> table = options::option_names();
    std::string whole_guide;
    for (const std::string &file : guide_files()) {
        std::string text = read_source_file(file);
        whole_guide += text;
        for (const std::string &option : options_on_command_lines(text))
            EXPECT_TRUE(std::find(table.begin(), table.end(), option) != table.end())
                << file << " runs the program with --" << option << ", which it does not have";
    }
    for (const std::string &option : table) {
        EXPECT_TRUE(std::regex_search(whole_guide, std::regex("--" + option + "\\b")))
            << "the guide never names --" << option;
    }
    // The scan sees the commands of the guide, so the check above has
    // something to hold: the unattended example's options are found.
    std::vector<std::string> example = options_on_command_lines(read_source_file("README.md"));
    EXPECT_TRUE(std::find(example.begin(), example.end(), "password-file") != example.end());
}

TEST(ExitStatus, ManualAndGuideGiveEveryStatusInItsWords)
{
    std::map<int, std::string> manual;
    std::vector<std::string> section = man_section("EXIT STATUS");
    auto start = std::find_if(section.begin(), section.end(), [](const std::string &line) {
        return line.find("Runs with commands exit with:") != std::string::npos;
    });
    ASSERT_NE(start, section.end());
    static const std::regex status_heading(R"(\.B (\d+))");
    for (auto it = start; it != section.end(); ++it) {
        std::smatch m;
        if (*it != ".TP" || it + 1 == section.end() || !std::regex_match(it[1], m, status_heading))
            continue;
        std::string text;
        for (auto line = it + 2; line != section.end() && *line != ".TP" && *line != ".PP"; ++line)
            text += (text.empty() ? "" : " ") + roff_text(*line);
        manual[std::stoi(m[1])] = text;
    }
    expect_statuses(manual, "the manual page");

    std::map<int, std::string> guide;
    static const std::regex table_row(R"(\| (\d+) \| (.*) \|)");
    for (const std::string &line : lines_of(read_source_file("docs/unattended.md"))) {
        std::smatch m;
        if (std::regex_match(line, m, table_row))
            guide[std::stoi(m[1])] = m[2];
    }
    expect_statuses(guide, "docs/unattended.md");
}

TEST(Manual, RendersWithoutWarningsAndWithItsBlanks)
{
    if (system("command -v groff >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "groff is not installed here";
    std::string command = "groff -man -Tutf8 -ww -rLL=200n '" + std::string(OSTRELLE_SOURCE_DIR) +
                          "/docs/ostrelle.1' 2>&1 | col -bx";
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string rendered;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;)
        rendered.append(buffer, n);
    ASSERT_EQ(pclose(pipe), 0) << rendered;
    // groff's own complaints begin the line with the name of the part that
    // complains ("troff: ...:12: warning: ...").
    EXPECT_FALSE(std::regex_search(rendered, std::regex("(^|\n)[a-z]*roff:"))) << rendered;
    // A font macro given prose runs its words together; this sentence once
    // rendered as "nor has sudo),thesign-infailedthreetimes,".
    rendered = std::regex_replace(rendered, std::regex(" +"), " ");
    EXPECT_NE(rendered.find("neither root nor has sudo), the sign-in failed three times,"),
              std::string::npos)
        << rendered;
}

} // namespace
