#include "app/crash_report.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "modules/module_images.h"
#include "pt/signal_stack.h"

namespace {

const int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
const char* const kSignalNames[] = {"SIGSEGV", "SIGBUS", "SIGILL", "SIGFPE", "SIGABRT"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const int kCrashStatusBase = 128;

// Set on the main thread by install and watchStartup, before any thread of
// the Core exists; only read by the handler.
CrashReport::Destination destination = CrashReport::Destination::StandardError;
const char* identity = "";
int logSocket = -1;          // datagram socket to /dev/log (daemon only)
sockaddr_un logAddress;      // /dev/log, to connect again after the logger restarted
long utcOffsetSeconds = 0;   // local time at install; the handler cannot ask the time-zone code
int statusPipe = -1;         // the launcher's status pipe, or -1
// The main thread's alternate signal stack, kept for the process's life (the
// library's threads have their own).
pt::signal_stack* mainThreadStack = nullptr;

// Lock-free, so the handler may use them.
std::atomic<bool> statusClaimed{false};  // the one start-up status is taken
std::atomic<bool> reporting{false};      // a thread is writing its report
static_assert(std::atomic<bool>::is_always_lock_free, "the handler needs lock-free flags");

// A line assembled in a caller's buffer without allocating; what does not
// fit is dropped, one byte always stays free for a terminator.
struct Line {
    char* data;
    size_t size;
    size_t length;

    void byte(char c)
    {
        if (length + 1 < size)
            data[length++] = c;
    }
    // Control bytes (a file name may hold any) would break the line.
    void text(const char* s)
    {
        for (; *s; ++s)
            byte(static_cast<unsigned char>(*s) < 0x20 ? '?' : *s);
    }
    void number(long value, int width = 0, char pad = ' ')
    {
        char digits[24];
        int count = 0;
        unsigned long magnitude = value < 0 ? 0ul - static_cast<unsigned long>(value) : value;
        do {
            digits[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude);
        if (value < 0)
            digits[count++] = '-';
        for (int i = count; i < width; ++i)
            byte(pad);
        while (count)
            byte(digits[--count]);
    }
};

// Month (1-12) and day of a count of days since 1970-01-01 (proleptic
// Gregorian calendar, counted in 400-year eras).
void MonthAndDay(long days, unsigned* month, unsigned* day)
{
    days += 719468;
    const long era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    *day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    *month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
}

// "Mmm dd hh:mm:ss" in local time, as the system log's records carry it.
void Timestamp(Line& out)
{
    const long local = static_cast<long>(time(nullptr)) + utcOffsetSeconds;
    long days = local / 86400;
    long seconds = local % 86400;
    if (seconds < 0) {
        seconds += 86400;
        --days;
    }
    unsigned month, day;
    MonthAndDay(days, &month, &day);
    out.text(kMonths[month - 1]);
    out.byte(' ');
    out.number(day, 2, ' ');
    out.byte(' ');
    out.number(seconds / 3600, 2, '0');
    out.byte(':');
    out.number(seconds / 60 % 60, 2, '0');
    out.byte(':');
    out.number(seconds % 60, 2, '0');
}

void WriteAll(int fd, const char* data, size_t length)
{
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written <= 0)
            return;
        data += written;
        length -= static_cast<size_t>(written);
    }
}

bool SendRecord(const char* record, size_t length)
{
    if (logSocket < 0)
        return false;
    const int flags = MSG_NOSIGNAL | MSG_DONTWAIT;
    if (send(logSocket, record, length, flags) >= 0)
        return true;
    // The logger may have restarted since install: its socket is a new one.
    return connect(logSocket, reinterpret_cast<const sockaddr*>(&logAddress), sizeof logAddress) == 0 &&
           send(logSocket, record, length, flags) >= 0;
}

// One record "<pri>Mmm dd hh:mm:ss tag[pid]: line" at daemon.crit, or, like
// the system log's console fallback, "tag[pid]: line\r\n" on the console.
void ToSystemLog(const char* line)
{
    char record[1024];
    Line out = {record, sizeof record, 0};
    out.byte('<');
    out.number(LOG_DAEMON | LOG_CRIT);
    out.byte('>');
    Timestamp(out);
    out.byte(' ');
    const size_t tagStart = out.length;
    out.text(identity);
    out.byte('[');
    out.number(getpid());
    out.text("]: ");
    out.text(line);
    if (SendRecord(record, out.length))
        return;
    int console = open("/dev/console", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (console < 0)
        return;
    out.text("\r\n");
    WriteAll(console, record + tagStart, out.length - tagStart);
    close(console);
}

void ToLauncher(int signal)
{
    if (statusPipe < 0 || statusClaimed.exchange(true))
        return;
    const int status = CrashReport::StartupStatus(signal);
    WriteAll(statusPipe, reinterpret_cast<const char*>(&status), sizeof status);
}

// The entry point the thread is in; outside any, the module whose code the
// thread ran when the signal came (a thread of the module's own), if any.
EntryCall Attribute(const void* context)
{
    EntryCall call = CurrentEntryCall();
    if (!call.module && context) {
        const ucontext_t* interrupted = static_cast<const ucontext_t*>(context);
        call.module = FindModuleImage(static_cast<uintptr_t>(interrupted->uc_mcontext.gregs[REG_RIP]));
        call.entry = nullptr;
    }
    return call;
}

void OnFatalSignal(int signal, siginfo_t*, void* context)
{
    // One report per process: a second crashing thread waits for the first
    // to end the process.
    if (reporting.exchange(true)) {
        for (;;)
            pause();
    }
    char line[512];
    // One byte spare for the line end.
    const size_t length = CrashReport::FormatLine(line, sizeof line - 1, signal, Attribute(context));
    if (destination == CrashReport::Destination::SystemLog) {
        ToSystemLog(line);
    } else {
        line[length] = '\n';
        WriteAll(STDERR_FILENO, line, length + 1);
    }
    ToLauncher(signal);
    // The default action (core dump, termination) follows once the handler
    // returns and the signal, blocked while it runs, is delivered again.
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    raise(signal);
}

}  // namespace

namespace CrashReport {

void install(Destination where, const char* tag)
{
    destination = where;
    identity = tag;
    const time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local))
        utcOffsetSeconds = local.tm_gmtoff;
    if (where == Destination::SystemLog && logSocket < 0) {
        logAddress = {};
        logAddress.sun_family = AF_UNIX;
        strncpy(logAddress.sun_path, "/dev/log", sizeof logAddress.sun_path - 1);
        logSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        // A logger that is not there yet is looked for again at the crash.
        if (logSocket >= 0)
            connect(logSocket, reinterpret_cast<const sockaddr*>(&logAddress), sizeof logAddress);
    }
    if (!mainThreadStack)
        mainThreadStack = new pt::signal_stack;
    struct sigaction action = {};
    action.sa_sigaction = OnFatalSignal;
    // On the alternate stack: a thread whose stack overflowed has no room
    // left on its own.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    // A launcher that has gone makes the status write raise SIGPIPE, which
    // must not end the process before the fatal signal does.
    sigaddset(&action.sa_mask, SIGPIPE);
    for (int signal : kFatalSignals)
        sigaction(signal, &action, nullptr);
}

void watchStartup(int pipe)
{
    statusPipe = pipe;
}

bool claimStartupStatus()
{
    return !statusClaimed.exchange(true);
}

int StartupStatus(int signal)
{
    return kCrashStatusBase + signal;
}

int SignalOfStatus(int status)
{
    return SignalName(status - kCrashStatusBase) ? status - kCrashStatusBase : 0;
}

const char* SignalName(int signal)
{
    for (size_t i = 0; i < sizeof kFatalSignals / sizeof kFatalSignals[0]; ++i)
        if (kFatalSignals[i] == signal)
            return kSignalNames[i];
    return nullptr;
}

size_t FormatLine(char* buffer, size_t size, int signal, const EntryCall& call)
{
    Line out = {buffer, size, 0};
    const char* name = SignalName(signal);
    out.text("Fatal signal ");
    out.number(signal);
    out.text(" (");
    out.text(name ? name : "unknown");
    out.text(") ");
    if (call.module) {
        out.text("in plugin ");
        out.text(call.module);
        if (call.entry) {
            out.text(", entry point ");
            out.text(call.entry);
        } else {
            out.text(", outside any entry point");
        }
    } else {
        out.text("in the service itself");
    }
    buffer[out.length] = '\0';
    return out.length;
}

}  // namespace CrashReport
