// SHA-256 of bytes and of files, as sha256sum prints it (64 lower-case
// hexadecimal digits).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class Sha256 {
  public:
    Sha256();
    void add(const void *data, size_t size);
    // The digest as hexadecimal text; the object is spent afterwards.
    std::string hex();

  private:
    void block(const unsigned char *p);
    uint32_t h_[8];
    unsigned char buf_[64];
    size_t used_ = 0;    // bytes waiting in buf_, < 64
    uint64_t total_ = 0; // bytes added
};

std::string sha256_hex(std::string_view data);

// The digest and size of the regular file at path, opened without following
// a final symbolic link. False, with why, when it cannot be read.
bool sha256_file(const std::string &path, std::string &digest, uint64_t &size, std::string &why);
