// Flash receipts: what a flash wrote onto which board. After a flash that
// reached the board's storage the program writes the receipt into the
// board's log directory, <release>/flash-logs/<board>/receipt.json, and keeps
// it as the board's last one in $XDG_STATE_HOME/ostrelle/boards/<board>.json
// (~/.local/state/... by default). A later flash of the same board compares
// the release's images with that last receipt and may send only those that
// changed. Both files are made afresh, never through a link, in directories
// that are this user's own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "flash/boards.h"
#include "release/rawprogram.h"

namespace receipt {

// One image of the release's descriptions and where it goes.
struct Image {
    std::string dir; // the description's directory in the release ("cdt", "full_build/ufs")
    std::string xml; // the description that places it
    rawprogram::Program entry; // its program entry
    uint64_t size = 0;
    std::string sha256;
    bool sent = true; // written by this flash (false: left as the board's last flash wrote it)
};

struct Receipt {
    std::string serial, usb_path, port;
    std::string release, package_sha256, release_dir;
    std::string storage; // "UFS" or "eMMC"
    std::string flash;   // "full", "changed-only", "cdt", "non-hlos"
    std::vector<Image> images;
    std::string images_unknown; // why the images could not be read; "" when they were
    std::vector<std::string> tool_lines;
    std::string started, ended; // UTC, "2026-01-31T12:00:00Z"
    std::string result; // "booted", "not booted", "boot not waited for", "left download mode",
                        // "still in download mode"
};

// A description of the release that a sequence sends: its directory in the
// release and its rawprogram files (the patch files carry no images).
struct Source {
    const char *dir;
    std::vector<const char *> xmls;
};

// The rawprogram files of the full sequence on that storage, CDT first.
std::vector<Source> full_sources(bool emmc);

// Reads the sources' program entries in the release directory and the
// digest and size of every image they name (entries without an image are
// left out). False, with why, when a description or an image cannot be read.
bool release_images(const std::vector<Source> &sources, std::vector<Image> &images,
                    std::string &why);

// -- The record of one flash --------------------------------------------------

// Begins the record of a flash of the chosen release onto board: the time,
// the board, the release, the storage ("UFS", "eMMC") and the kind of flash.
void begin(const boards::Board &board, const char *storage, const char *flash);
// Its images (or why they are not known), and each tool line as it runs.
void set_images(const std::vector<Image> &images, const std::string &unknown);
void add_tool_line(const std::string &line);
// Called as the storage is about to be written: until finish, the board's
// last receipt says that a flash of it did not end.
void writing(void);
// Ends the record with result and writes both files; a line on standard
// error says when one cannot be written (the flash itself stands). Does
// nothing without a begun record, or in a dry run.
void finish(const char *result);

// -- Files ----------------------------------------------------------------------

// JSON text of a receipt, and a receipt read from such text (bounded; every
// name checked as the descriptions' are). False, with why, for text that is
// no receipt.
std::string to_json(const Receipt &r);
bool from_json(const std::string &text, Receipt &r, std::string &why);

// The directory of the boards' last receipts; empty when neither
// XDG_STATE_HOME nor HOME is an absolute path.
std::string state_dir(void);

// The board's last receipt: false, with why ("no receipt ...") when there
// is none or it cannot be read.
bool last_of(const boards::Board &board, Receipt &r, std::string &why);

// -- Changed-only flashing ------------------------------------------------------

// Why the board's last receipt cannot tell what it holds for a flash of
// current on storage (another release layout or storage, a last flash that
// did not boot or was not a whole one); "" when it can. changed: how many
// of current differ from what it holds; their sent flags say which.
std::string compare(const Receipt &last, const std::string &storage, std::vector<Image> &current,
                    size_t &changed);

// Writes, into dir, a description per source file with only the sent
// entries: "changed-<dir with / as ->-<xml>". Returns the paths written per
// source directory (empty for a directory with nothing sent); false, with
// why, when one cannot be written. A dry run writes nothing.
bool write_changed(const std::string &dir, const std::vector<Image> &images,
                   std::vector<std::pair<std::string, std::vector<std::string>>> &written,
                   std::string &why);

// -- Commands -------------------------------------------------------------------

// The receipt command: the last receipt of the board id names (its serial,
// USB path or port), or of the only board with one; as JSON with json.
// Returns the exit status (2 when no board or several fit).
int show_last(const std::vector<std::string> &ids, bool json);

// The verify-receipt command: checks the receipt in file against its
// release directory (target_dir/<release> when target_dir is given, else the
// directory the receipt names): the package digest of its completion
// record, and for every image its description entry, size and digest.
// Returns 0 when all agree, 1 when something differs, 2 when the receipt
// cannot be read.
int verify_file(const std::string &file, const std::string &target_dir, bool json);

} // namespace receipt
