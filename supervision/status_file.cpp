#include "supervision/status_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <tinyxml.h>

namespace StatusFile {

namespace {

const char* const kNotRegular = "not a regular file";

// Descriptors of the status files never block and never become a terminal.
constexpr int kOpenFlags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

std::string TooLarge(size_t limit)
{
    return "larger than " + std::to_string(limit) + " bytes";
}

// Whether the open file may be read: a regular file within `limit` bytes.
bool MayRead(int fd, size_t limit, std::string& reason)
{
    struct stat status;
    if (fstat(fd, &status) != 0)
        return false;
    if (!S_ISREG(status.st_mode)) {
        reason = kNotRegular;
        return false;
    }
    if (static_cast<unsigned long long>(status.st_size) > limit) {
        reason = TooLarge(limit);
        return false;
    }
    return true;
}

// Reads up to `limit` + 1 bytes, so that a file that grew after fstat is
// still found too large.
bool ReadAll(int fd, size_t limit, std::string& bytes)
{
    char chunk[4096];
    bytes.clear();
    for (;;) {
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        bytes.append(chunk, static_cast<size_t>(got));
        if (bytes.size() > limit)
            return true;
    }
}

}  // namespace

bool read(const char* name, size_t limit, std::string& bytes, std::string& reason)
{
    reason.clear();
    bytes.clear();
    int fd = open(name, O_RDONLY | kOpenFlags);
    if (fd < 0)
        return false;
    bool usable = MayRead(fd, limit, reason) && ReadAll(fd, limit, bytes);
    close(fd);
    if (usable && bytes.size() > limit) {
        reason = TooLarge(limit);
        usable = false;
    }
    return usable;
}

bool save(const char* name, const TiXmlDocument& document, std::string& reason)
{
    reason.clear();
    // A FIFO without a reader refuses a non-blocking open for writing
    // (ENXIO); a directory refuses any open for writing (EISDIR).
    int fd = open(name, O_WRONLY | O_CREAT | kOpenFlags, 0666);
    if (fd < 0) {
        if (errno == ENXIO || errno == EISDIR)
            reason = kNotRegular;
        return false;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        reason = kNotRegular;
        close(fd);
        return false;
    }
    FILE* file = ftruncate(fd, 0) == 0 ? fdopen(fd, "w") : nullptr;
    if (!file) {
        close(fd);
        return false;
    }
    bool saved = document.SaveFile(file);
    return std::fclose(file) == 0 && saved;
}

}  // namespace StatusFile
