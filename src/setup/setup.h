// The set-up dialogue that runs before the command shell: banner and host
// preparation, sign-in, target directory, product, platform and release.
// Each phase prints its own messages; main runs them in order.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "host/host.h"

// Banner, host packages and the loader link (host_prep.cpp).
void print_version(void);
int prepare_host(void); // 0 to go on; 1 or -1 is the program's exit status

// Sign-in (account.cpp).
int check_vl_user(void); // 0 signed in, 1 refused, 2 the server gave no usable answer
int sign_in(void);       // three attempts (one with commands); 0, -1 refused, -2 no usable answer
// "mail=..&pwd=.." with both values form-encoded; plain addresses stay as typed.
std::string sign_in_body(std::string_view mail, std::string_view password);
// How long the sign-in waits for the server, and for a password file to give
// its line.
inline constexpr int sign_in_timeout_ms = 30000;
enum class SecretRead { ok, empty, too_long, nul_byte, timed_out, failed };
// Reads the first line of fd (line end and a CR before it dropped) into
// line, one byte at a time, waiting at most timeout_ms in all (-1: no
// limit). Anything but ok leaves line zeroed.
SecretRead read_secret_line(int fd, char (&line)[256], int timeout_ms);
// Judges the account server's reply and prints the verdict: 0 signed in, 1 refused,
// 2 no usable answer.
int judge_reply(const host::Reply &reply);

// Target directory and product (target.cpp).
int set_target_path(void); // 0, or -1 when declined or the directory cannot be set up
// The target directory of the state file, as set_target_path reads it; ""
// without a usable one.
std::string stored_target_path(void);
int select_product(void); // asks until a product is picked; the release selection's result

// Platform and release (release.cpp).
int check_version(void); // 0 selected, 1 list not obtained, -1 command not started
