// Event loop: descriptor dispatch, timeout ordering and arithmetic, stop
// requests and signals. The loop is a process-wide global, so every test
// starts it with eloop_init and ends it with eloop_destroy.
#include "utils/eloop.h"

#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// A pipe whose read end is readable (one byte waiting) when asked.
struct Pipe {
    int fd[2] = {-1, -1};
    explicit Pipe(bool readable = false)
    {
        if (pipe(fd) != 0 || (readable && write(fd[1], "x", 1) != 1))
            abort();
    }
    ~Pipe() { close(fd[0]), close(fd[1]); }
};

// What the callbacks saw, in order.
std::vector<std::string> events;

class Eloop : public ::testing::Test {
  protected:
    void SetUp() override
    {
        events.clear();
        ASSERT_EQ(0, eloop_init());
        alarm(60); // a hung loop fails the test instead of stalling the run
    }
    void TearDown() override
    {
        alarm(0);
        eloop_destroy();
    }
};

void record_timeout(void *eloop_data, void *)
{
    events.push_back("t" + std::to_string(reinterpret_cast<intptr_t>(eloop_data)));
}

void other_timeout(void *, void *) {}

// A descriptor registration: records its name when called and optionally
// acts on the loop. Registered with the record as first context and its
// stop_after field as second, so swapped contexts show.
struct Reader {
    std::string name;
    int unregister = -1;   // descriptor to drop from the read table when called
    size_t stop_after = 0; // stop the loop once this many events exist
};

void record_sock(int, void *eloop_data, void *user_data)
{
    Reader *r = static_cast<Reader *>(eloop_data);
    ASSERT_EQ(&r->stop_after, user_data);
    events.push_back(r->name);
    if (r->unregister >= 0)
        eloop_unregister_read_sock(r->unregister);
    if (r->stop_after && events.size() >= r->stop_after)
        eloop_terminate();
}

int reg(int sock, eloop_event_type type, Reader &r)
{
    return eloop_register_sock(sock, type, record_sock, &r, &r.stop_after);
}

long long usecs(const struct os_reltime &t)
{
    return t.sec * 1000000LL + t.usec;
}

} // namespace

TEST_F(Eloop, RunReturnsAtOnceWhenNothingIsOrCanBeRegistered)
{
    eloop_run();
    Reader r{"r"};
    // The select sets hold descriptors 0..1023 only; refusals change nothing.
    EXPECT_EQ(-1, reg(1024, EVENT_TYPE_READ, r));
    EXPECT_EQ(-1, reg(5000, EVENT_TYPE_WRITE, r));
    EXPECT_EQ(-1, reg(3, static_cast<eloop_event_type>(3), r));
    EXPECT_EQ(0, reg(1023, EVENT_TYPE_EXCEPTION, r));
    eloop_unregister_sock(1023, EVENT_TYPE_EXCEPTION);
    eloop_run();
    EXPECT_TRUE(events.empty());
    EXPECT_DEATH(reg(-1, EVENT_TYPE_READ, r), "sock >= 0");
}

// Reader that stops the loop right after the timeout "t1000" has fired.
void read_until_late(int, void *, void *)
{
    events.push_back("r");
    if (events.size() > 1 && events[events.size() - 2] == "t1000")
        eloop_terminate();
}

TEST_F(Eloop, DueTimeoutsFireOnePerIterationInRegistrationOrder)
{
    // Registered first but expiring last.
    ASSERT_EQ(0, eloop_register_timeout(0, 20000, record_timeout, (void *)1000, nullptr));
    // Back-to-back registrations often share a clock reading; equal expiry
    // must keep registration order.
    const int n = 200;
    for (intptr_t i = 0; i < n; i++)
        ASSERT_EQ(0, eloop_register_timeout(0, 0, record_timeout, (void *)i, nullptr));
    // Always readable, so it shows every iteration.
    Pipe p(true);
    ASSERT_EQ(0, eloop_register_read_sock(p.fd[0], read_until_late, nullptr, nullptr));
    eloop_run();

    ASSERT_GE(events.size(), size_t(2 * n + 2));
    for (int i = 0; i < n; i++) {
        ASSERT_EQ("t" + std::to_string(i), events[2 * i]) << "at " << i;
        ASSERT_EQ("r", events[2 * i + 1]) << "at " << i;
    }
    EXPECT_EQ("t1000", events[events.size() - 2]);
}

TEST_F(Eloop, MicrosecondsCarryIntoSeconds)
{
    ASSERT_EQ(0, eloop_register_timeout(0, 7500000, record_timeout, (void *)1, nullptr));
    ASSERT_EQ(0, eloop_register_timeout(2, 3999999, record_timeout, (void *)2, nullptr));
    struct os_reltime left;
    for (intptr_t which : {1, 2}) {
        long long expected = which == 1 ? 7500000 : 5999999;
        ASSERT_EQ(1, eloop_cancel_timeout_one(record_timeout, (void *)which, nullptr, &left));
        EXPECT_TRUE(left.usec >= 0 && left.usec <= 999999) << left.usec;
        EXPECT_LE(usecs(left), expected);
        EXPECT_GT(usecs(left), expected - 5000000); // slack for a slow machine
    }
    left = {9, 9};
    EXPECT_EQ(0, eloop_cancel_timeout_one(record_timeout, (void *)1, nullptr, &left));
    EXPECT_EQ(0, usecs(left));
}

TEST_F(Eloop, CancelMatchesHandlerAndContextsWithWildcards)
{
    int a, b;
    ASSERT_EQ(0, eloop_register_timeout(10, 0, record_timeout, &a, &a));
    ASSERT_EQ(0, eloop_register_timeout(10, 0, record_timeout, &a, &b));
    ASSERT_EQ(0, eloop_register_timeout(10, 0, record_timeout, &b, &b));
    ASSERT_EQ(0, eloop_register_timeout(10, 0, other_timeout, &a, &a));
    // Only cancel takes the wildcard.
    EXPECT_EQ(0, eloop_is_timeout_registered(record_timeout, ELOOP_ANY_CONTEXT, &a));
    EXPECT_EQ(1, eloop_is_timeout_registered(record_timeout, &a, &b));
    EXPECT_EQ(0, eloop_cancel_timeout(record_timeout, &b, &a));
    EXPECT_EQ(2, eloop_cancel_timeout(record_timeout, &a, ELOOP_ANY_CONTEXT));
    ASSERT_EQ(0, eloop_register_timeout(10, 0, record_timeout, &a, &b));
    EXPECT_EQ(2, eloop_cancel_timeout(record_timeout, ELOOP_ANY_CONTEXT, ELOOP_ANY_CONTEXT));
    EXPECT_EQ(0, eloop_cancel_timeout(record_timeout, ELOOP_ANY_CONTEXT, ELOOP_ANY_CONTEXT));
    EXPECT_EQ(1, eloop_is_timeout_registered(other_timeout, &a, &a));
}

TEST_F(Eloop, DepleteShortensAndReplenishLengthens)
{
    int a;
    struct os_reltime left;
    EXPECT_EQ(-1, eloop_deplete_timeout(1, 0, record_timeout, &a, nullptr));
    EXPECT_EQ(-1, eloop_replenish_timeout(1, 0, record_timeout, &a, nullptr));

    ASSERT_EQ(0, eloop_register_timeout(100, 0, record_timeout, &a, nullptr));
    EXPECT_EQ(0, eloop_deplete_timeout(200, 0, record_timeout, &a, nullptr));
    EXPECT_EQ(0, eloop_replenish_timeout(50, 0, record_timeout, &a, nullptr));
    EXPECT_EQ(1, eloop_deplete_timeout(20, 0, record_timeout, &a, nullptr));
    ASSERT_EQ(1, eloop_cancel_timeout_one(record_timeout, &a, nullptr, &left));
    EXPECT_TRUE(usecs(left) <= 20000000 && usecs(left) > 10000000) << usecs(left);

    // Every exact match goes; one with the new time replaces them.
    ASSERT_EQ(0, eloop_register_timeout(10, 0, record_timeout, &a, nullptr));
    ASSERT_EQ(0, eloop_register_timeout(10, 0, record_timeout, &a, nullptr));
    EXPECT_EQ(1, eloop_replenish_timeout(300, 0, record_timeout, &a, nullptr));
    ASSERT_EQ(1, eloop_cancel_timeout_one(record_timeout, &a, nullptr, &left));
    EXPECT_GT(usecs(left), 200000000);
    EXPECT_EQ(0, eloop_is_timeout_registered(record_timeout, &a, nullptr));
}

TEST_F(Eloop, ChangedTableStopsOnlyItsOwnDispatch)
{
    Pipe p1(true), p2(true), idle;
    Reader first{"first"}, second{"second"}, gone{"gone"}, writer{"writer"};
    first.unregister = idle.fd[0]; // the last entry: the others keep their places
    writer.stop_after = 1;
    ASSERT_EQ(0, reg(p1.fd[0], EVENT_TYPE_READ, first));
    ASSERT_EQ(0, reg(p2.fd[0], EVENT_TYPE_READ, second));
    ASSERT_EQ(0, reg(idle.fd[0], EVENT_TYPE_READ, gone));
    ASSERT_EQ(0, reg(p1.fd[1], EVENT_TYPE_WRITE, writer));
    eloop_run();
    EXPECT_EQ((std::vector<std::string>{"first", "writer"}), events);

    // The next iteration serves every reader; a stop request lets the rest
    // of the iteration finish and ends the run before another select.
    first.unregister = -1;
    writer.stop_after = 0;
    second.stop_after = 4;
    eloop_run();
    EXPECT_EQ(0, eloop_terminated());
    EXPECT_EQ((std::vector<std::string>{"first", "writer", "first", "second", "writer"}), events);
}

namespace {

Pipe *ready;
int signal_calls, signal_number;
void *signal_data;

void on_signal(int sig, void *user_data)
{
    signal_calls++;
    signal_number = sig;
    signal_data = user_data;
    eloop_terminate();
}

// Child: blocks in the loop on a descriptor that never becomes readable
// until SIGTERM arrives; exits 0 when the handler saw it once.
int wait_for_sigterm()
{
    eloop_init();
    if (eloop_register_signal_terminate(on_signal, &signal_calls) != 0)
        return 10;
    Pipe idle;
    Reader r{"idle"};
    reg(idle.fd[0], EVENT_TYPE_READ, r);
    if (write(ready->fd[1], "r", 1) != 1)
        return 11;
    eloop_run();
    eloop_destroy();
    bool ok = signal_calls == 1 && signal_number == SIGTERM && signal_data == &signal_calls;
    return ok && events.empty() ? 0 : 12;
}

} // namespace

TEST_F(Eloop, TerminationSignalReachesItsHandlerThroughTheLoop)
{
    Pipe sync;
    ready = &sync;
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(0);
        _exit(wait_for_sigterm());
    }
    // Signal again every 100 ms until it ends, in case the first signal came
    // before the select; give up (and kill it) after 5 s.
    char c;
    ASSERT_EQ(1, read(sync.fd[0], &c, 1));
    int status = -1;
    for (int i = 0; i < 50 && waitpid(pid, &status, WNOHANG) == 0; i++, status = -1) {
        kill(pid, SIGTERM);
        usleep(100000);
    }
    if (status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    // Exit status 1 would be the watchdog: the signal was never handled.
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

namespace {

void terminate_on_signal(int, void *)
{
    eloop_terminate();
}

void raise_usr1(void *, void *)
{
    raise(SIGUSR1);
}

} // namespace

// A signal that comes while the loop is busy (here: in a timeout's callback)
// is handled before the next wait, not after the next input that may never
// come.
TEST_F(Eloop, ASignalBetweenTwoWaitsIsHandledBeforeTheNextWait)
{
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(0);
        Pipe quiet;
        Reader reader;
        eloop_register_read_sock(quiet.fd[0], record_sock, &reader, nullptr);
        eloop_register_signal(SIGUSR1, terminate_on_signal, nullptr);
        eloop_register_timeout(0, 0, raise_usr1, nullptr, nullptr);
        eloop_run();
        _exit(0);
    }
    int status = -1;
    for (int i = 0; i < 30 && waitpid(pid, &status, WNOHANG) == 0; i++, status = -1)
        usleep(100000);
    if (status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    ASSERT_TRUE(WIFEXITED(status)) << "the loop still waited after 3 s";
    EXPECT_EQ(0, WEXITSTATUS(status));
}
