// The configurable test module: one source, built into several shared
// libraries (see CMakeLists.txt), that tests copy under any file name into a
// "plugins" or "protected-plugins" directory.
//
// CONFIGURATION. At Load the module reads "<its own path>.conf" (the path the
// library was opened with, found through dladdr). Lines are "key = value";
// blank lines and lines starting with '#' are ignored; numbers are decimal or
// 0x-hex; a repeated key keeps its last value, except "send", which adds one
// scripted send per line. A missing file means every default.
//
//   id = 0x1000                 module_id (default 0x1000)
//   mask0 .. mask8 = 0          class_mask[0..8]
//   wants_ioctl_worker = 0      the three flag bytes of ModuleInfo
//   wants_read_worker = 0
//   accepts_write = 0
//   load_result = 0             what Load returns
//   load_error = 0              ModuleInfo.load_error
//   load_throws = 0             1: Load throws a C++ exception
//   load_sleep_ms = 0           Load sleeps this long first
//   open_result = 0             what Open returns
//   open_sleep_ms = 0
//   close_result = 0            what Close returns
//   write_keeps = 0             1: Write sets keeps_buffer for every non-null payload
//   ioctl_keeps = 0             1: payload notices set keeps_buffer for every non-null payload
//   write_sleep_ms = 0          Write sleeps this long before returning ...
//   write_sleep_event = 0       ... only for this event (0: every Write)
//   release_event = 0           a Write with this event releases every payload
//                               kept so far (one 0x200 message each, source = id)
//   release_twice = 0           1: ... and then releases each of them once more
//   block_until_close = 0       1: Read and the IOCTL worker call return only
//                               once Close has been called
//   worker_never_returns = 0    1: Read and the IOCTL worker call never return
//   return_delay_ms = 0         Read and the IOCTL worker call sleep this long
//                               before returning (after block_until_close)
//   read_wait_event = 0         Read waits for a Write of this event before its sends
//   thread_interval_ms = 0      >0: a thread of the module's own, started at Load,
//                               runs the "thread" sends every interval ...
//   thread_count = 0            ... this many times (0: until Unload)
//   thread_survives_unload = 0  1: Unload leaves that thread running (use the
//                               resident variant, whose code stays mapped)
//   alloc_bytes = 0             size of a block allocated and never touched ...
//   alloc_event = 0             ... at Load (0) or on a Write of this event
//   free_event = 0              a Write of this event frees that block
//   crash_in =                  Load, Open, Write, Read, IOCTL (the worker call),
//                               Close, Unload or thread: that call (the own
//                               thread: its first round) makes an invalid memory
//                               access (SIGSEGV) after its call-log line; Read
//                               and IOCTL only once they would return
//   crash_by = access           access, or overflow: that call recurses until
//                               its thread's stack is exhausted (also SIGSEGV)
//
//   send = <when> key=value ...
//     when: load, open, close, unload, write (a Write), notice (a payload
//       notice), ioctl (the IOCTL worker call), read, thread, destructor (the
//       library's destructor, with the callback that Load received)
//     flags=0 event=0 source=<id> request=0|same (same: the Read's request id)
//     payload=<text, no spaces> | payload_hex=<hex bytes> | payload_size=<n>
//       (n bytes: byte i is (i * 7 + 1) & 0xff) | nodata=1 (data null)
//     length=<n>   overrides the length field (with any data)
//     data=freed | data=stack   the data pointer is a block already freed, or
//                  a buffer on the sending thread's stack (for release commands)
//     count=1      sends the message this many times
//     on_event=<e> with when=write: only for a Write of this event
//     round=<n>    with when=thread: only in the thread's n-th run (from 1)
//   The payload is a malloc'ed buffer that the module overwrites and frees as
//   soon as the callback returns.
//
// CALL LOG. Every call appends one line to "<its own path>.log" (O_APPEND, one
// write per line, under a lock). A line is the entry name followed by
// space-separated key=value tokens; ids, flags, events and pointers are 0x-hex,
// other numbers decimal; a payload is its bytes in hex ("-" for none, or
// "fnv:<hash>" above 4096 bytes). Every line has tid (kernel thread id),
// ms (CLOCK_MONOTONIC milliseconds) and seq (per library, from 1).
//
//   Load size version core callback info_size info_version info_zero rc
//   Open size version zero rsize rversion rc
//   Close size version reserved rsize rversion rresult rc
//   Unload size version rsize rversion rresult rc
//   Write size version code on_worker length data source request flags event
//         body payload rsize rversion rzero keeps
//   IOCTL code size version ref_size ref_version length data payload rsize
//         rversion rcode rreserved rkeeps rnested_size rnested_version keeps
//   IOCTLEnd code           (the IOCTL worker call returns)
//   Read size version code on_worker length data request payload rsize rversion rzero
//   ReadEnd request
//   Seek
//   Send from flags event source request length data result rc
//   Release data result
//   Alloc bytes ptr / Free ptr / ThreadStart / ThreadEnd
//
// EXTENDING. Add a key: read it with Config::number("key", default) (or
// Config::text) where it is needed and document it above. Add a trigger for
// sends: call RunSends("name", ...) at that point.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "routing/message_api.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

#ifdef ORV_TEST_MODULE_MISSING_DEPENDENCY
extern "C" int orv_test_absent_dependency(void);
#endif

namespace {

// ---- configuration ---------------------------------------------------------

struct Send {
    std::string when;
    std::map<std::string, std::string> keys;
};

struct Config {
    std::map<std::string, std::string> values;
    std::vector<Send> sends;

    int64_t number(const std::string& key, int64_t fallback = 0) const
    {
        auto it = values.find(key);
        return it == values.end() ? fallback : static_cast<int64_t>(std::strtoull(it->second.c_str(), nullptr, 0));
    }
    std::string text(const std::string& key, const std::string& fallback = "") const
    {
        auto it = values.find(key);
        return it == values.end() ? fallback : it->second;
    }
};

std::string Trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    size_t e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

Send ParseSend(const std::string& value)
{
    Send send;
    std::istringstream in(value);
    in >> send.when;
    std::string token;
    while (in >> token) {
        size_t eq = token.find('=');
        if (eq != std::string::npos)
            send.keys[token.substr(0, eq)] = token.substr(eq + 1);
    }
    return send;
}

Config ReadConfig(const std::string& path)
{
    Config config;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = Trim(line.substr(0, eq));
        std::string value = Trim(line.substr(eq + 1));
        if (key == "send")
            config.sends.push_back(ParseSend(value));
        else
            config.values[key] = value;
    }
    return config;
}

// ---- module state ----------------------------------------------------------

std::string ownPath;     // set at Load, before any other call or thread
Config config;           // read-only after Load
OrvCallback callback = nullptr;
uint64_t moduleId = 0;

std::mutex logLock;
uint64_t logSeq = 0;     // guarded by logLock

std::mutex stateLock;
std::condition_variable stateChanged;
bool closed = false;                 // guarded by stateLock
bool stopThread = false;             // guarded by stateLock
std::vector<uint64_t> writtenEvents; // guarded by stateLock
std::vector<void*> kept;             // guarded by stateLock
void* block = nullptr;               // guarded by stateLock

pthread_t ownThread;
bool ownThreadStarted = false;       // main thread only (Load, Unload)

// ---- log -------------------------------------------------------------------

int64_t NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string Hex(uint64_t v)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%" PRIx64, v);
    return buffer;
}

std::string Ptr(const void* p)
{
    return Hex(reinterpret_cast<uintptr_t>(p));
}

std::string Bytes(const void* data, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::string Payload(const void* data, int32_t length)
{
    if (!data || length <= 0)
        return "-";
    if (length > 4096) {
        uint64_t hash = 1469598103934665603ull;
        const unsigned char* p = static_cast<const unsigned char*>(data);
        for (int32_t i = 0; i < length; ++i)
            hash = (hash ^ p[i]) * 1099511628211ull;
        return "fnv:" + Hex(hash);
    }
    return Bytes(data, static_cast<size_t>(length));
}

bool AllZero(const void* data, size_t from, size_t to)
{
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = from; i < to; ++i)
        if (p[i])
            return false;
    return true;
}

// Appends "<entry> tid= ms= seq= <fields>" to the call log.
void Log(const std::string& entry, const std::string& fields)
{
    std::lock_guard<std::mutex> guard(logLock);
    std::string line = entry + " tid=" + std::to_string(syscall(SYS_gettid)) + " ms=" + std::to_string(NowMs()) +
                       " seq=" + std::to_string(++logSeq) + (fields.empty() ? "" : " " + fields) + "\n";
    int fd = open((ownPath + ".log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t written = write(fd, line.data(), line.size());
    (void)written;
    close(fd);
}

std::string Field(const char* key, const std::string& value)
{
    return std::string(key) + "=" + value + " ";
}

std::string Field(const char* key, int64_t value)
{
    return Field(key, std::to_string(value));
}

// ---- sends -----------------------------------------------------------------

std::string Key(const Send& send, const char* key, const std::string& fallback = "")
{
    auto it = send.keys.find(key);
    return it == send.keys.end() ? fallback : it->second;
}

uint64_t KeyNumber(const Send& send, const char* key, uint64_t fallback)
{
    std::string v = Key(send, key);
    return v.empty() ? fallback : std::strtoull(v.c_str(), nullptr, 0);
}

std::vector<unsigned char> SendPayload(const Send& send)
{
    std::vector<unsigned char> bytes;
    std::string text = Key(send, "payload");
    std::string hex = Key(send, "payload_hex");
    std::string size = Key(send, "payload_size");
    if (!text.empty()) {
        bytes.assign(text.begin(), text.end());
    } else if (!hex.empty()) {
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            bytes.push_back(static_cast<unsigned char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    } else if (!size.empty()) {
        size_t n = std::strtoull(size.c_str(), nullptr, 0);
        for (size_t i = 0; i < n; ++i)
            bytes.push_back(static_cast<unsigned char>((i * 7 + 1) & 0xff));
    }
    return bytes;
}

int32_t SendMessage(const Message& message, const std::string& from)
{
    MessageResult result = {sizeof(MessageResult), 1, 0x7777};
    int32_t rc = callback(&message, &result);
    Log("Send", Field("from", from) + Field("flags", Hex(message.flags)) + Field("event", Hex(message.event)) +
                    Field("source", Hex(message.source_id)) + Field("request", Hex(message.request_id)) +
                    Field("length", message.length) + Field("data", Ptr(message.data)) +
                    Field("result", result.result) + Field("rc", rc));
    return result.result;
}

// The address of a block that has just been freed.
void* FreedAddress()
{
    void* block = std::malloc(16);
    // Kept as a number: the block is never touched again.
    volatile uintptr_t address = reinterpret_cast<uintptr_t>(block);
    std::free(block);
    return reinterpret_cast<void*>(address);
}

void SendOne(const Send& send, const std::string& from, uint64_t requestId)
{
    std::vector<unsigned char> bytes = SendPayload(send);
    Message message;
    std::memset(&message, 0, sizeof message);
    message.size = sizeof(Message);
    message.version = 1;
    message.source_id = KeyNumber(send, "source", moduleId);
    std::string request = Key(send, "request", "0");
    message.request_id = request == "same" ? requestId : std::strtoull(request.c_str(), nullptr, 0);
    message.flags = KeyNumber(send, "flags", 0);
    message.event = KeyNumber(send, "event", 0);
    void* buffer = nullptr;
    if (!bytes.empty() && Key(send, "nodata") != "1") {
        buffer = std::malloc(bytes.size());
        std::memcpy(buffer, bytes.data(), bytes.size());
    }
    message.data = buffer;
    message.length = static_cast<int32_t>(KeyNumber(send, "length", bytes.size()));
    unsigned char stack[16] = {0};
    const std::string pointer = Key(send, "data");
    if (pointer == "stack") {
        message.data = stack;
    } else if (pointer == "freed") {
        message.data = FreedAddress();
    }
    SendMessage(message, from);
    // The Core must have copied what it keeps.
    if (buffer) {
        std::memset(buffer, 0xDD, bytes.size());
        std::free(buffer);
    }
}

// Runs the scripted sends of trigger `when`; `event` filters sends from Write.
void RunSends(const std::string& when, uint64_t requestId = 0, uint64_t event = 0, uint64_t round = 0)
{
    for (const Send& send : config.sends) {
        if (send.when != when)
            continue;
        std::string onEvent = Key(send, "on_event");
        if (!onEvent.empty() && std::strtoull(onEvent.c_str(), nullptr, 0) != event)
            continue;
        std::string onRound = Key(send, "round");
        if (!onRound.empty() && std::strtoull(onRound.c_str(), nullptr, 0) != round)
            continue;
        uint64_t count = KeyNumber(send, "count", 1);
        for (uint64_t i = 0; i < count; ++i)
            SendOne(send, when, requestId);
    }
}

void ReleaseKept()
{
    std::vector<void*> payloads;
    {
        std::lock_guard<std::mutex> guard(stateLock);
        payloads.swap(kept);
    }
    if (config.number("release_twice"))
        payloads.insert(payloads.end(), payloads.begin(), payloads.end());
    for (void* payload : payloads) {
        Message message;
        std::memset(&message, 0, sizeof message);
        message.size = sizeof(Message);
        message.version = 1;
        message.flags = ORV_CMD_RELEASE;
        message.data = payload;
        message.source_id = moduleId;
        MessageResult result = {sizeof(MessageResult), 1, 0x7777};
        callback(&message, &result);
        Log("Release", Field("data", Ptr(payload)) + Field("result", result.result));
    }
}

// ---- crashes ---------------------------------------------------------------

// A real invalid access rather than a raised signal, unseen by the
// sanitizers' checks so that it reaches the service's handler as a fault.
__attribute__((no_sanitize("address", "undefined"))) void Fault()
{
    volatile uintptr_t address = 16;
    *reinterpret_cast<volatile int*>(address) = 1;
}

// Recurses with a page of locals per level until the stack's guard page is
// hit; `depth` only keeps the compiler from seeing an endless recursion.
__attribute__((noinline, no_sanitize("address", "undefined"))) int Overflow(uint64_t depth)
{
    volatile char frame[4096];
    frame[0] = static_cast<char>(depth);
    if (depth == UINT64_MAX)
        return frame[0];
    return Overflow(depth + 1) + frame[0];
}

void CrashIfAsked(const char* call)
{
    if (config.text("crash_in") != call)
        return;
    if (config.text("crash_by") == "overflow")
        Overflow(0);
    Fault();
}

// ---- blocking behaviours ---------------------------------------------------

void WorkerBlocking()
{
    if (config.number("worker_never_returns")) {
        for (;;)
            pause();
    }
    if (config.number("block_until_close")) {
        std::unique_lock<std::mutex> guard(stateLock);
        stateChanged.wait(guard, [] { return closed; });
    }
    const int64_t delay = config.number("return_delay_ms");
    if (delay > 0)
        usleep(static_cast<useconds_t>(delay) * 1000);
}

void WaitForWrittenEvent(uint64_t event)
{
    std::unique_lock<std::mutex> guard(stateLock);
    stateChanged.wait(guard, [event] {
        for (uint64_t e : writtenEvents)
            if (e == event)
                return true;
        return false;
    });
}

void Allocate()
{
    size_t bytes = static_cast<size_t>(config.number("alloc_bytes"));
    void* p = std::malloc(bytes);
    {
        std::lock_guard<std::mutex> guard(stateLock);
        std::free(block);
        block = p;
    }
    Log("Alloc", Field("bytes", static_cast<int64_t>(bytes)) + Field("ptr", Ptr(p)));
}

void FreeBlock()
{
    void* p;
    {
        std::lock_guard<std::mutex> guard(stateLock);
        p = block;
        block = nullptr;
    }
    const std::string freed = Ptr(p);
    std::free(p);
    Log("Free", Field("ptr", freed));
}

void* ThreadBody(void*)
{
    Log("ThreadStart", "");
    const int64_t interval = config.number("thread_interval_ms");
    const int64_t count = config.number("thread_count");
    for (int64_t round = 0; count == 0 || round < count; ++round) {
        {
            std::unique_lock<std::mutex> guard(stateLock);
            if (stateChanged.wait_for(guard, std::chrono::milliseconds(interval), [] { return stopThread; }))
                break;
        }
        CrashIfAsked("thread");
        RunSends("thread", 0, 0, static_cast<uint64_t>(round + 1));
    }
    Log("ThreadEnd", "");
    return nullptr;
}

void Sleep(int64_t ms)
{
    if (ms > 0)
        usleep(static_cast<useconds_t>(ms) * 1000);
}

void FillInfo(ModuleInfo* info)
{
    info->module_id = moduleId;
    for (int i = 0; i < 9; ++i)
        info->class_mask[i] = static_cast<uint64_t>(config.number("mask" + std::to_string(i)));
    info->wants_ioctl_worker = static_cast<uint8_t>(config.number("wants_ioctl_worker"));
    info->wants_read_worker = static_cast<uint8_t>(config.number("wants_read_worker"));
    info->accepts_write = static_cast<uint8_t>(config.number("accepts_write"));
    info->load_error = static_cast<int32_t>(config.number("load_error"));
}

bool Keep(void* data, const char* key)
{
    if (!data || !config.number(key))
        return false;
    std::lock_guard<std::mutex> guard(stateLock);
    kept.push_back(data);
    return true;
}

// False once the static objects above are destroyed. At process exit that
// happens before the library's destructor runs (at dlclose, after it), so
// this flag, defined after them, goes first.
bool staticsAlive = true;
struct StaticsGuard {
    ~StaticsGuard() { staticsAlive = false; }
} staticsGuard;

// A module may call the callback it was given for as long as its code is
// mapped, also after Unload.
__attribute__((destructor)) void SendFromDestructor()
{
    if (callback && staticsAlive)
        RunSends("destructor");
}

}  // namespace

// ---- entry points ----------------------------------------------------------

// The variant without "Load" exports the same function as "load": symbol
// names are case-sensitive.
#ifdef ORV_TEST_MODULE_NO_LOAD
#define ORV_LOAD_NAME load
#else
#define ORV_LOAD_NAME Load
#endif

EXPORT int32_t ORV_LOAD_NAME(void* in, void* out)
{
    Dl_info self;
    if (dladdr(reinterpret_cast<void*>(&ORV_LOAD_NAME), &self) && self.dli_fname)
        ownPath = self.dli_fname;
    config = ReadConfig(ownPath + ".conf");
    moduleId = static_cast<uint64_t>(config.number("id", 0x1000));
    LoadArgs* args = static_cast<LoadArgs*>(in);
    ModuleInfo* info = static_cast<ModuleInfo*>(out);
    callback = args->callback;
    const bool zero = AllZero(info, 8, sizeof(ModuleInfo));
    const uint32_t infoSize = info->size;
    const uint32_t infoVersion = info->version;
#ifdef ORV_TEST_MODULE_MISSING_DEPENDENCY
    orv_test_absent_dependency();
#endif
    Sleep(config.number("load_sleep_ms"));
    FillInfo(info);
    int32_t rc = static_cast<int32_t>(config.number("load_result"));
    Log("Load", Field("size", args->size) + Field("version", args->version) + Field("core", Ptr(args->core)) +
                    Field("callback", Ptr(reinterpret_cast<void*>(args->callback))) + Field("info_size", infoSize) +
                    Field("info_version", infoVersion) + Field("info_zero", zero ? 1 : 0) + Field("rc", rc));
    CrashIfAsked("Load");
    if (config.number("load_throws"))
        throw std::runtime_error("Load failed on purpose");
    if (config.number("alloc_bytes") && !config.number("alloc_event"))
        Allocate();
    RunSends("load");
    if (config.number("thread_interval_ms") > 0) {
        pthread_create(&ownThread, nullptr, &ThreadBody, nullptr);
        ownThreadStarted = true;
    }
    return rc;
}

EXPORT int32_t Open(void* in, void* out)
{
    OpenArgs* args = static_cast<OpenArgs*>(in);
    OpenReply* reply = static_cast<OpenReply*>(out);
    Sleep(config.number("open_sleep_ms"));
    int32_t rc = static_cast<int32_t>(config.number("open_result"));
    Log("Open", Field("size", args->size) + Field("version", args->version) +
                    Field("zero", AllZero(args, 8, sizeof(OpenArgs)) ? 1 : 0) + Field("rsize", reply->size) +
                    Field("rversion", reply->version) + Field("rc", rc));
    CrashIfAsked("Open");
    RunSends("open");
    return rc;
}

EXPORT int32_t Close(void* in, void* out)
{
    CloseArgs* args = static_cast<CloseArgs*>(in);
    CloseReply* reply = static_cast<CloseReply*>(out);
    int32_t rc = static_cast<int32_t>(config.number("close_result"));
    Log("Close", Field("size", args->size) + Field("version", args->version) + Field("reserved", args->reserved) +
                     Field("rsize", reply->size) + Field("rversion", reply->version) +
                     Field("rresult", reply->result) + Field("rc", rc));
    CrashIfAsked("Close");
    RunSends("close");
    {
        std::lock_guard<std::mutex> guard(stateLock);
        closed = true;
    }
    stateChanged.notify_all();
    return rc;
}

EXPORT int32_t Unload(void* in, void* out)
{
    UnloadArgs* args = static_cast<UnloadArgs*>(in);
    UnloadReply* reply = static_cast<UnloadReply*>(out);
    Log("Unload", Field("size", args->size) + Field("version", args->version) + Field("rsize", reply->size) +
                      Field("rversion", reply->version) + Field("rresult", reply->result) + Field("rc", 0));
    CrashIfAsked("Unload");
    RunSends("unload");
    if (ownThreadStarted && !config.number("thread_survives_unload")) {
        {
            std::lock_guard<std::mutex> guard(stateLock);
            stopThread = true;
        }
        stateChanged.notify_all();
        pthread_join(ownThread, nullptr);
        ownThreadStarted = false;
    }
    {
        std::lock_guard<std::mutex> guard(stateLock);
        std::free(block);
        block = nullptr;
    }
    return 0;
}

#ifndef ORV_TEST_MODULE_BARE
EXPORT int32_t Write(void* in, void* out)
{
    WriteArgs* args = static_cast<WriteArgs*>(in);
    WriteReply* reply = static_cast<WriteReply*>(out);
    const bool zero = AllZero(reply, 8, sizeof(WriteReply));
    const uint32_t rsize = reply->size;
    const uint32_t rversion = reply->version;
    const bool keeps = Keep(args->data, "write_keeps");
    reply->keeps_buffer = keeps ? 1 : 0;
    Log("Write", Field("size", args->size) + Field("version", args->version) + Field("code", args->code) +
                     Field("on_worker", args->on_worker) + Field("length", args->length) +
                     Field("data", Ptr(args->data)) + Field("source", Hex(args->source_id)) +
                     Field("request", Hex(args->request_id)) + Field("flags", Hex(args->flags)) +
                     Field("event", Hex(args->event)) + Field("body", Bytes(args->body, sizeof args->body)) +
                     Field("payload", Payload(args->data, args->length)) + Field("rsize", rsize) +
                     Field("rversion", rversion) + Field("rzero", zero ? 1 : 0) + Field("keeps", keeps ? 1 : 0));
    CrashIfAsked("Write");
    {
        std::lock_guard<std::mutex> guard(stateLock);
        writtenEvents.push_back(args->event);
    }
    stateChanged.notify_all();
    const uint64_t event = args->event;
    if (config.number("alloc_event") && static_cast<uint64_t>(config.number("alloc_event")) == event)
        Allocate();
    if (config.number("free_event") && static_cast<uint64_t>(config.number("free_event")) == event)
        FreeBlock();
    if (config.number("release_event") && static_cast<uint64_t>(config.number("release_event")) == event)
        ReleaseKept();
    RunSends("write", 0, event);
    const uint64_t sleepEvent = static_cast<uint64_t>(config.number("write_sleep_event"));
    if (sleepEvent == 0 || sleepEvent == event)
        Sleep(config.number("write_sleep_ms"));
    return 0;
}

EXPORT int32_t Read(void* in, void* out)
{
    ReadArgs* args = static_cast<ReadArgs*>(in);
    ReadReply* reply = static_cast<ReadReply*>(out);
    Log("Read", Field("size", args->size) + Field("version", args->version) + Field("code", args->code) +
                    Field("on_worker", args->on_worker) + Field("length", args->length) +
                    Field("data", Ptr(args->data)) + Field("request", Hex(args->request_id)) +
                    Field("payload", Payload(args->data, args->length)) + Field("rsize", reply->size) +
                    Field("rversion", reply->version) + Field("rzero", AllZero(reply, 8, sizeof(ReadReply)) ? 1 : 0));
    if (config.number("read_wait_event"))
        WaitForWrittenEvent(static_cast<uint64_t>(config.number("read_wait_event")));
    RunSends("read", args->request_id);
    WorkerBlocking();
    CrashIfAsked("Read");
    Log("ReadEnd", Field("request", Hex(args->request_id)));
    return 0;
}

EXPORT int32_t Seek(void*, void*)
{
    Log("Seek", "");
    return 0;
}

EXPORT int32_t IOCTL(void* in, void* out)
{
    IoctlArgs* args = static_cast<IoctlArgs*>(in);
    IoctlReply* reply = static_cast<IoctlReply*>(out);
    const PayloadRef& ref = args->payload;
    const bool notice = args->code != ORV_IOCTL_WORKER;
    std::string fields = Field("code", args->code) + Field("size", args->size) + Field("version", args->version) +
                         Field("ref_size", ref.size) + Field("ref_version", ref.version) +
                         Field("length", ref.length) + Field("data", Ptr(ref.data)) +
                         Field("payload", Payload(ref.data, ref.length)) + Field("rsize", reply->size) +
                         Field("rversion", reply->version) + Field("rcode", reply->code) +
                         Field("rreserved", reply->reserved) + Field("rkeeps", reply->keeps_buffer) +
                         Field("rnested_size", reply->nested_size) + Field("rnested_version", reply->nested_version);
    const bool keeps = notice && Keep(ref.data, "ioctl_keeps");
    reply->keeps_buffer = keeps ? 1 : 0;
    Log("IOCTL", fields + Field("keeps", keeps ? 1 : 0));
    if (notice) {
        RunSends("notice");
        return 0;
    }
    RunSends("ioctl");
    WorkerBlocking();
    CrashIfAsked("IOCTL");
    Log("IOCTLEnd", Field("code", args->code));
    return 0;
}
#endif
