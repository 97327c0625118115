// The command handlers and the steps they are built from. A handler takes
// the words after the command word (argc counts them, argv starts at the
// first) and returns 0 for success, another value for failure; it reports
// its own progress and failures on standard output.
#pragma once

// Handlers of the command tables.
int sdk_make_sys(int argc, char *argv[]);     // "1": release resources (and repack on LU)
int sdk_flash_full(int argc, char *argv[]);   // "2": flash the full build
int sdk_le_toolchain(int argc, char *argv[]); // "3" (LE): SDK toolchain

// Handlers ready for a table but listed in none.
int sdk_flash_cdt(int argc, char *argv[]);
int sdk_flash_nonhlos(int argc, char *argv[]);
int sdk_dl_sdks(int argc, char *argv[]);

// Release package and system image (commands "1" and "3").
int sdk_dl_img_pkg(int argc, char *argv[]); // download, verify, unpack; 0 or 1
int deb_checksum(void);        // 0 all official, 2 other, replaced or missing packages, 1 failed
void print_deb_findings(void); // names what the last deb_checksum result 2 found
int sdk_make_sys_helper(void); // 0 or 1

// Flashing.
void report_no_board_full(void); // the red two lines of command "2" without a board
// 1 when the board to flash was found (dev_name set; with several boards the
// one named or picked, see boards::choose), else 0.
int find_device(void);
int sdk_flash_full_helper(void); // 0 when the flashed board booted, 8 (board busy) or 1
// The CDT and NON-HLOS sequences: 0 when the board left download mode
// after the write, else 1. The first takes the eMMC variant when the
// release carries an eMMC build.
int sdk_flash_cdt_helper(void);
int sdk_flash_cdt_ufs_helper(void);
int sdk_flash_cdt_emmc_helper(void);
int sdk_flash_nonhlos_helper(void);

// Framework SDK installers; 0 or 1.
int sdk_dl_snpe(void);
int sdk_dl_hexagon(void);
int sdk_dl_fastcv(void);
