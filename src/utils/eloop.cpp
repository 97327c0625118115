// Single-threaded event loop over select: descriptor tables for read, write
// and exception interest, a timeout list sorted by expiry, and signals that
// are only counted in signal context and handled from the loop.

// The assertions below catch callers' programming errors (negative
// descriptors); they stay on in optimised builds too.
#undef NDEBUG
#include <cassert>

#include "utils/eloop.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/select.h>
#include <unistd.h>

#include "utils/common.h"
#include "utils/list.h"

namespace {

struct eloop_sock {
    int sock; // never negative, below FD_SETSIZE
    void *eloop_data;
    void *user_data;
    eloop_sock_handler handler;
};

struct eloop_timeout {
    struct dl_list list;
    struct os_reltime time; // absolute expiry on the relative clock
    void *eloop_data;
    void *user_data;
    eloop_timeout_handler handler;
};

struct eloop_signal {
    int sig;
    void *user_data;
    eloop_signal_handler handler;
    volatile sig_atomic_t signaled; // deliveries not yet handled by the loop
};

struct eloop_sock_table {
    int count;                // entries in use
    struct eloop_sock *table; // registration order; null until first use, grown by one
                              // entry per registration, never shrunk by a removal
    eloop_event_type type;    // left zero, never read
    int changed;              // set by every add/remove
};

struct eloop_data {
    int max_sock; // highest descriptor ever registered; never lowered
    int count;    // registered descriptors over all tables
    struct eloop_sock_table readers;
    struct eloop_sock_table writers;
    struct eloop_sock_table exceptions;
    struct dl_list timeout; // sorted by expiry; equal expiry keeps registration order
    int signal_count;
    struct eloop_signal *signals;
    volatile sig_atomic_t signaled;          // deliveries since signals were last handled
    volatile sig_atomic_t pending_terminate; // SIGINT/SIGTERM seen, watchdog armed
    int terminate;                           // leave eloop_run at the next iteration
};

// The one loop of the process.
struct eloop_data eloop;

void eloop_reset(void)
{
    eloop.max_sock = 0;
    eloop.count = 0;
    eloop.readers = {};
    eloop.writers = {};
    eloop.exceptions = {};
    dl_list_init(&eloop.timeout);
    // Count first, so a signal arriving meanwhile never walks a stale array.
    eloop.signal_count = 0;
    eloop.signals = nullptr;
    eloop.signaled = 0;
    eloop.pending_terminate = 0;
    eloop.terminate = 0;
}

int eloop_sock_table_add_sock(struct eloop_sock_table *table, int sock, eloop_sock_handler handler,
                              void *eloop_data, void *user_data)
{
    struct eloop_sock *tmp = static_cast<struct eloop_sock *>(
        os_realloc_array(table->table, table->count + 1, sizeof(struct eloop_sock)));
    if (!tmp)
        return -1;

    tmp[table->count].sock = sock;
    tmp[table->count].eloop_data = eloop_data;
    tmp[table->count].user_data = user_data;
    tmp[table->count].handler = handler;
    table->count++;
    table->table = tmp;
    eloop.count++;
    if (sock > eloop.max_sock)
        eloop.max_sock = sock;
    table->changed = 1;
    return 0;
}

void eloop_sock_table_remove_sock(struct eloop_sock_table *table, int sock)
{
    if (!table || !table->table || table->count == 0)
        return;

    int i;
    for (i = 0; i < table->count; i++) {
        if (table->table[i].sock == sock)
            break;
    }
    if (i == table->count)
        return;
    if (i != table->count - 1)
        memmove(&table->table[i], &table->table[i + 1],
                (table->count - i - 1) * sizeof(struct eloop_sock));
    table->count--;
    eloop.count--;
    table->changed = 1;
}

void eloop_sock_table_set_fds(struct eloop_sock_table *table, fd_set *fds)
{
    FD_ZERO(fds);
    if (!table->table)
        return;
    for (int i = 0; i < table->count; i++) {
        assert(table->table[i].sock >= 0);
        FD_SET(table->table[i].sock, fds);
    }
}

void eloop_sock_table_dispatch(struct eloop_sock_table *table, fd_set *fds)
{
    if (!table || !table->table)
        return;

    table->changed = 0;
    for (int i = 0; i < table->count; i++) {
        if (FD_ISSET(table->table[i].sock, fds)) {
            table->table[i].handler(table->table[i].sock, table->table[i].eloop_data,
                                    table->table[i].user_data);
            // The handler may have added or removed entries: the indices
            // and the array may no longer be what the sets were built from.
            if (table->changed)
                break;
        }
    }
}

void eloop_sock_table_destroy(struct eloop_sock_table *table)
{
    if (table) {
        free(table->table);
        table->table = nullptr;
        table->count = 0;
    }
}

struct eloop_sock_table *eloop_get_sock_table(eloop_event_type type)
{
    switch (type) {
    case EVENT_TYPE_READ:
        return &eloop.readers;
    case EVENT_TYPE_WRITE:
        return &eloop.writers;
    case EVENT_TYPE_EXCEPTION:
        return &eloop.exceptions;
    }
    return nullptr;
}

void eloop_remove_timeout(struct eloop_timeout *timeout)
{
    dl_list_del(&timeout->list);
    free(timeout);
}

// Exact match of the triple, as used by query, cancel-one, deplete and replenish.
struct eloop_timeout *eloop_find_timeout(eloop_timeout_handler handler, void *eloop_data,
                                         void *user_data)
{
    struct eloop_timeout *tmp;
    dl_list_for_each (tmp, &eloop.timeout, struct eloop_timeout, list) {
        if (tmp->handler == handler && tmp->eloop_data == eloop_data && tmp->user_data == user_data)
            return tmp;
    }
    return nullptr;
}

void eloop_handle_alarm(int sig)
{
    UNUSED(sig);
    // An interrupt or termination signal went unhandled for two seconds:
    // the loop is stuck, so leave without it.
    _exit(1);
}

void eloop_handle_signal(int sig)
{
    if ((sig == SIGINT || sig == SIGTERM) && !eloop.pending_terminate) {
        eloop.pending_terminate = 1;
        signal(SIGALRM, eloop_handle_alarm);
        alarm(2);
    }

    eloop.signaled = eloop.signaled + 1;
    for (int i = 0; i < eloop.signal_count; i++) {
        if (eloop.signals[i].sig == sig) {
            eloop.signals[i].signaled = eloop.signals[i].signaled + 1;
            break;
        }
    }
}

void eloop_process_pending_signals(void)
{
    if (eloop.signaled == 0)
        return;
    eloop.signaled = 0;

    if (eloop.pending_terminate) {
        alarm(0);
        eloop.pending_terminate = 0;
    }

    for (int i = 0; i < eloop.signal_count; i++) {
        if (eloop.signals[i].signaled) {
            eloop.signals[i].signaled = 0;
            eloop.signals[i].handler(eloop.signals[i].sig, eloop.signals[i].user_data);
        }
    }
}

int eloop_change_timeout(unsigned int req_secs, unsigned int req_usecs,
                         eloop_timeout_handler handler, void *eloop_data, void *user_data,
                         bool shorten)
{
    struct eloop_timeout *tmp = eloop_find_timeout(handler, eloop_data, user_data);
    if (!tmp)
        return -1;

    struct os_reltime now = {};
    struct os_reltime remaining;
    struct os_reltime requested;
    os_get_reltime(&now);
    os_reltime_sub(&tmp->time, &now, &remaining);
    requested.sec = req_secs;
    requested.usec = req_usecs;

    bool change = shorten ? os_reltime_before(&requested, &remaining)
                          : os_reltime_before(&remaining, &requested);
    if (!change)
        return 0;
    eloop_cancel_timeout(handler, eloop_data, user_data);
    eloop_register_timeout(req_secs, req_usecs, handler, eloop_data, user_data);
    return 1;
}

} // namespace

int eloop_init(void)
{
    eloop_reset();
    return 0;
}

int eloop_register_read_sock(int sock, eloop_sock_handler handler, void *eloop_data,
                             void *user_data)
{
    return eloop_register_sock(sock, EVENT_TYPE_READ, handler, eloop_data, user_data);
}

void eloop_unregister_read_sock(int sock)
{
    eloop_unregister_sock(sock, EVENT_TYPE_READ);
}

int eloop_register_sock(int sock, eloop_event_type type, eloop_sock_handler handler,
                        void *eloop_data, void *user_data)
{
    assert(sock >= 0);
    // The select sets hold descriptors 0..FD_SETSIZE-1 only.
    if (sock >= FD_SETSIZE)
        return -1;
    struct eloop_sock_table *table = eloop_get_sock_table(type);
    if (!table)
        return -1;
    return eloop_sock_table_add_sock(table, sock, handler, eloop_data, user_data);
}

void eloop_unregister_sock(int sock, eloop_event_type type)
{
    eloop_sock_table_remove_sock(eloop_get_sock_table(type), sock);
}

int eloop_register_timeout(unsigned int secs, unsigned int usecs, eloop_timeout_handler handler,
                           void *eloop_data, void *user_data)
{
    struct eloop_timeout *timeout =
        static_cast<struct eloop_timeout *>(os_zalloc(sizeof(struct eloop_timeout)));
    if (!timeout)
        return -1;
    if (os_get_reltime(&timeout->time) < 0) {
        free(timeout);
        return -1;
    }

    // An expiry beyond the clock's range can never come: accept it and
    // forget it.
    os_time_t carry = usecs / 1000000;
    if (__builtin_add_overflow(timeout->time.sec, static_cast<os_time_t>(secs),
                               &timeout->time.sec) ||
        __builtin_add_overflow(timeout->time.sec, carry, &timeout->time.sec)) {
        free(timeout);
        return 0;
    }
    timeout->time.usec += usecs % 1000000;
    if (timeout->time.usec > 999999) {
        timeout->time.sec++;
        timeout->time.usec -= 1000000;
    }

    timeout->eloop_data = eloop_data;
    timeout->user_data = user_data;
    timeout->handler = handler;

    // Before the first strictly later one, so equal expiries keep their order.
    struct eloop_timeout *tmp;
    dl_list_for_each (tmp, &eloop.timeout, struct eloop_timeout, list) {
        if (os_reltime_before(&timeout->time, &tmp->time)) {
            dl_list_add(tmp->list.prev, &timeout->list);
            return 0;
        }
    }
    dl_list_add_tail(&eloop.timeout, &timeout->list);
    return 0;
}

int eloop_cancel_timeout(eloop_timeout_handler handler, void *eloop_data, void *user_data)
{
    struct eloop_timeout *timeout, *prev;
    int removed = 0;

    dl_list_for_each_safe (timeout, prev, &eloop.timeout, struct eloop_timeout, list) {
        if (timeout->handler == handler &&
            (timeout->eloop_data == eloop_data || eloop_data == ELOOP_ANY_CONTEXT) &&
            (timeout->user_data == user_data || user_data == ELOOP_ANY_CONTEXT)) {
            eloop_remove_timeout(timeout);
            removed++;
        }
    }
    return removed;
}

int eloop_cancel_timeout_one(eloop_timeout_handler handler, void *eloop_data, void *user_data,
                             struct os_reltime *remaining)
{
    struct os_reltime now = {};
    os_get_reltime(&now);
    remaining->sec = 0;
    remaining->usec = 0;

    struct eloop_timeout *timeout = eloop_find_timeout(handler, eloop_data, user_data);
    if (!timeout)
        return 0;
    if (os_reltime_before(&now, &timeout->time))
        os_reltime_sub(&timeout->time, &now, remaining);
    eloop_remove_timeout(timeout);
    return 1;
}

int eloop_is_timeout_registered(eloop_timeout_handler handler, void *eloop_data, void *user_data)
{
    return eloop_find_timeout(handler, eloop_data, user_data) ? 1 : 0;
}

int eloop_deplete_timeout(unsigned int req_secs, unsigned int req_usecs,
                          eloop_timeout_handler handler, void *eloop_data, void *user_data)
{
    return eloop_change_timeout(req_secs, req_usecs, handler, eloop_data, user_data, true);
}

int eloop_replenish_timeout(unsigned int req_secs, unsigned int req_usecs,
                            eloop_timeout_handler handler, void *eloop_data, void *user_data)
{
    return eloop_change_timeout(req_secs, req_usecs, handler, eloop_data, user_data, false);
}

int eloop_register_signal(int sig, eloop_signal_handler handler, void *user_data)
{
    struct eloop_signal *tmp = static_cast<struct eloop_signal *>(
        os_realloc_array(eloop.signals, eloop.signal_count + 1, sizeof(struct eloop_signal)));
    if (!tmp)
        return -1;

    tmp[eloop.signal_count].sig = sig;
    tmp[eloop.signal_count].user_data = user_data;
    tmp[eloop.signal_count].handler = handler;
    tmp[eloop.signal_count].signaled = 0;
    eloop.signals = tmp;
    eloop.signal_count++;
    signal(sig, eloop_handle_signal);
    return 0;
}

int eloop_register_signal_terminate(eloop_signal_handler handler, void *user_data)
{
    int ret = eloop_register_signal(SIGINT, handler, user_data);
    if (ret == 0)
        ret = eloop_register_signal(SIGTERM, handler, user_data);
    return ret;
}

int eloop_register_signal_reconfig(eloop_signal_handler handler, void *user_data)
{
    return eloop_register_signal(SIGHUP, handler, user_data);
}

void eloop_run(void)
{
    // The signals the loop handles for the program (all but the ending ones,
    // whose handlers must run at once) are held while the loop prepares a
    // wait and let in only during it: one that arrives just before the wait
    // then ends the wait instead of waiting for the next input.
    sigset_t held, during_wait;
    sigemptyset(&held);
    sigprocmask(SIG_BLOCK, nullptr, &during_wait);
    for (int i = 0; i < eloop.signal_count; i++) {
        int sig = eloop.signals[i].sig;
        if (sig != SIGINT && sig != SIGTERM && sig != SIGHUP && sig != SIGALRM &&
            !sigismember(&during_wait, sig))
            sigaddset(&held, sig);
    }

    fd_set *rfds = static_cast<fd_set *>(os_zalloc(sizeof(fd_set)));
    fd_set *wfds = static_cast<fd_set *>(os_zalloc(sizeof(fd_set)));
    fd_set *efds = static_cast<fd_set *>(os_zalloc(sizeof(fd_set)));
    if (!rfds || !wfds || !efds)
        goto out;

    for (;;) {
        sigprocmask(SIG_BLOCK, &held, nullptr);
        // Those that came while a callback ran.
        eloop_process_pending_signals();
        if (eloop.terminate) {
            eloop.terminate = 0;
            break;
        }
        if (dl_list_empty(&eloop.timeout) && eloop.readers.count < 1 && eloop.writers.count < 1 &&
            eloop.exceptions.count < 1)
            break;

        struct timeval tv;
        struct timeval *tvp = nullptr;
        struct os_reltime now = {};
        struct eloop_timeout *first = dl_list_first(&eloop.timeout, struct eloop_timeout, list);
        if (first) {
            struct os_reltime tv_rel = {};
            os_get_reltime(&now);
            if (os_reltime_before(&now, &first->time))
                os_reltime_sub(&first->time, &now, &tv_rel);
            tv.tv_sec = tv_rel.sec;
            tv.tv_usec = tv_rel.usec;
            tvp = &tv;
        }

        eloop_sock_table_set_fds(&eloop.readers, rfds);
        eloop_sock_table_set_fds(&eloop.writers, wfds);
        eloop_sock_table_set_fds(&eloop.exceptions, efds);
        struct timespec ts = {};
        if (tvp) {
            ts.tv_sec = tvp->tv_sec;
            ts.tv_nsec = tvp->tv_usec * 1000;
        }
        int res = pselect(eloop.max_sock + 1, rfds, wfds, efds, tvp ? &ts : nullptr, &during_wait);
        sigprocmask(SIG_UNBLOCK, &held, nullptr);
        if (res < 0) {
            if (errno != EINTR && errno != 0)
                break;
            // Interrupted by a signal: nothing is ready, but the signal
            // may need handling below.
            res = 0;
        }

        eloop.readers.changed = 0;
        eloop.writers.changed = 0;
        eloop.exceptions.changed = 0;

        eloop_process_pending_signals();

        // At most one timeout per iteration: the next due one fires after
        // another (zero-timeout) select, so descriptors are not starved.
        first = dl_list_first(&eloop.timeout, struct eloop_timeout, list);
        if (first) {
            os_get_reltime(&now);
            if (!os_reltime_before(&now, &first->time)) {
                void *eloop_data = first->eloop_data;
                void *user_data = first->user_data;
                eloop_timeout_handler handler = first->handler;
                eloop_remove_timeout(first);
                handler(eloop_data, user_data);
            }
        }

        // A signal or timeout handler may have changed the tables, so the
        // sets may name descriptors that are gone.
        if (res <= 0 || eloop.readers.changed || eloop.writers.changed || eloop.exceptions.changed)
            continue;

        eloop_sock_table_dispatch(&eloop.readers, rfds);
        eloop_sock_table_dispatch(&eloop.writers, wfds);
        eloop_sock_table_dispatch(&eloop.exceptions, efds);
    }

out:
    sigprocmask(SIG_UNBLOCK, &held, nullptr);
    free(rfds);
    free(wfds);
    free(efds);
}

void eloop_terminate(void)
{
    eloop.terminate = 1;
}

int eloop_terminated(void)
{
    return eloop.terminate;
}

void eloop_destroy(void)
{
    struct eloop_timeout *timeout, *prev;
    dl_list_for_each_safe (timeout, prev, &eloop.timeout, struct eloop_timeout, list) {
        eloop_remove_timeout(timeout);
    }
    eloop_sock_table_destroy(&eloop.readers);
    eloop_sock_table_destroy(&eloop.writers);
    eloop_sock_table_destroy(&eloop.exceptions);

    // Signal dispositions stay installed, so a late signal may still run
    // eloop_handle_signal: hide the array from it before freeing it.
    struct eloop_signal *signals = eloop.signals;
    eloop.signal_count = 0;
    eloop.signals = nullptr;
    free(signals);
    eloop.count = 0;
}

void eloop_wait_for_read_sock(int sock)
{
    // A descriptor the set cannot hold cannot be waited for either.
    if (sock < 0 || sock >= FD_SETSIZE)
        return;

    fd_set rfds;
    FD_ZERO(&rfds);
    FD_SET(sock, &rfds);
    select(sock + 1, &rfds, nullptr, nullptr, nullptr);
}
