// Running the real service binary from a test: a child process with its
// standard streams on pipes, and a private copy of the executable.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// One child process. Its standard output and error are collected; its
// standard input is a pipe of the test's or /dev/null.
class Child {
public:
    Child() = default;
    // Kills and reaps the child if it still runs.
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Starts `program` with `args` (args[0] is the name it is started as) in
    // `directory`, with this process's environment changed by `environment`
    // ("NAME=value" entries replace or add variables).
    bool start(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& environment, const std::string& directory, bool inputPipe);
    bool writeInput(const std::string& text);
    void closeInput();
    // Reads output until standard output contains `text`; false when the
    // output ended or `timeoutMs` passed first.
    bool waitForOutput(const std::string& text, int timeoutMs);
    // Reads both outputs to their end and reaps the child. Returns its exit
    // status (128 + the signal when a signal ended it), or -1 when it did not
    // end within `timeoutMs` (it is then killed).
    int finish(int timeoutMs);

    pid_t pid() const { return child; }

    std::string out;  // standard output so far
    std::string err;  // standard error so far

private:
    // Reads what is available within `timeoutMs`; false once both outputs ended.
    bool readSome(int timeoutMs);

    pid_t child = -1;
    int input = -1;
    int output = -1;
    int errors = -1;
};

// A private copy of the service: `dir`/bin/`name` and an empty home
// directory `dir`/home. The copy makes the executable's directory, where the
// service writes its status documents, the test's own.
struct ServiceFiles {
    // Copies the built binary; false when it cannot.
    bool create(const std::string& dir, const std::string& name = "orvantisd");

    std::string binDir;
    std::string binary;
    std::string home;
};

// Installs the test module as "crash.so" in `binDir`/plugins, set to crash
// in `call`: "Load", or, about a second after the start, "Write", "Read" (a
// worker) or "thread" (a thread of the module's own), by an invalid access
// or, with `by` "overflow", by overflowing its stack. False on failure.
bool InstallCrashingModule(const std::string& binDir, const std::string& call, const std::string& by = "access");
// The line the service logs when that module crashes in `call`.
std::string CrashLine(const std::string& call);

// Milliseconds of the monotonic clock.
long long NowMs();
// The target of a symbolic link such as /proc/<pid>/cwd, or empty.
std::string LinkTarget(const std::string& link);
// The whole content of a file, or empty.
std::string FileContent(const std::string& path);
// True while `pid` exists and is not a zombie.
bool IsRunning(pid_t pid);
// The parent of `pid`, or -1 when there is no such process.
pid_t ParentOf(pid_t pid);
