// The application's globals: set once during the set-up dialogue, read by
// the command handlers for the rest of the run. One instance each.
#pragma once

// Absolute target directory, always ending in "/" once set-up has run.
extern char target_path[512];

// Product code; always points to one of the seven codes below.
extern const char *s_product;
extern const char *const s_product_kt1;     // "kt1"
extern const char *const s_product_kt2;     // "kt2"
extern const char *const s_product_kt3gen2; // "kt3gen2"
extern const char *const s_product_kt5;     // "kt5" (the default)
extern const char *const s_product_kt5n;    // "kt5n"
extern const char *const s_product_kt6;     // "kt6"
extern const char *const s_product_mx7200;  // "mx7200"

// Software platform: 1 for LU, 2 (the default) for LE.
extern int platform;

// The chosen release and the SHA-256 text of its package; empty until chosen.
extern char release_ver[64];
extern char check_sum[128];

// Device node of the board last found in download mode; empty until found.
extern char dev_name[128];

// Constant names.
extern const char *const tardir_filename; // "ostrelle_dir.txt", state file in HOME
extern char subdirs[1][64];               // {"files/"}, list-file directory
extern const char *const config_filename; // "release_ver.txt"
extern const char *const toolchain_ver;   // "_le_toolchain_ver.txt"
extern const char *const prog_name;       // "Ostrelle"
extern const char *const sdk_ver;         // "4.1.0"

// Server base URLs (no trailing slash), compiled into each executable.
extern const char *const account_url;   // https, account server
extern const char *const resource_url;  // https, resource server
extern const char *const toolchain_url; // http, toolchain archive
// Whether the servers' certificates are verified (OFF in the build: wget's
// --no-check-certificate on every line), and the certificate authority file
// compiled in ("" for none); OSTRELLE_CA_FILE in the environment overrides it.
extern const bool tls_verify;
extern const char *const compiled_ca_file;
// True in the test-bed build (ostrelle_testbed), which takes a few settings
// from its environment that the real program ignores.
extern const bool testbed_build;
