// OS services layer: calendar conversion, bounded copies, paths, whole-file
// reads and writes, state directories and program execution.
#include "utils/os.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/temp_dir.h"
#include "utils/file.h"

using testing_support::TempDir;

namespace {

namespace fs = std::filesystem;

// Sets an environment variable for the scope.
struct EnvGuard {
    std::string name;
    const char *old;
    std::string saved;
    EnvGuard(const char *n, const char *value) : name(n), old(getenv(n))
    {
        if (old)
            saved = old;
        setenv(n, value, 1);
        tzset();
    }
    ~EnvGuard()
    {
        old ? setenv(name.c_str(), saved.c_str(), 1) : unsetenv(name.c_str());
        tzset();
    }
};

const std::string argv_tool = std::string(OSTRELLE_TEST_TOOL_DIR) + "/testtool_argv_dump";

// Runs program through os_exec (waiting) and returns the argument vector the
// argv helper received, empty when it never ran.
std::vector<std::string> exec_argv(const TempDir &dir, const char *program, const char *arg)
{
    fs::path out = dir.file("argv");
    fs::remove(out);
    EnvGuard env("OSTRELLE_ARGV_FILE", out.c_str());
    fflush(nullptr);
    EXPECT_EQ(0, os_exec(program, arg, 1));
    std::vector<std::string> args;
    std::ifstream in(out);
    for (std::string line; std::getline(in, line);)
        args.push_back(line);
    return args;
}

} // namespace

TEST(OsTime, MktimeIsUtcInAnyZone)
{
    for (const char *zone : {"UTC0", "XYZ-5", "XYZ+7:30"}) {
        EnvGuard tz("TZ", zone);
        os_time_t t = -1;
        ASSERT_EQ(0, os_mktime(1970, 1, 1, 0, 0, 0, &t)) << zone;
        EXPECT_EQ(0, t) << zone;
        ASSERT_EQ(0, os_mktime(2024, 2, 29, 12, 34, 56, &t)) << zone;
        EXPECT_EQ(1709210096, t) << zone;
        ASSERT_EQ(0, os_mktime(1970, 1, 1, 0, 0, 60, &t)) << zone; // leap second accepted
        EXPECT_EQ(60, t) << zone;
    }
}

TEST(OsTime, MktimeRejectsOutOfRangeFieldsAndLeavesResult)
{
    const int bad[][6] = {{1969, 1, 1, 0, 0, 0},  {1970, 0, 1, 0, 0, 0},  {1970, 13, 1, 0, 0, 0},
                          {1970, 1, 0, 0, 0, 0},  {1970, 1, 32, 0, 0, 0}, {1970, 1, 1, -1, 0, 0},
                          {1970, 1, 1, 24, 0, 0}, {1970, 1, 1, 0, 60, 0}, {1970, 1, 1, 0, -1, 0},
                          {1970, 1, 1, 0, 0, 61}, {1970, 1, 1, 0, 0, -1}};
    for (const auto &f : bad) {
        os_time_t t = 12345;
        EXPECT_EQ(-1, os_mktime(f[0], f[1], f[2], f[3], f[4], f[5], &t)) << &f - bad;
        EXPECT_EQ(12345, t);
    }
}

TEST(OsString, StrlcpyCutsAndReportsSourceLength)
{
    char buf[8];
    memset(buf, 'Z', sizeof(buf));
    EXPECT_EQ(6u, os_strlcpy(buf, "abcdef", 4));
    EXPECT_STREQ("abc", buf);
    EXPECT_EQ('Z', buf[4]); // nothing past the given size
    memset(buf, 'Z', sizeof(buf));
    EXPECT_EQ(6u, os_strlcpy(buf, "abcdef", 0));
    EXPECT_EQ('Z', buf[0]);
    EXPECT_EQ(3u, os_strlcpy(buf, "abc", 4)); // exact fit
    EXPECT_STREQ("abc", buf);

    unsigned char a[64] = {}, b[64] = {};
    EXPECT_EQ(0, os_memcmp_const(a, b, sizeof(a)));
    b[63] = 1;
    EXPECT_NE(0, os_memcmp_const(a, b, sizeof(a)));
}

TEST(OsPath, Rel2AbsPathJoinsWorkingDirectoryUpToItsLimit)
{
    EXPECT_EQ(nullptr, os_rel2abs_path(nullptr));
    char *abs = os_rel2abs_path("/etc");
    EXPECT_STREQ("/etc", abs);
    free(abs);

    // A working directory that needs the third buffer size still works...
    TempDir dir;
    fs::path deep = dir.path();
    while (deep.native().size() < 600)
        deep /= std::string(100, 'd');
    fs::create_directories(deep);
    fs::current_path(deep);
    abs = os_rel2abs_path("x");
    EXPECT_STREQ((deep.native() + "/x").c_str(), abs);
    free(abs);

    // ...one longer than the largest buffer (1024 bytes) gives up.
    while (deep.native().size() < 1100)
        deep /= std::string(100, 'e');
    fs::create_directories(deep);
    fs::current_path(deep);
    EXPECT_EQ(nullptr, os_rel2abs_path("x"));
}

TEST(OsFile, ReadfileMissingEmptyAndSmall)
{
    TempDir dir;
    size_t len = 99;
    EXPECT_EQ(nullptr, os_readfile(dir.file("missing").c_str(), &len));
    EXPECT_EQ(0, os_file_exists(dir.file("missing").c_str()));

    std::ofstream(dir.file("empty")).close();
    char *buf = os_readfile(dir.file("empty").c_str(), &len);
    EXPECT_NE(nullptr, buf);
    EXPECT_EQ(0u, len);
    free(buf);

    const char data[] = "line one\n\0binary\xff";
    std::ofstream(dir.file("small"), std::ios::binary).write(data, sizeof(data) - 1);
    buf = os_readfile(dir.file("small").c_str(), &len);
    ASSERT_NE(nullptr, buf);
    ASSERT_EQ(sizeof(data) - 1, len);
    EXPECT_EQ(0, memcmp(data, buf, len));
    free(buf);
}

TEST(OsExec, SplitsArgumentsAtSpacesWithoutQuotingOrPathSearch)
{
    TempDir dir;
    using V = std::vector<std::string>;
    const char *tool = argv_tool.c_str();
    EXPECT_EQ((V{argv_tool, "a", "b"}), exec_argv(dir, tool, "  a   b"));
    EXPECT_EQ((V{argv_tool, "'x", "y'"}), exec_argv(dir, tool, "'x y' "));
    EXPECT_EQ((V{argv_tool}), exec_argv(dir, tool, ""));

    std::string many;
    V expected{argv_tool};
    for (int i = 1; i <= 35; i++) {
        many += "w" + std::to_string(i) + " ";
        if (i <= 29)
            expected.push_back("w" + std::to_string(i));
    }
    EXPECT_EQ(expected, exec_argv(dir, tool, many.c_str()));

    // A bare name is not looked up on PATH: the child reports and ends.
    EnvGuard path("PATH", OSTRELLE_TEST_TOOL_DIR);
    fs::current_path(dir.path());
    EXPECT_EQ(V{}, exec_argv(dir, "testtool_argv_dump", "a"));
}

TEST(OsFile, WriteAllDeliversEveryByteAndReportsAFailedWrite)
{
    // More than a pipe holds at once, read by a child while it is written:
    // the short writes are carried on until all of it is through.
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    std::string data(300000, 'x');
    for (size_t i = 0; i < data.size(); i += 7)
        data[i] = static_cast<char>('a' + i % 26);
    TempDir dir;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[1]);
        FILE *out = fopen(dir.file("got").c_str(), "wb");
        char buf[4096];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof(buf))) > 0)
            fwrite(buf, 1, static_cast<size_t>(n), out);
        fclose(out);
        _exit(0);
    }
    close(fds[0]);
    EXPECT_TRUE(write_all(fds[1], data.data(), data.size()));
    close(fds[1]);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    std::ifstream got(dir.file("got"), std::ios::binary);
    std::stringstream text;
    text << got.rdbuf();
    EXPECT_EQ(data, text.str());

    // No reader left: false, with the cause in errno.
    ASSERT_EQ(0, pipe(fds));
    close(fds[0]);
    void (*old)(int) = signal(SIGPIPE, SIG_IGN);
    errno = 0;
    EXPECT_FALSE(write_all(fds[1], "abc", 3));
    EXPECT_EQ(EPIPE, errno);
    signal(SIGPIPE, old);
    close(fds[1]);
}

TEST(OsFile, ReadRegularTakesPlainFilesUpToTheLimitOnly)
{
    TempDir dir;
    std::string text = "stale", why;
    dir.write("ten", "0123456789");
    EXPECT_TRUE(read_regular(dir.file("ten"), 10, text, why));
    EXPECT_EQ("0123456789", text);
    EXPECT_FALSE(read_regular(dir.file("ten"), 9, text, why));
    EXPECT_EQ("it is larger than 9 bytes", why);

    fs::create_symlink(dir.file("ten"), dir.file("link"));
    EXPECT_FALSE(read_regular(dir.file("link"), 100, text, why));
    EXPECT_EQ("it is a symbolic link", why);
    EXPECT_EQ(-1, open_regular(dir.file("link"), why));

    // A FIFO with no writer is refused at once rather than waited on.
    ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0600));
    EXPECT_FALSE(read_regular(dir.file("fifo"), 100, text, why));
    EXPECT_EQ("it is not a regular file", why);
    EXPECT_FALSE(read_regular(dir.path(), 100, text, why));
    EXPECT_EQ("it is not a regular file", why);

    EXPECT_FALSE(read_regular(dir.file("missing"), 100, text, why));
    EXPECT_EQ(strerror(ENOENT), why);

    int fd = open_regular(dir.file("ten"), why);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    close(fd);
}

TEST(OsFile, StateDirPrefersAnAbsoluteXdgStateHomeThenHome)
{
    {
        EnvGuard state("XDG_STATE_HOME", "/s");
        EnvGuard home("HOME", "/h");
        EXPECT_EQ("/s/ostrelle/logs", state_dir("logs"));
    }
    {
        EnvGuard state("XDG_STATE_HOME", "relative");
        EnvGuard home("HOME", "/h");
        EXPECT_EQ("/h/.local/state/ostrelle/boards", state_dir("boards"));
    }
    {
        EnvGuard state("XDG_STATE_HOME", "");
        EnvGuard home("HOME", "h");
        EXPECT_EQ("", state_dir("boards"));
    }
}

TEST(OsFile, MakeAndOpenDirMakesTheParentsAndOpensNoLink)
{
    TempDir dir;
    bool created = false;
    std::string why;
    int fd = make_and_open_dir(dir.file("a/b/c"), 0700, created, why);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(created);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    close(fd);
    EXPECT_EQ(fs::perms::owner_all, fs::status(dir.file("a/b")).permissions() & fs::perms::all);

    fd = make_and_open_dir(dir.file("a/b/c"), 0700, created, why);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(created);
    close(fd);

    fs::create_directory_symlink(dir.file("a/b/c"), dir.file("link"));
    EXPECT_EQ(-1, make_and_open_dir(dir.file("link"), 0700, created, why));
    EXPECT_EQ("it is not a directory (a symbolic link?)", why);
    dir.write("plain", "x");
    EXPECT_EQ(-1, make_and_open_dir(dir.file("plain/sub"), 0700, created, why));
    EXPECT_EQ(strerror(ENOTDIR), why);
}
