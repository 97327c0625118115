#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace testing_support {

namespace fs = std::filesystem;

TempDir::TempDir()
{
    char name[] = "/tmp/ostrelle-test-XXXXXX";
    if (!mkdtemp(name))
        abort();
    path_ = name;
    std::error_code ec;
    old_cwd_ = fs::current_path(ec).string();
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (!old_cwd_.empty())
        fs::current_path(old_cwd_, ec);
    fs::remove_all(path_, ec);
}

void TempDir::write(const std::string &rel, const std::string &text) const
{
    fs::path p = fs::path(path_) / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

bool TempDir::exists(const std::string &rel) const
{
    return fs::exists(fs::path(path_) / rel);
}

} // namespace testing_support
