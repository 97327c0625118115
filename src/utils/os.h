// Thin wrappers over the system library: clocks, sleeping, random data,
// memory, strings, files, environment and process creation. The only state
// is the clock choice remembered by os_get_reltime.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

typedef int64_t os_time_t;

// Wall-clock time; usec in 0..999999.
struct os_time {
    os_time_t sec;
    os_time_t usec;
};

// Time on the relative (boot or monotonic) clock, for intervals only;
// usec in 0..999999.
struct os_reltime {
    os_time_t sec;
    os_time_t usec;
};

// Broken-down UTC calendar time: day 1..31, month 1..12, full year.
struct os_tm {
    int sec;
    int min;
    int hour;
    int day;
    int month;
    int year;
};

// Time and sleeping.
void os_sleep(os_time_t sec, os_time_t usec);
int os_get_time(struct os_time *t);       // result of gettimeofday
int os_get_reltime(struct os_reltime *t); // 0, or -1 when no clock works
int os_mktime(int year, int month, int day, int hour, int min, int sec,
              os_time_t *t);                  // UTC fields to epoch seconds; 0 or -1
int os_gmtime(os_time_t t, struct os_tm *tm); // 0 or -1

// Processes.
int os_daemonize(const char *pid_file);            // 0 or -1
void os_daemonize_terminate(const char *pid_file); // removes the pid file
int os_exec(const char *program, const char *arg,
            int wait_completion); // 0 or -1; no PATH search
int os_program_init(void);        // always 0
void os_program_deinit(void);

// Random data.
int os_get_random(unsigned char *buf, size_t len); // from /dev/urandom; 0 or -1
unsigned long os_random(void);

// Environment and paths.
char *os_rel2abs_path(const char *rel_path); // heap string (caller frees) or null
int os_setenv(const char *name, const char *value, int overwrite);
int os_unsetenv(const char *name);

// Files.
char *os_readfile(const char *name, size_t *len); // heap buffer, not NUL-terminated, or null
int os_file_exists(const char *fname);            // 1 when readable, else 0
int os_fsync(FILE *stream);

// Memory and strings.
void *os_zalloc(size_t size);                                  // zero-filled; release with free
size_t os_strlcpy(char *dest, const char *src, size_t siz);    // returns strlen(src)
int os_memcmp_const(const void *a, const void *b, size_t len); // 0 when equal, no early exit

// Reallocates to nmemb * size bytes; null (old block untouched) on overflow.
static inline void *os_realloc_array(void *ptr, size_t nmemb, size_t size)
{
    if (size && nmemb > (~(size_t)0) / size)
        return nullptr;
    return realloc(ptr, nmemb * size);
}

// 1 when a lies strictly before b.
static inline int os_reltime_before(const struct os_reltime *a, const struct os_reltime *b)
{
    return (a->sec < b->sec) || (a->sec == b->sec && a->usec < b->usec);
}

// res = a - b, borrowing one second when the microseconds go negative.
static inline void os_reltime_sub(const struct os_reltime *a, const struct os_reltime *b,
                                  struct os_reltime *res)
{
    res->sec = a->sec - b->sec;
    res->usec = a->usec - b->usec;
    if (res->usec < 0) {
        res->sec--;
        res->usec += 1000000;
    }
}
