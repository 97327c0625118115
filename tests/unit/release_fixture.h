// Shared by the tests of the release commands: a scratch target directory
// and the application globals set for one test and restored afterwards.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/state.h"

namespace testing_support {

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
  public:
    TempDir()
    {
        char name[] = "/tmp/ostrelle-release-XXXXXX";
        if (!mkdtemp(name))
            abort();
        path_ = name;
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    // The directory with a final "/", as target_path holds it.
    std::string slash() const { return path_ + "/"; }

    // Writes text to the file rel below the directory, creating parents.
    void write(const std::string &rel, const std::string &text) const
    {
        std::filesystem::path p = std::filesystem::path(path_) / rel;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
    }
    bool exists(const std::string &rel) const
    {
        return std::filesystem::exists(std::filesystem::path(path_) / rel);
    }

  private:
    std::string path_;
};

// Sets the globals the release commands read; the destructor restores them.
class Globals {
  public:
    Globals(const std::string &target, const char *release, const char *sum, int plat,
            const char *product = s_product_kt5)
        : target_(target_path), release_(release_ver), sum_(check_sum), platform_(platform),
          product_(s_product)
    {
        snprintf(target_path, sizeof(target_path), "%s", target.c_str());
        snprintf(release_ver, sizeof(release_ver), "%s", release);
        snprintf(check_sum, sizeof(check_sum), "%s", sum);
        platform = plat;
        s_product = product;
    }
    ~Globals()
    {
        snprintf(target_path, sizeof(target_path), "%s", target_.c_str());
        snprintf(release_ver, sizeof(release_ver), "%s", release_.c_str());
        snprintf(check_sum, sizeof(check_sum), "%s", sum_.c_str());
        platform = platform_;
        s_product = product_;
    }
    Globals(const Globals &) = delete;
    Globals &operator=(const Globals &) = delete;

  private:
    std::string target_, release_, sum_;
    int platform_;
    const char *product_;
};

// A digest as sha256sum prints it, before the file name.
inline const std::string digest_a(64, 'a');
inline const std::string digest_b(64, 'b');

} // namespace testing_support
