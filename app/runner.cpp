// OnRun: the service in the foreground of a terminal or as a daemon.
//
// In daemon mode the main thread waits on libdaemon's signal pipe for the
// whole run, so no work happens in signal-handler context. libdaemon's own
// error logging opens the system log again under its own options (no console
// fallback; some versions also close it), so the syslog target is reopened
// after every libdaemon failure: the service's records keep their identity,
// pid and console fallback.
//
// One daemon runs per PID file: a daemon that finds the file held by a
// running daemon of the same executable refuses to start, and removes a file
// that names no such process. The file is only ever read when it is a
// regular file, so whatever stands at its path cannot hold up the start.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <libdaemon/dfork.h>
#include <libdaemon/dlog.h>
#include <libdaemon/dpid.h>
#include <libdaemon/dsignal.h>

#include "app/crash_report.h"
#include "app/log_syslog.h"
#include "app/orvantis_app.h"
#include "base/thread_log.h"
#include "core/core.h"

namespace {

// The syslog identity, which also names the PID file. libdaemon keeps the
// pointer, so it must be static.
const char kIdentity[] = "orvantisd";
const int kStatusWaitSeconds = 60;
// What the launcher returns when no status arrived in time.
const int kNoStatus = 255;

// Start-up statuses sent to the launcher. A daemon that finds another copy
// holding the lock after all (two launchers racing) reports it like a PID
// file it cannot create: that file would be the other copy's.
// (A crash while starting reports 128 + the signal, see CrashReport.)
enum StartupStatus { kStarted = 0, kNoPidFile = 1, kNoSignals = 2, kAlreadyRunning = 1 };

const char kPidFileHeld[] = "Another daemon (pid %d) holds the PID file %s: not starting a second one.";

void Say(const char* text)
{
    fputs(text, stdout);
    fflush(stdout);
}

// Sends the start-up status to the launcher, once: it waits for one status
// only, and libdaemon closes the pipe after the first (a crash may have sent
// it already). A launcher that gave up waiting has closed its end, and the
// broken pipe must not end the daemon: SIGPIPE is held back on this thread
// for the write and discarded.
void SendStatus(wxLogSyslog* log, int status)
{
    if (!CrashReport::claimStartupStatus())
        return;
    sigset_t brokenPipe, previous;
    sigemptyset(&brokenPipe);
    sigaddset(&brokenPipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &brokenPipe, &previous);
    bool failed = daemon_retval_send(status) < 0;
    const struct timespec noWait = {0, 0};
    while (sigtimedwait(&brokenPipe, nullptr, &noWait) == SIGPIPE) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (failed)
        log->Reopen();
}

// Reports a failed libdaemon start-up step; errno still says why.
void ReportStartupFailure(wxLogSyslog* log, const char* text, int status)
{
    int error = errno;
    log->Reopen();
    wxLogSysError(error, "%s", text);
    SendStatus(log, status);
}

// The write end of libdaemon's status pipe in the daemon: after
// daemon_close_all, the one descriptor above standard error that is a pipe
// open for writing only. -1 when there is none.
int FindStatusPipe()
{
    DIR* descriptors = opendir("/proc/self/fd");
    if (!descriptors)
        return -1;
    int found = -1;
    while (dirent* entry = readdir(descriptors)) {
        int fd = atoi(entry->d_name);
        struct stat status;
        if (fd > STDERR_FILENO && fd != dirfd(descriptors) && fstat(fd, &status) == 0 &&
            S_ISFIFO(status.st_mode) && (fcntl(fd, F_GETFL) & O_ACCMODE) == O_WRONLY)
            found = fd;
    }
    closedir(descriptors);
    return found;
}

// What stands at the PID file's path.
struct PidFile {
    enum State {
        Missing,     // no file, or one that cannot be read
        Held,        // names a running daemon of this executable
        Stale,       // names no such process
        NotRegular,  // a FIFO, a directory, ...: never read
    } state = Missing;
    pid_t pid = 0;  // the pid it names, when it names one
};

// The executable of process `pid` (or "self"), as its path; one replaced on
// disk since it started (a package upgrade) keeps its path. Empty when it
// cannot be known, with errno saying why.
std::string ExecutableOf(const std::string& pid)
{
    const std::string link = "/proc/" + pid + "/exe";
    char target[PATH_MAX];
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0)
        return std::string();
    std::string path(target, static_cast<size_t>(length));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    return path;
}

// Whether `pid` is a running daemon of this executable. A process whose
// executable may not be looked at (another user's) is given the benefit of
// the doubt: the file may well be its.
bool RunsThisExecutable(pid_t pid)
{
    if (kill(pid, 0) != 0 && errno != EPERM)
        return false;
    const std::string theirs = ExecutableOf(std::to_string(pid));
    if (theirs.empty())
        return errno == EACCES || errno == EPERM;
    return theirs == ExecutableOf("self");
}

// The PID file is opened without blocking (a FIFO there has no writer) and
// read only when it is a regular file.
PidFile InspectPidFile(const char* path)
{
    PidFile file;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return file;
    struct stat status;
    char text[32] = {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        file.state = PidFile::NotRegular;
    } else if (read(fd, text, sizeof text - 1) >= 0) {
        const long pid = strtol(text, nullptr, 10);
        file.pid = pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
        file.state = file.pid && RunsThisExecutable(file.pid) ? PidFile::Held : PidFile::Stale;
    }
    close(fd);
    return file;
}

// Creates the PID file; false when another daemon holds it, and this one
// must not run. A stale file (its daemon was killed, and its pid may since
// have gone to another program) is removed first. Other failures are
// reported and the start goes on.
bool TakePidFile(wxLogSyslog* log)
{
    const char* path = daemon_pid_file_proc();
    const PidFile file = InspectPidFile(path);
    if (file.state == PidFile::Held) {
        wxLogError(kPidFileHeld, static_cast<int>(file.pid), path);
        SendStatus(log, kAlreadyRunning);
        return false;
    }
    if (file.state == PidFile::NotRegular)
        wxLogError("The PID file %s is not a regular file.", path);
    if (file.state == PidFile::Stale && unlink(path) == 0)
        wxLogWarning("Removed the stale PID file %s, which names no running orvantisd.", path);
    if (daemon_pid_file_create() < 0)
        ReportStartupFailure(log, "Could not create PID file", kNoPidFile);
    return true;
}

// Says on the launcher's terminal what a failure status means, where the
// status alone leaves it open.
void ExplainStatus(int status)
{
    if (int signal = CrashReport::SignalOfStatus(status)) {
        wxLogError("The daemon crashed with signal %d (%s) while starting; the system log says where.", signal,
                   CrashReport::SignalName(signal));
        return;
    }
    const char* path = daemon_pid_file_proc();
    const PidFile file = InspectPidFile(path);
    if (status == kAlreadyRunning && file.state == PidFile::Held)
        wxLogError(kPidFileHeld, static_cast<int>(file.pid), path);
}

int WaitForDaemon()
{
    int status = daemon_retval_wait(kStatusWaitSeconds);
    daemon_retval_done();
    if (status < 0) {
        wxLogError(_("Timeout waiting for service to signal that it is running."));
        wxLogError(_("Please verify that the service is responding by connecting to it with a client."));
        return kNoStatus;
    }
    if (status > 0) {
        wxLogError("Daemon returned %i", status);
        ExplainStatus(status);
    }
    return status;
}

bool IsStopSignal(int signal)
{
    return signal == SIGINT || signal == SIGQUIT || signal == SIGTERM;
}

// Blocks on the signal pipe until a stop signal arrives or waiting fails.
// Without a signal pipe (registration failed and the launcher has been told
// so) there is nothing that could stop the service cleanly later, so it stops
// at once rather than run on unstoppable.
void WaitForStopSignal(wxLogSyslog* log)
{
    int fd = daemon_signal_fd();
    if (fd < 0 || fd >= FD_SETSIZE) {
        wxLogError("No signal descriptor to wait on, stopping.");
        return;
    }
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        if (select(FD_SETSIZE, &readable, nullptr, nullptr, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            wxLogSysError("select() failed.");
            return;
        }
        if (!FD_ISSET(fd, &readable))
            continue;
        int signal = daemon_signal_next();
        if (signal <= 0) {
            int error = errno;
            log->Reopen();
            wxLogSysError(error, "daemon_signal_next() failed.");
            return;
        }
        if (IsStopSignal(signal)) {
            wxLogMessage("Received signal %i, Exiting...", signal);
            return;
        }
    }
}

}  // namespace

int OrvantisApp::OnRun()
{
    return foreground ? RunForeground() : RunDaemon();
}

int OrvantisApp::RunForeground()
{
    ThreadLog::setTarget(wxLog::GetActiveTarget());
    CrashReport::install(CrashReport::Destination::StandardError, kIdentity);
    Say("starting the core...\n");
    theCore->Start();
    Say("\npress any key to stop the core\n\n");
    getchar();
    Say("\nstopping the core...\n\n");
    theCore->Stop();
    ThreadLog::setTarget(nullptr);
    return 0;
}

int OrvantisApp::RunDaemon()
{
    daemon_pid_file_ident = kIdentity;
    daemon_log_ident = kIdentity;
    // The lock file names the process that holds it and goes away with it,
    // so the daemon takes its own lock after the fork.
    UnlockInstance();
    fflush(stdout);
    fflush(stderr);
    daemon_retval_init();
    pid_t pid = daemon_fork();
    if (pid < 0) {
        int error = errno;
        daemon_retval_done();
        return error;
    }
    return pid > 0 ? WaitForDaemon() : RunAsDaemon();
}

int OrvantisApp::RunAsDaemon()
{
    // Descriptors inherited from the launcher (its terminal, its pipes) would
    // keep them open for the daemon's whole life; libdaemon spares the status
    // pipe.
    daemon_close_all(-1);
    umask(022);
    MoveToExecutableDirectory();
    wxLogSyslog* log = new wxLogSyslog(kIdentity);
    delete wxLog::SetActiveTarget(log);
    ThreadLog::setTarget(log);
    CrashReport::install(CrashReport::Destination::SystemLog, kIdentity);
    CrashReport::watchStartup(FindStatusPipe());
    if (!LockInstance()) {
        SendStatus(log, kAlreadyRunning);
        ThreadLog::setTarget(nullptr);
        return kAlreadyRunning;
    }
    if (!TakePidFile(log)) {
        ThreadLog::setTarget(nullptr);
        return kAlreadyRunning;
    }
    if (daemon_signal_init(SIGINT, SIGTERM, SIGQUIT, 0) < 0)
        ReportStartupFailure(log, "Could not register signal handlers", kNoSignals);
    theCore->Start();
    wxLogMessage("Successfully started version %s", ORV_VERSION);
    SendStatus(log, kStarted);
    WaitForStopSignal(log);
    theCore->Stop();
    daemon_signal_done();
    daemon_pid_file_remove();
    wxLogMessage("Done");
    ThreadLog::setTarget(nullptr);
    return 0;
}
