#include "app/sandbox_helpers.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "app/process_helpers.h"

namespace {

const char kLogPath[] = "/dev/log";
const char kConsolePath[] = "/dev/console";
// "Mmm dd hh:mm:ss " between the priority and the tag.
const size_t kStampLength = 16;

std::string SystemError(const char* what)
{
    return std::string(what) + ": " + strerror(errno);
}

}  // namespace

bool ParseSyslogRecord(const std::string& datagram, SyslogRecord* record)
{
    size_t priorityEnd = datagram.find('>');
    if (datagram.empty() || datagram[0] != '<' || priorityEnd == std::string::npos)
        return false;
    record->priority = atoi(datagram.c_str() + 1);
    size_t tagStart = priorityEnd + 1 + kStampLength;
    size_t open = datagram.find('[', tagStart);
    size_t end = datagram.find("]: ", tagStart);
    if (tagStart > datagram.size() || open == std::string::npos || end == std::string::npos || open > end)
        return false;
    record->tag = datagram.substr(tagStart, open - tagStart);
    record->pid = atoi(datagram.c_str() + open + 1);
    record->text = datagram.substr(end + 3);
    return true;
}

Sandbox::~Sandbox()
{
    leave();
}

bool Sandbox::enter(std::string* why, bool readOnlyRun)
{
    if (geteuid() != 0) {
        *why = "needs root: it mounts over /dev and /run in a private mount namespace";
        return false;
    }
    if (unshare(CLONE_NEWNS) != 0) {
        *why = SystemError("no private mount namespace (unshare)");
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        ADD_FAILURE() << SystemError("making the mounts private");
        return false;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "orvantis-sandbox-XXXXXX").string();
    if (!mkdtemp(&pattern[0])) {
        ADD_FAILURE() << SystemError("mkdtemp");
        return false;
    }
    base = pattern;
    baseMounted = mount("tmpfs", base.c_str(), "tmpfs", 0, "mode=755") == 0;
    filesRoot = base + "/files";
    std::string upper = base + "/up", work = base + "/work";
    if (!baseMounted || mkdir(upper.c_str(), 0755) != 0 || mkdir(work.c_str(), 0755) != 0 ||
        mkdir(filesRoot.c_str(), 0755) != 0) {
        ADD_FAILURE() << SystemError("preparing the private tmpfs");
        return false;
    }
    std::string overlay = "lowerdir=/dev,upperdir=" + upper + ",workdir=" + work;
    devMounted = mount("overlay", "/dev", "overlay", 0, overlay.c_str()) == 0;
    if (!devMounted) {
        ADD_FAILURE() << SystemError("overlay over /dev");
        return false;
    }
    runMounted = mount("tmpfs", "/run", "tmpfs", readOnlyRun ? MS_RDONLY : 0, "mode=755") == 0;
    if (!runMounted) {
        ADD_FAILURE() << SystemError("tmpfs over /run");
        return false;
    }
    logSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, kLogPath);
    unlink(kLogPath);
    if (logSocket < 0 || bind(logSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        chmod(kLogPath, 0666) != 0) {
        ADD_FAILURE() << SystemError("socket at /dev/log");
        return false;
    }
    return true;
}

void Sandbox::closeLog()
{
    if (logSocket >= 0)
        close(logSocket);
    logSocket = -1;
}

void Sandbox::leave()
{
    closeLog();
    if (runMounted)
        umount2("/run", MNT_DETACH);
    if (devMounted)
        umount2("/dev", MNT_DETACH);
    if (baseMounted)
        umount2(base.c_str(), MNT_DETACH);
    if (!base.empty())
        rmdir(base.c_str());
    runMounted = devMounted = baseMounted = false;
    base.clear();
}

bool Sandbox::captureConsole()
{
    unlink(kConsolePath);
    int fd = open(kConsolePath, O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

std::string Sandbox::consoleOutput()
{
    return FileContent(kConsolePath);
}

bool Sandbox::receive(SyslogRecord* record, int timeoutMs)
{
    long long deadline = NowMs() + timeoutMs;
    for (;;) {
        struct pollfd ready = {logSocket, POLLIN, 0};
        long long left = deadline - NowMs();
        if (logSocket < 0 || left < 0 || poll(&ready, 1, static_cast<int>(left)) <= 0)
            return false;
        char datagram[8192];
        ssize_t length = recv(logSocket, datagram, sizeof(datagram), 0);
        if (length > 0 && ParseSyslogRecord(std::string(datagram, static_cast<size_t>(length)), record)) {
            received.push_back(*record);
            return true;
        }
    }
}

bool Sandbox::waitFor(const std::string& text, SyslogRecord* found, int timeoutMs)
{
    long long deadline = NowMs() + timeoutMs;
    SyslogRecord record;
    while (receive(&record, static_cast<int>(deadline - NowMs()))) {
        if (record.text == text) {
            *found = record;
            return true;
        }
    }
    return false;
}
