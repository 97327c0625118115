// A scratch directory for one test.
#pragma once

#include <string>

namespace testing_support {

// A fresh directory under /tmp, removed with everything in it on
// destruction. The working directory of the construction is put back first,
// since a test may have entered the directory.
class TempDir {
  public:
    TempDir(); // aborts when no directory can be made
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; } // no final "/"
    // The directory with a final "/", as target_path holds it.
    std::string slash() const { return path_ + "/"; }
    // The path of rel below the directory.
    std::string file(const std::string &rel) const { return path_ + "/" + rel; }
    // Writes text to the file rel below the directory, creating parents.
    void write(const std::string &rel, const std::string &text) const;
    bool exists(const std::string &rel) const;

  private:
    std::string path_;
    std::string old_cwd_;
};

} // namespace testing_support
