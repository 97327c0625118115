// Flash receipts: the record of one flash, its two files, the comparison a
// changed-only flash makes, and the receipt and verify-receipt commands.
#include "flash/receipt.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <json-c/json.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

#include "core/exit_status.h"
#include "core/safe_text.h"
#include "core/sha256.h"
#include "core/state.h"
#include "host/console.h"
#include "host/host.h"
#include "release/layout.h"
#include "release/release_tree.h"
#include "utils/file.h"

namespace receipt {

namespace {

// The record of the flash in progress; active once begun.
Receipt current;
bool active = false;

// A receipt file larger than this is refused.
constexpr size_t max_receipt_bytes = 4 << 20;

// The directories a receipt may name: those the sequences send from.
const char *const known_dirs[] = {"cdt", "full_build/ufs", "full_build/emmc", "non_hlos/ufs"};

bool known_dir(const std::string &dir)
{
    for (const char *known : known_dirs) {
        if (dir == known)
            return true;
    }
    return false;
}

std::string utc_now()
{
    time_t now = time(nullptr);
    struct tm tm_utc {};
    gmtime_r(&now, &tm_utc);
    char text[32];
    strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm_utc);
    return text;
}

// Opens dir, making every missing component with mode: a directory of this
// user's, reached without a link as its last component, that nobody else
// may write (a group or others write bit of the user's own directory, as a
// umask of 002 leaves it, is taken away). -1, with why, otherwise.
int own_dir(const std::string &dir, mode_t mode, std::string &why)
{
    bool created = false;
    int fd = make_and_open_dir(dir, mode, created, why);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_uid != geteuid()) {
        why = "it belongs to another user";
    } else if ((st.st_mode & 022) && fchmod(fd, st.st_mode & 07755) != 0) {
        why = std::string("others may write it: ") + strerror(errno);
    } else {
        return fd;
    }
    close(fd);
    return -1;
}

// Writes text as dir/name, a new file of this user's made in place of
// whatever was there.
bool write_file(const std::string &dir, const char *name, const std::string &text, mode_t dir_mode,
                std::string &why)
{
    int dir_fd = own_dir(dir, dir_mode, why);
    if (dir_fd < 0) {
        why = dir + ": " + why;
        return false;
    }
    if (unlinkat(dir_fd, name, 0) != 0 && errno != ENOENT) {
        why = dir + "/" + name + ": " + strerror(errno);
        close(dir_fd);
        return false;
    }
    int fd = openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    close(dir_fd);
    if (fd < 0) {
        why = dir + "/" + name + ": " + strerror(errno);
        return false;
    }
    if (!write_all(fd, text.data(), text.size())) {
        why = dir + "/" + name + ": " + strerror(errno);
        close(fd);
        return false;
    }
    if (close(fd) != 0) {
        why = dir + "/" + name + ": " + strerror(errno);
        return false;
    }
    return true;
}

json_object *string_of(const std::string &text)
{
    return json_object_new_string(text.c_str());
}

std::string get_string(json_object *obj, const char *key)
{
    json_object *value = nullptr;
    if (!json_object_object_get_ex(obj, key, &value) ||
        !json_object_is_type(value, json_type_string))
        return "";
    return json_object_get_string(value);
}

bool get_uint(json_object *obj, const char *key, uint64_t &out)
{
    json_object *value = nullptr;
    if (!json_object_object_get_ex(obj, key, &value) || !json_object_is_type(value, json_type_int))
        return false;
    int64_t n = json_object_get_int64(value);
    if (n < 0)
        return false;
    out = static_cast<uint64_t>(n);
    return true;
}

bool sha256_text(const std::string &text)
{
    if (text.size() != 64)
        return false;
    for (char c : text) {
        if (!isxdigit(static_cast<unsigned char>(c)) || isupper(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

// What a layout comparison looks at: where each image goes.
std::string place_of(const Image &image)
{
    return image.dir + "/" + image.xml + " " + image.entry.label + " " +
           std::to_string(image.entry.partition) + ":" + image.entry.start_sector + " " +
           std::to_string(image.entry.sectors) + " " + image.entry.file;
}

std::string board_file_name(const boards::Board &board)
{
    return boards::log_dir_name(board) + ".json";
}

} // namespace

std::string state_dir(void);

namespace {

// Writes r as its board's last receipt.
void keep_as_last(const Receipt &r)
{
    const boards::Board board{.port = r.port, .usb_path = r.usb_path, .serial = r.serial};
    const std::string state = state_dir();
    std::string why;
    if (state.empty())
        fprintf(stderr, "ostrelle: cannot keep the board's last receipt: no HOME\n");
    else if (!write_file(state, board_file_name(board).c_str(), to_json(r), 0700, why))
        fprintf(stderr, "ostrelle: cannot keep the board's last receipt: %s\n",
                printable(why).c_str());
}

} // namespace

std::vector<Source> full_sources(bool emmc)
{
    if (emmc)
        return {{"cdt", {"rawprogram2.xml"}}, {"full_build/emmc", {"rawprogram_unsparse0.xml"}}};
    return {{"cdt", {"rawprogram3_iot_qrd.xml"}},
            {"full_build/ufs",
             {"rawprogram_unsparse0.xml", "rawprogram1.xml", "rawprogram2.xml", "rawprogram3.xml",
              "rawprogram4.xml", "rawprogram5.xml"}}};
}

bool release_images(const std::vector<Source> &sources, std::vector<Image> &images,
                    std::string &why)
{
    images.clear();
    // An image placed twice (the A and B slots) is read once.
    std::map<std::string, std::pair<std::string, uint64_t>> digests;
    for (const Source &source : sources) {
        const std::string dir = layout::release_path(std::string("/") + source.dir);
        for (const char *xml : source.xmls) {
            rawprogram::Description description;
            if (!rawprogram::read(dir, xml, description, why)) {
                why = std::string(source.dir) + "/" + xml + ": " + why;
                return false;
            }
            for (const rawprogram::Program &entry : description.programs) {
                if (entry.file.empty())
                    continue;
                Image image;
                image.dir = source.dir;
                image.xml = xml;
                image.entry = entry;
                const std::string path = dir + "/" + entry.file;
                auto known = digests.find(path);
                if (known == digests.end()) {
                    std::string digest, reason;
                    uint64_t size = 0;
                    if (!sha256_file(path, digest, size, reason)) {
                        why = std::string(source.dir) + "/" + entry.file + ": " + reason;
                        return false;
                    }
                    known = digests.emplace(path, std::make_pair(digest, size)).first;
                }
                image.sha256 = known->second.first;
                image.size = known->second.second;
                images.push_back(std::move(image));
            }
        }
    }
    return true;
}

void begin(const boards::Board &board, const char *storage, const char *flash)
{
    current = Receipt{};
    current.serial = board.serial;
    current.usb_path = board.usb_path;
    current.port = board.port;
    current.release = release_ver;
    current.package_sha256 = check_sum;
    current.release_dir = layout::release_path();
    current.storage = storage;
    current.flash = flash;
    current.images_unknown = "not read yet";
    current.started = utc_now();
    active = !host::dry_run();
}

void writing(void)
{
    // From the first write on, the board holds neither what its last
    // receipt says nor what this one will: a flash that never ends (the
    // program killed, the host down) leaves this unfinished record behind.
    if (active && current.result.empty()) {
        current.result = "unfinished";
        keep_as_last(current);
        current.result.clear();
    }
}

void set_images(const std::vector<Image> &images, const std::string &unknown)
{
    current.images = images;
    current.images_unknown = unknown;
}

void add_tool_line(const std::string &line)
{
    current.tool_lines.push_back(line);
}

void finish(const char *result)
{
    if (!active)
        return;
    active = false;
    current.ended = utc_now();
    current.result = result;
    const boards::Board board{
        .port = current.port, .usb_path = current.usb_path, .serial = current.serial};
    const std::string text = to_json(current);
    std::string why;
    const std::string log_dir = layout::release_path("/flash-logs/" + boards::log_dir_name(board));
    // The release's flash-logs directory may be read by root's tools: 0755.
    if (!write_file(log_dir, "receipt.json", text, 0755, why))
        fprintf(stderr, "ostrelle: cannot write the flash receipt: %s\n", printable(why).c_str());
    keep_as_last(current);
}

std::string to_json(const Receipt &r)
{
    json_object *doc = json_object_new_object();
    json_object_object_add(doc, "ostrelle_receipt", json_object_new_int(1));
    json_object *board = json_object_new_object();
    json_object_object_add(board, "serial", string_of(r.serial));
    json_object_object_add(board, "usb_path", string_of(r.usb_path));
    json_object_object_add(board, "port", string_of(r.port));
    json_object_object_add(doc, "board", board);
    json_object *release = json_object_new_object();
    json_object_object_add(release, "name", string_of(r.release));
    json_object_object_add(release, "package_sha256", string_of(r.package_sha256));
    json_object_object_add(release, "directory", string_of(r.release_dir));
    json_object_object_add(doc, "release", release);
    json_object_object_add(doc, "storage", string_of(r.storage));
    json_object_object_add(doc, "flash", string_of(r.flash));
    json_object *images = json_object_new_array();
    for (const Image &image : r.images) {
        json_object *entry = json_object_new_object();
        json_object_object_add(entry, "directory", string_of(image.dir));
        json_object_object_add(entry, "description", string_of(image.xml));
        json_object_object_add(entry, "file", string_of(image.entry.file));
        json_object_object_add(entry, "label", string_of(image.entry.label));
        json_object_object_add(entry, "partition",
                               json_object_new_int(static_cast<int>(image.entry.partition)));
        json_object_object_add(entry, "start_sector", string_of(image.entry.start_sector));
        json_object_object_add(entry, "sectors",
                               json_object_new_int64(static_cast<int64_t>(image.entry.sectors)));
        json_object_object_add(entry, "size",
                               json_object_new_int64(static_cast<int64_t>(image.size)));
        json_object_object_add(entry, "sha256", string_of(image.sha256));
        json_object_object_add(entry, "sent", json_object_new_boolean(image.sent));
        json_object_array_add(images, entry);
    }
    json_object_object_add(doc, "images", images);
    if (!r.images_unknown.empty())
        json_object_object_add(doc, "images_unknown", string_of(r.images_unknown));
    json_object *lines = json_object_new_array();
    for (const std::string &line : r.tool_lines)
        json_object_array_add(lines, string_of(line));
    json_object_object_add(doc, "tool_lines", lines);
    json_object_object_add(doc, "started", string_of(r.started));
    json_object_object_add(doc, "ended", string_of(r.ended));
    json_object_object_add(doc, "result", string_of(r.result));
    std::string text = json_text(json_object_to_json_string_ext(
                           doc, JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_NOSLASHESCAPE)) +
                       "\n";
    json_object_put(doc);
    return text;
}

bool from_json(const std::string &text, Receipt &r, std::string &why)
{
    r = Receipt{};
    if (text.size() > max_receipt_bytes) {
        why = "it is too large for a receipt";
        return false;
    }
    json_tokener *tok = json_tokener_new_ex(16);
    if (!tok) {
        why = "out of memory";
        return false;
    }
    json_object *doc = json_tokener_parse_ex(tok, text.c_str(), static_cast<int>(text.size()));
    const bool parsed = doc && json_tokener_get_error(tok) == json_tokener_success;
    json_tokener_free(tok);
    json_object *board = nullptr, *release = nullptr, *images = nullptr, *lines = nullptr;
    uint64_t version = 0;
    if (!parsed || !json_object_is_type(doc, json_type_object) ||
        !get_uint(doc, "ostrelle_receipt", version) || version != 1 ||
        !json_object_object_get_ex(doc, "board", &board) ||
        !json_object_object_get_ex(doc, "release", &release) ||
        !json_object_object_get_ex(doc, "images", &images) ||
        !json_object_is_type(images, json_type_array)) {
        why = "it is not a flash receipt";
        json_object_put(doc);
        return false;
    }
    r.serial = get_string(board, "serial");
    r.usb_path = get_string(board, "usb_path");
    r.port = get_string(board, "port");
    r.release = get_string(release, "name");
    r.package_sha256 = get_string(release, "package_sha256");
    r.release_dir = get_string(release, "directory");
    r.storage = get_string(doc, "storage");
    r.flash = get_string(doc, "flash");
    r.images_unknown = get_string(doc, "images_unknown");
    r.started = get_string(doc, "started");
    r.ended = get_string(doc, "ended");
    r.result = get_string(doc, "result");
    if (json_object_object_get_ex(doc, "tool_lines", &lines) &&
        json_object_is_type(lines, json_type_array)) {
        for (size_t i = 0; i < json_object_array_length(lines); i++)
            r.tool_lines.push_back(json_object_get_string(json_object_array_get_idx(lines, i)));
    }
    for (size_t i = 0; i < json_object_array_length(images); i++) {
        json_object *entry = json_object_array_get_idx(images, i);
        Image image;
        uint64_t partition = 0;
        image.dir = get_string(entry, "directory");
        image.xml = get_string(entry, "description");
        image.entry.file = get_string(entry, "file");
        image.entry.label = get_string(entry, "label");
        image.entry.start_sector = get_string(entry, "start_sector");
        image.sha256 = get_string(entry, "sha256");
        json_object *sent = nullptr;
        image.sent =
            !json_object_object_get_ex(entry, "sent", &sent) || json_object_get_boolean(sent);
        if (!known_dir(image.dir) || !rawprogram::plain_name(image.xml) ||
            !rawprogram::plain_name(image.entry.file) || !get_uint(entry, "partition", partition) ||
            partition > 255 || !get_uint(entry, "sectors", image.entry.sectors) ||
            !get_uint(entry, "size", image.size) || !sha256_text(image.sha256) ||
            has_control_bytes(image.entry.label) || has_control_bytes(image.entry.start_sector)) {
            why = "image " + std::to_string(i + 1) + " of the receipt is not one a flash writes";
            json_object_put(doc);
            r = Receipt{};
            return false;
        }
        image.entry.partition = static_cast<unsigned>(partition);
        r.images.push_back(std::move(image));
    }
    json_object_put(doc);
    return true;
}

std::string state_dir(void)
{
    return ::state_dir("boards");
}

bool last_of(const boards::Board &board, Receipt &r, std::string &why)
{
    const std::string dir = state_dir();
    if (dir.empty()) {
        why = "no receipt of this board's last flash (no HOME)";
        return false;
    }
    const std::string path = dir + "/" + board_file_name(board);
    std::string text;
    if (!read_regular(path, max_receipt_bytes, text, why)) {
        why = errno == ENOENT ? "no receipt of this board's last flash"
                              : "the board's last receipt cannot be read: " + why;
        return false;
    }
    if (!from_json(text, r, why)) {
        why = "the board's last receipt cannot be read: " + why;
        return false;
    }
    return true;
}

std::string compare(const Receipt &last, const std::string &storage, std::vector<Image> &current,
                    size_t &changed)
{
    changed = 0;
    if (last.result != "booted")
        return "the board's last flash did not boot (" + last.result + ")";
    if (last.flash != "full" && last.flash != "changed-only")
        return "the board's last flash wrote only the " + last.flash + " build";
    if (!last.images_unknown.empty())
        return "the board's last receipt does not know its images";
    if (last.storage != storage)
        return "the board's last flash wrote " + last.storage + " storage, this release " + storage;
    std::vector<std::string> was, now;
    for (const Image &image : last.images)
        was.push_back(place_of(image));
    for (const Image &image : current)
        now.push_back(place_of(image));
    if (was != now)
        return "the release's partition layout differs from the board's last flash";
    for (size_t i = 0; i < current.size(); i++) {
        current[i].sent =
            current[i].sha256 != last.images[i].sha256 || current[i].size != last.images[i].size;
        changed += current[i].sent;
    }
    return "";
}

bool write_changed(const std::string &dir, const std::vector<Image> &images,
                   std::vector<std::pair<std::string, std::vector<std::string>>> &written,
                   std::string &why)
{
    written.clear();
    // In the order the images come: the directories and descriptions in
    // the order the sequence sends them.
    std::vector<std::pair<std::string, std::string>> order;
    std::map<std::pair<std::string, std::string>, std::vector<rawprogram::Program>> sent;
    for (const Image &image : images) {
        const auto key = std::make_pair(image.dir, image.xml);
        if (sent.find(key) == sent.end()) {
            order.push_back(key);
            sent[key];
        }
        if (image.sent)
            sent[key].push_back(image.entry);
    }
    for (const auto &key : order) {
        if (written.empty() || written.back().first != key.first)
            written.push_back({key.first, {}});
        if (sent[key].empty())
            continue;
        std::string name = "changed-" + key.first + "-" + key.second;
        for (char &c : name) {
            if (c == '/')
                c = '-';
        }
        // A dry run names the files it would write.
        if (!host::dry_run() &&
            !write_file(dir, name.c_str(), rawprogram::write(sent[key]), 0755, why))
            return false;
        written.back().second.push_back(dir + "/" + name);
    }
    return true;
}

namespace {

void print_receipt(const Receipt &r)
{
    printf("Board %s (USB %s, port %s)\n", printable(r.serial.empty() ? "-" : r.serial).c_str(),
           printable(r.usb_path.empty() ? "-" : r.usb_path).c_str(), printable(r.port).c_str());
    printf("Release %s, package sha256 %s\n", printable(r.release).c_str(),
           printable(r.package_sha256).c_str());
    printf("Release directory %s\n", printable(r.release_dir).c_str());
    printf("%s storage, %s flash, started %s, ended %s: %s\n", printable(r.storage).c_str(),
           printable(r.flash).c_str(), printable(r.started).c_str(), printable(r.ended).c_str(),
           printable(r.result).c_str());
    if (!r.images_unknown.empty())
        printf("Images not known: %s\n", printable(r.images_unknown).c_str());
    for (const Image &image : r.images)
        printf("  %s %s/%s -> partition %u sector %s (%s), %llu bytes, sha256 %s\n",
               image.sent ? "sent" : "kept", image.dir.c_str(), printable(image.entry.file).c_str(),
               image.entry.partition, printable(image.entry.start_sector).c_str(),
               printable(image.entry.label).c_str(), static_cast<unsigned long long>(image.size),
               image.sha256.c_str());
    if (!r.tool_lines.empty())
        printf("Tool lines:\n");
    for (const std::string &line : r.tool_lines)
        printf("  %s\n", printable(line).c_str());
}

bool matches_id(const Receipt &r, const std::string &stem, const std::string &id)
{
    return id == stem || (!r.serial.empty() && id == r.serial) ||
           (!r.usb_path.empty() && id == r.usb_path) || (!r.port.empty() && id == r.port);
}

// The first line of the release's completion record, without its line end.
std::string record_digest(const std::string &release_dir)
{
    std::string text, why;
    if (!read_regular(release_dir + "/.ostrelle-complete", 1 << 20, text, why))
        return "";
    return text.substr(0, text.find('\n'));
}

} // namespace

int show_last(const std::vector<std::string> &ids, bool json)
{
    const std::string dir = state_dir();
    std::vector<std::pair<std::string, Receipt>> found; // (file stem, receipt)
    if (DIR *d = dir.empty() ? nullptr : opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".json") != 0)
                continue;
            std::string text, why;
            Receipt r;
            if (!read_regular(dir + "/" + name, max_receipt_bytes, text, why) ||
                !from_json(text, r, why)) {
                fprintf(stderr, "ostrelle: %s/%s: %s\n", dir.c_str(), printable(name).c_str(),
                        why.c_str());
                continue;
            }
            found.emplace_back(name.substr(0, name.size() - 5), std::move(r));
        }
        closedir(d);
    }
    std::sort(found.begin(), found.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<const Receipt *> picked;
    for (const auto &[stem, r] : found) {
        bool named = ids.empty();
        for (const std::string &id : ids)
            named = named || matches_id(r, stem, id);
        if (named)
            picked.push_back(&r);
    }
    if (picked.size() != 1) {
        if (found.empty())
            fprintf(stderr, "ostrelle: no board has a receipt yet (%s)\n",
                    dir.empty() ? "no HOME" : dir.c_str());
        else if (picked.empty())
            fprintf(stderr, "ostrelle: no receipt of %s; the boards with one:\n",
                    printable(ids.empty() ? "" : ids[0]).c_str());
        else
            fprintf(stderr, "ostrelle: several boards have a receipt; name one with --board:\n");
        for (const auto &[stem, r] : found)
            fprintf(stderr, "  %s (USB %s, last flash %s)\n", printable(stem).c_str(),
                    printable(r.usb_path.empty() ? "-" : r.usb_path).c_str(),
                    printable(r.ended).c_str());
        return exit_status::usage;
    }
    if (json)
        fputs(to_json(*picked[0]).c_str(), stdout);
    else
        print_receipt(*picked[0]);
    return 0;
}

int verify_file(const std::string &file, const std::string &target_dir, bool json)
{
    std::string text, why;
    Receipt r;
    if (!read_regular(file, max_receipt_bytes, text, why) || !from_json(text, r, why)) {
        fprintf(stderr, "ostrelle: %s: %s\n", printable(file).c_str(), why.c_str());
        return exit_status::usage;
    }
    std::string release_dir = r.release_dir;
    if (!target_dir.empty()) {
        if (!rawprogram::plain_name(r.release)) {
            fprintf(stderr, "ostrelle: %s: the release name is not a directory name\n",
                    printable(file).c_str());
            return exit_status::usage;
        }
        release_dir = target_dir + (target_dir.back() == '/' ? "" : "/") + r.release;
    }
    std::vector<std::string> problems;
    if (r.release_dir.empty() && target_dir.empty())
        problems.push_back("the receipt names no release directory (give --target)");
    const std::string digest = record_digest(release_dir);
    if (digest.empty())
        problems.push_back("the release has no completion record (.ostrelle-complete)");
    else if (digest != r.package_sha256)
        problems.push_back("the release's package digest is " + digest + ", the receipt's " +
                           r.package_sha256);
    if (!r.images_unknown.empty())
        problems.push_back("the receipt names no images: " + r.images_unknown);
    size_t differing = 0;
    for (const Image &image : r.images) {
        const std::string dir = release_dir + "/" + image.dir;
        const std::string name = image.dir + "/" + image.entry.file;
        std::string problem;
        rawprogram::Description description;
        std::string reason;
        if (!rawprogram::read(dir, image.xml, description, reason)) {
            problem = image.dir + "/" + image.xml + ": " + reason;
        } else {
            bool placed = false;
            for (const rawprogram::Program &entry : description.programs)
                placed = placed || (entry.file == image.entry.file &&
                                    entry.partition == image.entry.partition &&
                                    entry.start_sector == image.entry.start_sector &&
                                    entry.label == image.entry.label);
            std::string have;
            uint64_t size = 0;
            if (!placed)
                problem = name + ": " + image.xml + " does not place it at partition " +
                          std::to_string(image.entry.partition) + " sector " +
                          image.entry.start_sector;
            else if (!sha256_file(dir + "/" + image.entry.file, have, size, reason))
                problem = name + ": " + reason;
            else if (size != image.size || have != image.sha256)
                problem = name + ": the release's image has " + std::to_string(size) +
                          " bytes, sha256 " + have + "; the receipt says " +
                          std::to_string(image.size) + " bytes, sha256 " + image.sha256;
        }
        if (!problem.empty()) {
            differing++;
            problems.push_back(problem);
        }
    }
    if (json) {
        json_object *doc = json_object_new_object();
        json_object_object_add(doc, "receipt", string_of(file));
        json_object_object_add(doc, "release_directory", string_of(release_dir));
        json_object_object_add(doc, "agrees", json_object_new_boolean(problems.empty()));
        json_object *list = json_object_new_array();
        for (const std::string &problem : problems)
            json_object_array_add(list, string_of(problem));
        json_object_object_add(doc, "problems", list);
        console::print_json(doc);
    } else {
        for (const std::string &problem : problems)
            printf("%s\n", printable(problem).c_str());
        if (problems.empty())
            printf("%sThe receipt agrees with %s: %zu images%s\n", console::green,
                   printable(release_dir).c_str(), r.images.size(), console::reset);
        else
            printf("%sThe receipt does not agree with %s: %zu of %zu images differ%s\n",
                   console::red, printable(release_dir).c_str(), differing, r.images.size(),
                   console::reset);
    }
    return problems.empty() ? 0 : 1;
}

} // namespace receipt
