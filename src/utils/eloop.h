// Single-threaded event loop: select over registered descriptors (read,
// write and exception interest), timeouts kept sorted by expiry, and signals
// deferred from their handler to the loop. One global loop per process.
#pragma once

#include "utils/os.h"

// Matches any context in eloop_cancel_timeout.
#define ELOOP_ANY_CONTEXT ((void *)(~(uintptr_t)0))

enum eloop_event_type {
    EVENT_TYPE_READ = 0,
    EVENT_TYPE_WRITE = 1,
    EVENT_TYPE_EXCEPTION = 2,
};

typedef void (*eloop_sock_handler)(int sock, void *eloop_ctx, void *sock_ctx);
typedef void (*eloop_timeout_handler)(void *eloop_data, void *user_data);
typedef void (*eloop_signal_handler)(int sig, void *user_data);

// Set-up and teardown.
int eloop_init(void);     // always 0; call before anything else
void eloop_destroy(void); // frees timeouts, tables and signals; eloop_init again before reuse

// Descriptors. Registration returns 0, or -1 for an unknown type, a descriptor
// of 1024 or more (beyond the select sets) or no memory; a negative sock aborts.
int eloop_register_read_sock(int sock, eloop_sock_handler handler, void *eloop_data,
                             void *user_data);
void eloop_unregister_read_sock(int sock);
int eloop_register_sock(int sock, eloop_event_type type, eloop_sock_handler handler,
                        void *eloop_data, void *user_data);
void eloop_unregister_sock(int sock, eloop_event_type type);

// Timeouts, matched by handler and both contexts.
int eloop_register_timeout(unsigned int secs, unsigned int usecs, eloop_timeout_handler handler,
                           void *eloop_data, void *user_data); // 0 or -1
int eloop_cancel_timeout(eloop_timeout_handler handler, void *eloop_data,
                         void *user_data); // number removed
int eloop_cancel_timeout_one(eloop_timeout_handler handler, void *eloop_data, void *user_data,
                             struct os_reltime *remaining); // 1 removed / 0
int eloop_is_timeout_registered(eloop_timeout_handler handler, void *eloop_data,
                                void *user_data); // 1 / 0
int eloop_deplete_timeout(unsigned int req_secs, unsigned int req_usecs,
                          eloop_timeout_handler handler, void *eloop_data,
                          void *user_data); // 1 / 0 / -1
int eloop_replenish_timeout(unsigned int req_secs, unsigned int req_usecs,
                            eloop_timeout_handler handler, void *eloop_data,
                            void *user_data); // 1 / 0 / -1

// Signals: handlers run from the loop, not from signal context.
int eloop_register_signal(int sig, eloop_signal_handler handler, void *user_data);
int eloop_register_signal_terminate(eloop_signal_handler handler,
                                    void *user_data); // SIGINT, SIGTERM
int eloop_register_signal_reconfig(eloop_signal_handler handler, void *user_data); // SIGHUP

// Running.
void eloop_run(void);       // until eloop_terminate, nothing to wait for, or a select error
void eloop_terminate(void); // stop after the running callback returns
int eloop_terminated(void);
// Blocks until sock is readable or a signal arrives; returns at once for a
// descriptor outside 0..1023.
void eloop_wait_for_read_sock(int sock);
