// Secrets passed to children through descriptors.
#include "host/secret_file.h"

#include <cstdlib>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

SecretFile::SecretFile(const std::string &text)
{
    fd_ = memfd_create("ostrelle-secret", 0);
    if (fd_ < 0) {
        char path[] = "/tmp/ostrelle-secret-XXXXXX";
        fd_ = mkstemp(path); // mode 0600
        if (fd_ >= 0)
            unlink(path);
    }
    if (fd_ >= 0 && write(fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        close_now();
}

SecretFile::~SecretFile()
{
    close_now();
}

void SecretFile::close_now()
{
    if (fd_ < 0)
        return;
    // The blocks of an unlinked file on disk are overwritten before they are
    // given back.
    struct stat st {};
    if (fstat(fd_, &st) == 0 && st.st_size > 0) {
        std::string zeros(static_cast<size_t>(st.st_size), '\0');
        if (pwrite(fd_, zeros.data(), zeros.size(), 0) > 0)
            fdatasync(fd_);
    }
    close(fd_);
    fd_ = -1;
}
