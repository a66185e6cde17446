// The stress module: a receiver that checks every numbered stream it is
// given (tests/support/stress_stream.h), and optionally a request streamer.
// Unlike the configurable test module it logs nothing per call, so it keeps
// up with the service at full speed; it writes one report at Unload.
//
// CONFIGURATION ("<its own path>.conf", "key = value", numbers decimal or 0x-hex):
//   id = 0x2000          module_id
//   mask0, mask1 = 0     class_mask[0], class_mask[1]
//   accepts_write = 1
//   keep_every = 0       >0: keep every n-th payload it is given; a thread of
//                        its own releases what is kept every millisecond
//   stream = 0           1: wants Read workers; a Read on a request streams
//                        numbered payloads on it until Close or until a send
//                        is refused
//
// REPORT ("<its own path>.report", written at Unload and again when the
// library is unmapped), one "key value" a line:
//   delivered N / errors N / kept N / reads N / read_ends N / closed_ms T
//   stream <hex id> <count>     (one line per stream received)
// closed_ms is the CLOCK_MONOTONIC millisecond at which Close returned.
#include <dlfcn.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/stress_stream.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::string ownPath;
std::map<std::string, uint64_t> config;
OrvCallback callback = nullptr;
uint64_t moduleId = 0;

std::mutex lock;
std::map<uint64_t, uint64_t> nextSeq;  // guarded by lock: per stream, the next number expected
std::map<uint64_t, uint64_t> counts;   // guarded by lock
std::vector<void*> kept;               // guarded by lock
uint64_t delivered = 0;                // guarded by lock
uint64_t errors = 0;                   // guarded by lock
uint64_t keptTotal = 0;                // guarded by lock

std::atomic<bool> closed{false};
std::atomic<bool> stopReleaser{false};
std::atomic<int64_t> closedMs{0};
std::atomic<uint64_t> reads{0};
std::atomic<uint64_t> readEnds{0};
std::atomic<uint64_t> workerStreams{0};
pthread_t releaser;
bool releaserStarted = false;

uint64_t Setting(const char* key, uint64_t fallback = 0)
{
    auto it = config.find(key);
    return it == config.end() ? fallback : it->second;
}

void ReadConfig()
{
    std::ifstream in(ownPath + ".conf");
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = line.substr(0, eq);
        key.erase(key.find_last_not_of(" \t") + 1);
        config[key] = std::strtoull(line.c_str() + eq + 1, nullptr, 0);
    }
}

int64_t NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int32_t SendMessage(Message& message)
{
    MessageResult result = {sizeof(MessageResult), 1, 0};
    callback(&message, &result);
    return result.result;
}

void ReleaseKept()
{
    std::vector<void*> batch;
    {
        std::lock_guard<std::mutex> guard(lock);
        batch.swap(kept);
    }
    for (void* data : batch) {
        Message release = {};
        release.size = sizeof(Message);
        release.version = 1;
        release.data = data;
        release.source_id = moduleId;
        release.flags = ORV_CMD_RELEASE;
        SendMessage(release);
    }
}

void* ReleaserMain(void*)
{
    while (!stopReleaser.load()) {
        ReleaseKept();
        usleep(1000);
    }
    return nullptr;
}

// Checks one delivery; true when the receiver keeps the payload.
bool Receive(const WriteArgs& args)
{
    uint64_t stream, seq;
    stress::ReadStamp(args.body, stream, seq);
    const bool intact =
        stress::Intact(args.data, args.length, stream, seq, stress::Length(stream, seq, args.request_id != 0));
    const uint64_t every = Setting("keep_every");
    std::lock_guard<std::mutex> guard(lock);
    uint64_t& next = nextSeq[stream];
    if (seq != next || !intact)
        ++errors;
    next = seq + 1;
    ++counts[stream];
    ++delivered;
    if (every && args.data && delivered % every == 0) {
        kept.push_back(args.data);
        ++keptTotal;
        return true;
    }
    return false;
}

// Streams numbered payloads on `request` until Close or a refusal.
void Stream(uint64_t request)
{
    const uint64_t stream = (moduleId << 32) | ++workerStreams;
    std::vector<uint8_t> buffer(65536);
    for (uint64_t seq = 0; !closed.load(); ++seq) {
        Message message = {};
        message.size = sizeof(Message);
        message.version = 1;
        message.source_id = moduleId;
        message.request_id = request;
        message.flags = stress::kFlags;
        message.event = stress::kEvent;
        stress::Stamp(message.body, stream, seq);
        message.length = stress::Length(stream, seq, true);
        stress::Fill(buffer.data(), message.length, stream, seq);
        message.data = buffer.data();
        if (SendMessage(message) != ORV_RESULT_OK)
            break;
    }
}

void WriteReport()
{
    std::lock_guard<std::mutex> guard(lock);
    std::ofstream out(ownPath + ".report", std::ios::trunc);
    out << "delivered " << delivered << "\nerrors " << errors << "\nkept " << keptTotal << "\nreads " << reads.load()
        << "\nread_ends " << readEnds.load() << "\nclosed_ms " << closedMs.load() << "\n";
    for (const auto& entry : counts) {
        char line[64];
        std::snprintf(line, sizeof line, "stream 0x%" PRIx64 " %" PRIu64 "\n", entry.first, entry.second);
        out << line;
    }
}

// Written again when the library is unmapped, so the report shows whether
// every worker had left Read by then. Declared last: destroyed first.
struct FinalReport {
    ~FinalReport()
    {
        if (!ownPath.empty())
            WriteReport();
    }
} finalReport;

}  // namespace

EXPORT int32_t Load(void* in, void* out)
{
    const LoadArgs* args = static_cast<const LoadArgs*>(in);
    ModuleInfo* info = static_cast<ModuleInfo*>(out);
    Dl_info self;
    if (dladdr(reinterpret_cast<void*>(&Load), &self) && self.dli_fname)
        ownPath = self.dli_fname;
    ReadConfig();
    callback = args->callback;
    moduleId = Setting("id", 0x2000);
    info->module_id = moduleId;
    info->class_mask[0] = Setting("mask0");
    info->class_mask[1] = Setting("mask1");
    info->accepts_write = static_cast<uint8_t>(Setting("accepts_write", 1));
    info->wants_read_worker = static_cast<uint8_t>(Setting("stream"));
    releaserStarted = Setting("keep_every") && pthread_create(&releaser, nullptr, ReleaserMain, nullptr) == 0;
    return 0;
}

EXPORT int32_t Open(void*, void*)
{
    return 0;
}

EXPORT int32_t Close(void*, void*)
{
    closed = true;
    closedMs = NowMs();
    return 0;
}

EXPORT int32_t Unload(void*, void*)
{
    stopReleaser = true;
    if (releaserStarted)
        pthread_join(releaser, nullptr);
    ReleaseKept();
    WriteReport();
    return 0;
}

EXPORT int32_t Write(void* in, void* out)
{
    const WriteArgs* args = static_cast<const WriteArgs*>(in);
    WriteReply* reply = static_cast<WriteReply*>(out);
    reply->keeps_buffer = Receive(*args) ? 1 : 0;
    return 0;
}

EXPORT int32_t Read(void* in, void*)
{
    const ReadArgs* args = static_cast<const ReadArgs*>(in);
    if (args->request_id == 0)
        return 0;
    ++reads;
    Stream(args->request_id);
    ++readEnds;
    return 0;
}

EXPORT int32_t IOCTL(void*, void*)
{
    return 0;
}
