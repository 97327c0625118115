// The partition descriptions of a release (rawprogram*.xml, patch*.xml) as
// the program reads them: which image goes to which partition and sector.
// The files come with the release package, so they are outside input: the
// reader takes a bounded file, expands no entity beyond XML's five and
// numeric references, refuses document type declarations, and accepts only
// image names that stay in the description's own directory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rawprogram {

// A description larger than this is refused whole.
inline constexpr size_t max_file_bytes = 1 << 20;
// Entries (program and patch) in one description.
inline constexpr size_t max_entries = 4096;

// One program entry: an image written at a place of the storage.
struct Program {
    std::string file;         // image beside the description; "" for a partition left empty
    std::string label;        // partition label
    unsigned partition = 0;   // physical_partition_number (a UFS LUN; 0 on eMMC)
    std::string start_sector; // as written (a number, or an expression for an empty one)
    uint64_t sectors = 0;     // num_partition_sectors (0 when not given)
    // Every attribute in order, values decoded: written back as they came.
    std::vector<std::pair<std::string, std::string>> attributes;
};

struct Description {
    std::vector<Program> programs; // in file order
    size_t patches = 0;            // patch entries
};

// Reads the description text: false, with why, for anything that is not a
// plain description (see above).
bool parse(std::string_view text, Description &out, std::string &why);

// Reads dir/name (name a plain file name, the file not a link): as parse.
bool read(const std::string &dir, const std::string &name, Description &out, std::string &why);

// A description of programs alone, each with its attributes as read.
std::string write(const std::vector<Program> &programs);

// True when name may name a file beside a description: not empty, no "/",
// not "." or "..", no control byte or backslash, at most 255 bytes.
bool plain_name(std::string_view name);

} // namespace rawprogram
