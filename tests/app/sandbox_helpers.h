// A private view of the system for tests that log to syslog or run the
// daemon. The test process moves into a mount namespace of its own (private
// propagation, so nothing reaches the host), where /dev is an overlay that
// holds a unix datagram socket of the test at /dev/log, /run is an empty
// tmpfs (the PID file's home), and a tmpfs holds the test's files. Child
// processes inherit the view. The host's /dev and /run are never written.
//
// Needs root and a process without other threads (a mount namespace cannot
// be entered otherwise); enter() says why when it cannot be had.
#pragma once

#include <string>
#include <vector>

// One record as glibc sends it: "<priority>Mmm dd hh:mm:ss tag[pid]: text".
struct SyslogRecord {
    int priority = -1;  // facility * 8 + severity
    std::string tag;
    int pid = 0;
    std::string text;
};

// Parses one datagram; false when it is not in that form.
bool ParseSyslogRecord(const std::string& datagram, SyslogRecord* record);

class Sandbox {
public:
    Sandbox() = default;
    // Leaves, undoing every mount.
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // Sets everything up. False with `why` filled in when the sandbox is not
    // available here (not root, no namespaces); setup errors after that
    // point are test failures and also give false.
    bool enter(std::string* why, bool readOnlyRun = false);
    // Closes the socket and undoes the mounts; the process stays in its
    // namespace, which then shows what the host shows.
    void leave();

    // A private directory for the test's files.
    const std::string& root() const { return filesRoot; }
    // Makes /dev/console a plain file, so that what the system logger's
    // console fallback writes can be read back; false on failure. glibc opens
    // the console afresh for each record and writes from its start, so the
    // file shows the latest record first.
    bool captureConsole();
    std::string consoleOutput();
    // Stops listening: senders then find no system logger.
    void closeLog();

    // The next record; false after `timeoutMs` (0: at once) without one.
    bool receive(SyslogRecord* record, int timeoutMs);
    // Receives until a record with exactly `text` arrives; false on timeout.
    // Every record received is also appended to `received`.
    bool waitFor(const std::string& text, SyslogRecord* found, int timeoutMs);

    std::vector<SyslogRecord> received;

private:
    std::string base;       // the temporary directory that the private tmpfs covers
    std::string filesRoot;  // base/files
    int logSocket = -1;
    bool devMounted = false;
    bool runMounted = false;
    bool baseMounted = false;
};
