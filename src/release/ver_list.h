// Reader of the list files fetched from the resource server: the release
// configuration file and the toolchain version list share one format, one
// line per release holding its name and a SHA-256 digest, separated by
// blanks, each line ended by a line feed.
#pragma once

#include <cstdio>
#include <vector>

// One listed release.
struct avail_ver {
    char ver_cmd[8];     // the 1-based line number in decimal: what the user types
    char ver_name[64];   // the release name, at most 63 characters
    char sha256sum[128]; // the digest text, at most 127 characters
};

// Most lines a list may have: a list is text of a few kilobytes, and every
// line costs a record. The callers refuse a longer one.
inline constexpr long list_max_lines = 10000;

// Counts the line feeds of f, reading it to its end.
long count_line_feeds(FILE *f);

// Reads count lines from f (positioned at its start) into vers, which gets
// exactly count zero-filled records. Each line loses its line feed and is
// split at blanks (runs of blanks count as one); the words go alternately to
// ver_name and sha256sum, starting with ver_name for the file's first word,
// the alternation running on across lines. A word longer than its field is
// cut to fit. Returns 0, or -1 when a line cannot be read or memory for the
// records or a line runs out.
int read_avail_vers(FILE *f, long count, std::vector<avail_ver> &vers);
