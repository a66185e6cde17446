#include "supervision/host_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <wx/log.h>

#include "base/monotonic_clock.h"
#include "base/service_stats.h"
#include "base/thread_log.h"
#include "modules/entry_call.h"
#include "pt/mutex_lock.h"

namespace {

constexpr int64_t kSecondNs = 1000000000;

// The service's log level of a module's level.
wxLogLevel WxLevel(uint32_t level)
{
    switch (level) {
    case ORV_LOG_ERROR:
        return wxLOG_Error;
    case ORV_LOG_WARNING:
        return wxLOG_Warning;
    case ORV_LOG_NOTICE:
        return wxLOG_Status;
    case ORV_LOG_INFO:
        return wxLOG_Info;
    default:
        return wxLOG_Debug;
    }
}

void WriteToServiceLog(uint32_t level, const std::string& line)
{
    ThreadLog::record(WxLevel(level), line.c_str());
}

std::string Prefix(uint64_t moduleId, const std::string& name)
{
    char id[32];
    std::snprintf(id, sizeof id, " ID 0x%08lX: ", static_cast<unsigned long>(moduleId));
    return "plugin " + name + id;
}

}  // namespace

HostLog::HostLog(Sink sink_, Clock clock_)
    : sink(sink_ ? std::move(sink_) : Sink(WriteToServiceLog)),
      clock(clock_ ? std::move(clock_) : Clock(MonotonicNowNs))
{
}

HostLog::~HostLog()
{
    close();
}

void HostLog::open()
{
    pt::mutexLock guard(lock);
    if (accepting)
        return;
    accepting = true;
    buckets.clear();
    writer = std::thread(&HostLog::run, this);
}

void HostLog::close()
{
    {
        pt::mutexLock guard(lock);
        accepting = false;
    }
    wake.notifyAll();
    if (writer.joinable())
        writer.join();
}

std::string HostLog::FormatLine(uint64_t moduleId, const std::string& name, const char* text, size_t length)
{
    std::string line = Prefix(moduleId, name);
    length = std::min<size_t>(length, ORV_LOG_TEXT_MAX);
    for (size_t i = 0; i < length; ++i) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F || byte == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            line += escaped;
        } else {
            line += static_cast<char>(byte);
        }
    }
    return line;
}

int32_t HostLog::write(uint64_t moduleId, const std::string& name, uint32_t level, const char* text, size_t length)
{
    if (level < ORV_LOG_ERROR || level > ORV_LOG_DEBUG || (!text && length))
        return -1;
    const int64_t now = clock();
    pt::mutexLock guard(lock);
    if (!accepting)
        return 1;
    auto found = buckets.find(moduleId);
    if (found == buckets.end()) {
        if (buckets.size() >= kMaxModules)
            return 2;
        found = buckets.emplace(moduleId, Bucket{double(ORV_LOG_BURST), now, 0, name}).first;
    }
    Bucket& bucket = found->second;
    if (!takeToken(bucket, now) || queue.size() >= kQueueLines) {
        // The first drop wakes an idle writer, which reports the count once a
        // token comes, whether or not the module writes again.
        if (bucket.dropped++ == 0)
            wake.notifyAll();
        return 2;
    }
    if (bucket.dropped && !reportDropped(moduleId, bucket)) {
        ++bucket.dropped;
        return 2;
    }
    queue.push_back(Line{level, FormatLine(moduleId, name, text, length)});
    wake.notifyAll();
    return 0;
}

bool HostLog::takeToken(Bucket& bucket, int64_t now)
{
    const double earned = double(now - bucket.refilledNs) * ORV_LOG_PER_SECOND / kSecondNs;
    bucket.tokens = std::min<double>(ORV_LOG_BURST, bucket.tokens + std::max(0.0, earned));
    bucket.refilledNs = now;
    if (bucket.tokens < 1)
        return false;
    bucket.tokens -= 1;
    return true;
}

bool HostLog::reportDropped(uint64_t moduleId, Bucket& bucket)
{
    if (queue.size() >= kQueueLines)
        return false;
    char text[96];
    const int length = std::snprintf(text, sizeof text, "%llu lines dropped (more than %u a second)",
                                     static_cast<unsigned long long>(bucket.dropped), ORV_LOG_PER_SECOND);
    queue.push_back(Line{ORV_LOG_WARNING, FormatLine(moduleId, bucket.name, text, size_t(length))});
    bucket.dropped = 0;
    return true;
}

void HostLog::run()
{
    pt::mutexLock guard(lock);
    for (;;) {
        while (!queue.empty()) {
            Line line = std::move(queue.front());
            queue.pop_front();
            // The target may block: other modules keep queueing meanwhile.
            guard.unlock();
            sink(line.level, line.text);
            guard.relock();
        }
        if (!accepting) {
            // Counts still waiting for a token are reported at the close.
            for (auto& [id, bucket] : buckets)
                if (bucket.dropped)
                    reportDropped(id, bucket);
            if (!queue.empty())
                continue;
            return;
        }
        bool waiting = false;
        const int64_t now = clock();
        for (auto& [id, bucket] : buckets)
            if (bucket.dropped && takeToken(bucket, now) && !reportDropped(id, bucket))
                waiting = true;
        if (!queue.empty())
            continue;
        waiting = waiting || std::any_of(buckets.begin(), buckets.end(), [](auto& b) { return b.second.dropped; });
        if (waiting)
            wake.waitUntil(lock, pt::condition::deadlineIn(1000));
        else
            wake.wait(lock);
    }
}

int32_t WriteModuleLine(HostLog& log, const ServiceStats& stats, const HostLogLine* line)
{
    if (!line || line->size < sizeof *line || line->version == 0)
        return -1;
    std::string name = "(unknown)";
    if (const ModuleStats* module = stats.find(line->module_id)) {
        name = module->fileName;
    } else {
        const EntryCall call = CurrentEntryCall();
        if (call.module && std::strcmp(call.entry, "Load") == 0)
            name = call.module;
    }
    return log.write(line->module_id, name, line->level, line->text, line->length);
}
