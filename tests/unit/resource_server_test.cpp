// Certificate options of the wget lines, the causes named after a failed
// fetch, the judgement of a fetched list, and the one list fetch with its
// typed failures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/state.h"
#include "release/resource_server.h"
#include "support/fake_runner.h"
#include "support/stdio_capture.h"
#include "support/temp_dir.h"

using testing_support::FakeRunner;
using testing_support::StdoutCapture;
using testing_support::TempDir;

namespace {

std::string explained(int status, const std::string &url)
{
    StdoutCapture cap;
    resource::explain_failure(status, url);
    return cap.text();
}

// Sets OSTRELLE_CA_FILE (or removes it, for nullptr) for one test.
class CaFileEnv {
  public:
    explicit CaFileEnv(const char *value)
    {
        if (const char *old = getenv("OSTRELLE_CA_FILE"))
            saved_ = old;
        had_ = getenv("OSTRELLE_CA_FILE") != nullptr;
        if (value)
            setenv("OSTRELLE_CA_FILE", value, 1);
        else
            unsetenv("OSTRELLE_CA_FILE");
    }
    ~CaFileEnv()
    {
        if (had_)
            setenv("OSTRELLE_CA_FILE", saved_.c_str(), 1);
        else
            unsetenv("OSTRELLE_CA_FILE");
    }

  private:
    std::string saved_;
    bool had_ = false;
};

} // namespace

TEST(Certificates, VerifiedByDefaultWithAnOptionalAuthorityFile)
{
    EXPECT_EQ(resource::tls_options_for(true, ""), "");
    EXPECT_EQ(resource::tls_options_for(true, "/etc/lab/ca.pem"),
              " --ca-certificate=/etc/lab/ca.pem");
    EXPECT_EQ(resource::tls_options_for(true, "/lab ca/it's.pem"),
              " --ca-certificate='/lab ca/it'\\''s.pem'");
    // A build without verification gives back the old option, whatever the file.
    EXPECT_EQ(resource::tls_options_for(false, "/etc/lab/ca.pem"), " --no-check-certificate");
}

TEST(Certificates, EnvironmentOverridesTheCompiledFile)
{
    {
        CaFileEnv env("/run/ca.pem");
        EXPECT_EQ(resource::ca_file(), "/run/ca.pem");
    }
    {
        // Set but empty: the system's authorities alone.
        CaFileEnv env("");
        EXPECT_EQ(resource::ca_file(), "");
    }
    CaFileEnv env(nullptr);
    EXPECT_EQ(resource::ca_file(), compiled_ca_file);
}

TEST(Certificates, AnAuthorityFileOthersCouldChangeIsRefused)
{
    TempDir dir;
    dir.write("ca.pem", "-----BEGIN CERTIFICATE-----\n");
    const std::string file = dir.file("ca.pem");
    CaFileEnv env(file.c_str());
    chmod(file.c_str(), 0644);
    EXPECT_EQ(resource::ca_file_refusal(file), "");
    EXPECT_EQ(resource::tls_options(),
              tls_verify ? " --ca-certificate=" + file : " --no-check-certificate");
    chmod(file.c_str(), 0666);
    EXPECT_EQ(resource::ca_file_refusal(file), "others may write it");
    EXPECT_EQ(resource::tls_options(), tls_verify ? "" : " --no-check-certificate");
    if (tls_verify) {
        EXPECT_EQ(resource::trust_notice(),
                  "The certificate authority file " + file + " is not used: others may write it");
        EXPECT_NE(explained(5, "https://h/x")
                      .find("named by OSTRELLE_CA_FILE is not used, others "
                            "may write it"),
                  std::string::npos);
    }
    // Another user's file (only root can make one here).
    chmod(file.c_str(), 0644);
    if (geteuid() == 0 && chown(file.c_str(), 65534, 65534) == 0) {
        EXPECT_EQ(resource::ca_file_refusal(file), "it belongs to another user (uid 65534)");
    }
}

TEST(FetchFailure, CauseAndUrlWithoutCredentials)
{
    CaFileEnv system_authorities("");
    EXPECT_EQ(explained(0, "https://h/x"), "");
    EXPECT_EQ(explained(-1, "https://h/x"), "");
    EXPECT_EQ(explained(5, "https://ana:pw@mirror.lab:8443/uploads/a.zip"),
              "Fetching https://mirror.lab:8443/uploads/a.zip failed: the certificate of "
              "mirror.lab:8443 is not trusted (exit status 5); for a lab mirror with its own "
              "certificate authority set OSTRELLE_CA_FILE to that authority's certificate\n");
    if (tls_verify) {
        CaFileEnv env("/nonexistent/lab-ca.pem");
        EXPECT_EQ(explained(5, "https://h/a"),
                  "Fetching https://h/a failed: the certificate of h is not trusted (exit status "
                  "5): the certificate authority file /nonexistent/lab-ca.pem named by "
                  "OSTRELLE_CA_FILE cannot be read\n");
    }
    EXPECT_EQ(explained(4, "https://h/l.txt"),
              "Fetching https://h/l.txt failed: network failure, the server could not be reached "
              "(exit status 4)\n");
    EXPECT_EQ(explained(8, "https://h/\x1b]0;x\x07.zip"),
              "Fetching https://h/\\x1b]0;x\\x07.zip failed: the server answered with an error, "
              "such as file not found (exit status 8)\n");
    EXPECT_EQ(explained(130, "http://h/a"),
              "Fetching http://h/a failed: wget was ended by signal 2\n");
    EXPECT_EQ(explained(1, "http://h/a"),
              "Fetching http://h/a failed: wget failed (exit status 1)\n");
}

TEST(ListFetch, FailedOrOversizedListsAreDeleted)
{
    TempDir dir;
    const std::string path = dir.file("l.txt");
    dir.write("l.txt", "r1 abc\n");
    EXPECT_EQ(resource::judge_list(0, path), resource::ListFetch::ok);
    EXPECT_EQ(resource::judge_list(-1, path), resource::ListFetch::ok);
    EXPECT_TRUE(dir.exists("l.txt"));
    // wget failed part way: what it left is not used.
    EXPECT_EQ(resource::judge_list(4, path), resource::ListFetch::failed);
    EXPECT_FALSE(dir.exists("l.txt"));
    EXPECT_EQ(resource::judge_list(8, path), resource::ListFetch::failed);

    dir.write("l.txt", std::string(resource::list_max_bytes, '\n'));
    EXPECT_EQ(resource::judge_list(0, path), resource::ListFetch::ok);
    dir.write("l.txt", std::string(resource::list_max_bytes + 1, '\n'));
    EXPECT_EQ(resource::judge_list(0, path), resource::ListFetch::too_large);
    EXPECT_FALSE(dir.exists("l.txt"));
    // Ended by the file-size limit (SIGXFSZ).
    dir.write("l.txt", "r1");
    EXPECT_EQ(resource::judge_list(153, path), resource::ListFetch::too_large);
    EXPECT_FALSE(dir.exists("l.txt"));

    StdoutCapture cap;
    resource::explain_list_failure(resource::ListFetch::too_large, 153, "https://h/l.txt",
                                   "release list");
    EXPECT_EQ(cap.text(), "The release list from https://h/l.txt is larger than 1 MiB: refused "
                          "and deleted\n");
}

// The list fetch through the fake runner, which plays wget: it leaves
// listed (when set) where the fetch would, and exits with wget_status.
struct FetchedList {
    TempDir dir;
    FakeRunner fake;
    std::string listed;
    bool leave_file = true;

    explicit FetchedList(std::string text) : listed(std::move(text))
    {
        fake.on_call = [this](const FakeRunner::Call &call) {
            if (leave_file && call.cmd.find("wget ") != std::string::npos)
                dir.write("l.txt", listed);
        };
    }
    resource::List fetch(resource::ListSource::Run run = resource::ListSource::Run::pipe)
    {
        return resource::fetch_list(
            {.dir = dir.slash(), .dir_arg = dir.slash(), .file_name = "l.txt", .run = run});
    }
};

TEST(ListFetch, LinesOrATypedFailure)
{
    const char *saved_product = s_product;
    s_product = s_product_kt1;
    {
        SCOPED_TRACE("read, after the stale copy is removed");
        FetchedList f("r2 aa\nr1   bb\n");
        f.dir.write("l.txt", "stale\n");
        resource::List list = f.fetch();
        EXPECT_EQ(list.error, resource::ListError::none);
        ASSERT_EQ(list.entries.size(), 2u);
        EXPECT_STREQ(list.entries[1].ver_cmd, "2");
        EXPECT_STREQ(list.entries[1].ver_name, "r1");
        EXPECT_STREQ(list.entries[1].sha256sum, "bb");
        ASSERT_EQ(f.fake.calls().size(), 2u);
        EXPECT_EQ(f.fake.calls()[0].cmd, "rm " + f.dir.file("l.txt"));
        EXPECT_EQ(f.fake.calls()[1].kind, FakeRunner::Kind::read);
        EXPECT_TRUE(f.dir.exists("l.txt"));
    }
    {
        SCOPED_TRACE("without a line feed: a list without entries");
        FetchedList f("r1 aa");
        resource::List list = f.fetch(resource::ListSource::Run::system);
        EXPECT_EQ(list.error, resource::ListError::none);
        EXPECT_TRUE(list.entries.empty());
        EXPECT_EQ(f.fake.calls().back().kind, FakeRunner::Kind::system);
    }
    {
        SCOPED_TRACE("the stale copy cannot be removed");
        FetchedList f("r1 aa\n");
        f.dir.write("l.txt", "stale\n");
        f.fake.push_read_cannot_start();
        EXPECT_EQ(f.fetch().error, resource::ListError::cannot_remove);
        EXPECT_EQ(f.fake.calls().size(), 1u);
    }
    {
        SCOPED_TRACE("the fetch cannot start, through a pipe or the shell");
        FetchedList f("r1 aa\n");
        f.leave_file = false;
        f.fake.push_read_cannot_start();
        EXPECT_EQ(f.fetch().error, resource::ListError::cannot_start);
        f.fake.push_system(-1);
        EXPECT_EQ(f.fetch(resource::ListSource::Run::system).error,
                  resource::ListError::cannot_start);
    }
    {
        SCOPED_TRACE("wget failed part way: what it left is deleted and the cause told");
        FetchedList f("r1 a");
        host::Reply failed;
        failed.outcome = host::Outcome::no_line;
        failed.status = 8;
        f.fake.push_read(failed);
        resource::List list = f.fetch();
        EXPECT_EQ(list.error, resource::ListError::not_fetched);
        EXPECT_FALSE(f.dir.exists("l.txt"));
        StdoutCapture cap;
        resource::explain_list_failure(list, "release list");
        EXPECT_EQ(cap.text(), "Fetching https://127.0.0.1:8443/uploads/web/ostrelle/kt1/sdk/l.txt "
                              "failed: the server answered with an error, such as file not found "
                              "(exit status 8)\n");
    }
    {
        SCOPED_TRACE("over the byte bound: deleted, and told so");
        FetchedList f(std::string(resource::list_max_bytes + 1, '\n'));
        resource::List list = f.fetch();
        EXPECT_EQ(list.error, resource::ListError::not_fetched);
        EXPECT_EQ(list.judged, resource::ListFetch::too_large);
        EXPECT_FALSE(f.dir.exists("l.txt"));
    }
    {
        SCOPED_TRACE("over the line bound: deleted");
        std::string lines;
        for (long n = 0; n <= list_max_lines; n++)
            lines += "r s\n";
        FetchedList f(lines);
        resource::List list = f.fetch();
        EXPECT_EQ(list.error, resource::ListError::too_many_lines);
        EXPECT_TRUE(list.entries.empty());
        EXPECT_FALSE(f.dir.exists("l.txt"));
        StdoutCapture cap;
        resource::explain_list_failure(list, "release list");
        EXPECT_EQ(cap.text(), "");
    }
    s_product = saved_product;
}
