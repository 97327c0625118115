// OS services on POSIX systems: clocks, sleeping, random data, memory,
// strings, files, environment and process creation.
#include "utils/os.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Clock os_get_reltime reads next. Falls back boot -> monotonic -> real time
// the first time a clock is missing, and never goes back.
clockid_t reltime_clock = CLOCK_BOOTTIME;

// Room for the program name, 29 arguments and the terminating null.
constexpr int exec_max_args = 29;

} // namespace

void os_sleep(os_time_t sec, os_time_t usec)
{
    if (sec)
        sleep(static_cast<unsigned int>(sec));
    if (usec)
        usleep(static_cast<useconds_t>(usec));
}

int os_get_time(struct os_time *t)
{
    struct timeval tv = {};
    int res = gettimeofday(&tv, nullptr);
    t->sec = tv.tv_sec;
    t->usec = tv.tv_usec;
    return res;
}

int os_get_reltime(struct os_reltime *t)
{
    for (;;) {
        struct timespec ts;
        if (clock_gettime(reltime_clock, &ts) == 0) {
            t->sec = ts.tv_sec;
            t->usec = ts.tv_nsec / 1000;
            return 0;
        }
        if (reltime_clock == CLOCK_BOOTTIME)
            reltime_clock = CLOCK_MONOTONIC;
        else if (reltime_clock == CLOCK_MONOTONIC)
            reltime_clock = CLOCK_REALTIME;
        else
            return -1;
    }
}

int os_mktime(int year, int month, int day, int hour, int min, int sec, os_time_t *t)
{
    if (month < 1 || month > 12 || year < 1970 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
        min < 0 || min > 59 || sec < 0 || sec > 60)
        return -1;

    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_sec = sec;
    tm.tm_isdst = 0;
    // mktime reads the fields as local time; undo the local zone's offset.
    time_t t_local = mktime(&tm);

    time_t offset = 0;
    struct tm local_tm;
    struct tm utc_tm;
    if (localtime_r(&t_local, &local_tm) && gmtime_r(&t_local, &utc_tm)) {
        time_t t1 = mktime(&local_tm);
        time_t t2 = mktime(&utc_tm);
        offset = t2 - t1;
    }
    *t = t_local - offset;
    return 0;
}

int os_gmtime(os_time_t t, struct os_tm *tm)
{
    time_t t2 = static_cast<time_t>(t);
    struct tm tm2;
    if (!gmtime_r(&t2, &tm2))
        return -1;
    tm->sec = tm2.tm_sec;
    tm->min = tm2.tm_min;
    tm->hour = tm2.tm_hour;
    tm->day = tm2.tm_mday;
    tm->month = tm2.tm_mon + 1;
    tm->year = tm2.tm_year + 1900;
    return 0;
}

int os_daemonize(const char *pid_file)
{
    if (daemon(0, 0)) {
        perror("daemon");
        return -1;
    }
    if (pid_file) {
        // A pid file that cannot be written does not stop the daemon.
        FILE *f = fopen(pid_file, "w");
        if (f) {
            fprintf(f, "%u\n", static_cast<unsigned int>(getpid()));
            fclose(f);
        }
    }
    return 0;
}

void os_daemonize_terminate(const char *pid_file)
{
    if (pid_file)
        unlink(pid_file);
}

int os_get_random(unsigned char *buf, size_t len)
{
    FILE *f = fopen("/dev/urandom", "rb");
    if (!f) {
        printf("Could not open /dev/urandom.\n");
        return -1;
    }
    size_t rc = fread(buf, 1, len, f);
    fclose(f);
    return rc != len ? -1 : 0;
}

unsigned long os_random(void)
{
    return static_cast<unsigned long>(random());
}

char *os_rel2abs_path(const char *rel_path)
{
    if (!rel_path)
        return nullptr;
    if (rel_path[0] == '/')
        return strdup(rel_path);

    size_t cwd_len = 128;
    char *cwd = nullptr;
    for (int tries = 0; tries < 4; tries++) {
        cwd = static_cast<char *>(malloc(cwd_len));
        if (!cwd)
            return nullptr;
        if (getcwd(cwd, cwd_len))
            break;
        int err = errno;
        free(cwd);
        cwd = nullptr;
        if (err != ERANGE)
            return nullptr;
        cwd_len *= 2;
    }
    if (!cwd)
        return nullptr;
    cwd[cwd_len - 1] = '\0';

    size_t len = strlen(cwd);
    size_t rel_len = strlen(rel_path);
    size_t ret_len = len + 1 + rel_len + 1;
    char *ret = static_cast<char *>(malloc(ret_len));
    if (ret) {
        memcpy(ret, cwd, len);
        ret[len] = '/';
        memcpy(ret + len + 1, rel_path, rel_len);
        ret[ret_len - 1] = '\0';
    }
    free(cwd);
    return ret;
}

int os_program_init(void)
{
    return 0;
}

void os_program_deinit(void) {}

int os_setenv(const char *name, const char *value, int overwrite)
{
    return setenv(name, value, overwrite);
}

int os_unsetenv(const char *name)
{
    return unsetenv(name);
}

char *os_readfile(const char *name, size_t *len)
{
    FILE *f = fopen(name, "rb");
    if (!f)
        return nullptr;

    if (fseek(f, 0, SEEK_END) < 0) {
        fclose(f);
        return nullptr;
    }
    long pos = ftell(f);
    if (pos < 0) {
        fclose(f);
        return nullptr;
    }
    *len = static_cast<size_t>(pos);
    if (fseek(f, 0, SEEK_SET) < 0) {
        fclose(f);
        return nullptr;
    }

    // One byte for an empty file, so that success is never a null pointer.
    char *buf = static_cast<char *>(malloc(*len ? *len : 1));
    if (!buf) {
        fclose(f);
        return nullptr;
    }
    if (fread(buf, 1, *len, f) != *len) {
        fclose(f);
        free(buf);
        return nullptr;
    }
    fclose(f);
    return buf;
}

int os_file_exists(const char *fname)
{
    FILE *f = fopen(fname, "rb");
    if (!f)
        return 0;
    fclose(f);
    return 1;
}

int os_fsync(FILE *stream)
{
    if (fflush(stream))
        return -1;
    return fsync(fileno(stream));
}

void *os_zalloc(size_t size)
{
    return calloc(1, size);
}

size_t os_strlcpy(char *dest, const char *src, size_t siz)
{
    const char *s = src;
    size_t left = siz;

    if (left) {
        while (--left != 0) {
            if ((*dest++ = *s++) == '\0')
                break;
        }
    }
    if (left == 0) {
        // Cut (or no room at all): terminate what fits, then measure the rest.
        if (siz != 0)
            *dest = '\0';
        while (*s++)
            ;
    }
    return static_cast<size_t>(s - src - 1);
}

int os_memcmp_const(const void *a, const void *b, size_t len)
{
    const unsigned char *aa = static_cast<const unsigned char *>(a);
    const unsigned char *bb = static_cast<const unsigned char *>(b);
    unsigned char res = 0;

    // Every byte is visited, so the time taken does not tell where they differ.
    for (size_t i = 0; i < len; i++)
        res |= aa[i] ^ bb[i];
    return res;
}

int os_exec(const char *program, const char *arg, int wait_completion)
{
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return -1;
    }

    if (pid) {
        if (wait_completion)
            waitpid(pid, nullptr, 0);
        return 0;
    }

    // Child: split arg at spaces into its own argument vector. A null arg
    // means no arguments.
    char *argv[exec_max_args + 2] = {};
    int n = 0;
    char *prog = strdup(program);
    char *args = arg ? strdup(arg) : nullptr;
    argv[n++] = prog;
    char *pos = args;
    while (pos && *pos && n < exec_max_args + 1) {
        while (*pos == ' ')
            pos++;
        if (*pos == '\0')
            break;
        argv[n++] = pos;
        while (*pos && *pos != ' ')
            pos++;
        if (*pos)
            *pos++ = '\0';
    }

    execv(program, argv);
    perror("execv");
    free(prog);
    free(args);
    exit(0);
}
