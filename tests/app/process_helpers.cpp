#include "app/process_helpers.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/test_module.h"

extern char** environ;

namespace {

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& changes)
{
    std::vector<std::string> merged;
    for (char** entry = environ; *entry; ++entry) {
        std::string variable(*entry);
        std::string name = variable.substr(0, variable.find('='));
        bool replaced = false;
        for (const std::string& change : changes)
            replaced = replaced || change.compare(0, name.size() + 1, name + "=") == 0;
        if (!replaced)
            merged.push_back(variable);
    }
    merged.insert(merged.end(), changes.begin(), changes.end());
    return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(&text[0]);
    pointers.push_back(nullptr);
    return pointers;
}

void CloseFd(int* fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

}  // namespace

Child::~Child()
{
    CloseFd(&input);
    if (child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    CloseFd(&output);
    CloseFd(&errors);
}

bool Child::start(const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& environment, const std::string& directory, bool inputPipe)
{
    int in[2] = {-1, -1}, out[2], err[2];
    if ((inputPipe && pipe2(in, O_CLOEXEC) != 0) || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return false;
    std::vector<std::string> argv = args;
    std::vector<std::string> envp = MergedEnvironment(environment);
    std::vector<char*> argvPointers = Pointers(argv);
    std::vector<char*> envpPointers = Pointers(envp);
    child = fork();
    if (child == 0) {
        int nullInput = inputPipe ? in[0] : open("/dev/null", O_RDONLY);
        dup2(nullInput, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (chdir(directory.c_str()) == 0)
            execve(program.c_str(), argvPointers.data(), envpPointers.data());
        _exit(127);
    }
    if (inputPipe)
        close(in[0]);
    close(out[1]);
    close(err[1]);
    input = in[1];
    output = out[0];
    errors = err[0];
    return child > 0;
}

bool Child::writeInput(const std::string& text)
{
    return input >= 0 && write(input, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void Child::closeInput()
{
    CloseFd(&input);
}

bool Child::readSome(int timeoutMs)
{
    struct pollfd fds[2] = {{output, POLLIN, 0}, {errors, POLLIN, 0}};
    if (output < 0 && errors < 0)
        return false;
    if (poll(fds, 2, timeoutMs) <= 0)
        return true;
    int* descriptors[2] = {&output, &errors};
    std::string* texts[2] = {&out, &err};
    for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        char buffer[4096];
        ssize_t length = read(*descriptors[i], buffer, sizeof(buffer));
        if (length > 0)
            texts[i]->append(buffer, static_cast<size_t>(length));
        else
            CloseFd(descriptors[i]);
    }
    return true;
}

bool Child::waitForOutput(const std::string& text, int timeoutMs)
{
    long long deadline = NowMs() + timeoutMs;
    while (out.find(text) == std::string::npos) {
        long long left = deadline - NowMs();
        if (left <= 0 || !readSome(static_cast<int>(left)))
            return false;
    }
    return true;
}

int Child::finish(int timeoutMs)
{
    // Never started (or already finished): without this, waitpid and kill
    // below would take -1 as "any child" and "every process".
    if (child <= 0)
        return -1;
    long long deadline = NowMs() + timeoutMs;
    while (NowMs() < deadline && readSome(static_cast<int>(deadline - NowMs()))) {
    }
    int status = 0;
    for (;;) {
        pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child)
            break;
        if (done < 0 || NowMs() >= deadline) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            child = -1;
            return -1;
        }
        usleep(5000);
    }
    child = -1;
    CloseFd(&output);
    CloseFd(&errors);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool ServiceFiles::create(const std::string& dir, const std::string& name)
{
    namespace fs = std::filesystem;
    binDir = dir + "/bin";
    binary = binDir + "/" + name;
    home = dir + "/home";
    std::error_code error;
    fs::create_directories(binDir, error);
    fs::create_directories(home, error);
    return fs::copy_file(ORV_TEST_BIN_DIR "/orvantisd", binary, error);
}

bool InstallCrashingModule(const std::string& binDir, const std::string& call, const std::string& by)
{
    const std::string later = call == "Write"  ? "accepts_write = 1\nmask2 = 0xFF\nthread_interval_ms = 1000\n"
                                                 "thread_count = 1\nsend = thread flags=0x04 event=0x5 payload=x\n"
                              : call == "Read" ? "wants_read_worker = 1\nreturn_delay_ms = 1000\n"
                              : call == "thread" ? "thread_interval_ms = 1000\n"
                                                 : "";
    std::error_code error;
    std::filesystem::create_directories(binDir + "/plugins", error);
    return testmodule::InstallModule(binDir + "/plugins/crash.so",
                                     "crash_in = " + call + "\ncrash_by = " + by + "\n" + later);
}

std::string CrashLine(const std::string& call)
{
    const std::string signal = "Fatal signal 11 (SIGSEGV) in ";
    return signal + "plugin crash.so, " + (call == "thread" ? "outside any entry point" : "entry point " + call);
}

long long NowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

std::string LinkTarget(const std::string& link)
{
    char target[PATH_MAX];
    ssize_t length = readlink(link.c_str(), target, sizeof(target));
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

std::string FileContent(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

namespace {

// The fields of /proc/<pid>/stat after the command name: state, parent, ...
std::string StatusFields(pid_t pid)
{
    std::string stat = FileContent("/proc/" + std::to_string(pid) + "/stat");
    size_t nameEnd = stat.rfind(") ");
    return nameEnd == std::string::npos ? std::string() : stat.substr(nameEnd + 2);
}

}  // namespace

bool IsRunning(pid_t pid)
{
    std::string fields = StatusFields(pid);
    return !fields.empty() && fields[0] != 'Z';
}

pid_t ParentOf(pid_t pid)
{
    std::string fields = StatusFields(pid);
    return fields.size() > 2 ? atoi(fields.c_str() + 2) : -1;
}
