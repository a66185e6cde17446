// Fuzz target: the dispatcher fed arbitrary 224-byte Message records, as a
// careless or hostile module could send them, against a running Core with
// test modules that receive, keep, release and serve requests. A payload
// pointer is aimed into a buffer the target owns (with a length that stays
// inside it when it is positive), so the only faults are the Core's.
// After each input the Core is brought back to rest: kept payloads are
// released and the queue is drained.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/callback.h"
#include "core/core.h"
#include "fuzz/fuzz_scratch.h"
#include "support/test_module.h"

namespace {

constexpr uint64_t kReleaseEvent = 0x5;
constexpr size_t kBufferSize = 4096;
unsigned char payloadBuffer[kBufferSize];

// A receiver that keeps every payload until a Write of kReleaseEvent, a
// module that serves requests, and one that takes every notice.
const char* const kModules[][2] = {
    {"keeper.so", "id = 0x10\naccepts_write = 1\nmask0 = 0xffffffff\nmask6 = 0xffffffff\n"
                  "write_keeps = 1\nioctl_keeps = 1\nrelease_event = 0x5\n"},
    {"server.so", "id = 0x20\nwants_read_worker = 1\nmask0 = 0xffffffff\n"
                  "send = read flags=1 event=0x100 source=0x20 request=same payload=served\n"},
    {"listener.so", "id = 0x40\naccepts_write = 1\nmask1 = 0xffffffff\nmask2 = 0xffffffff\n"},
};

void Install(const std::string& directory)
{
    mkdir((directory + "/plugins").c_str(), 0755);
    mkdir((directory + "/protected-plugins").c_str(), 0755);
    for (const auto& module : kModules) {
        const std::string path = directory + "/plugins/" + module[0];
        if (!testmodule::InstallModule(path, module[1]))
            std::abort();
        // A directory where the call log would go: the modules log nothing.
        mkdir((path + ".log").c_str(), 0755);
    }
}

Core& TheCore()
{
    static Core* core = [] {
        const std::string directory = EnterFuzzScratch();
        Install(directory);
        Core* started = new Core(directory + "/orvantisd");
        started->Start();
        return started;
    }();
    return *core;
}

// Points a payload into the owned buffer.
void AimPayload(Message& message)
{
    if (!message.data)
        return;
    const size_t offset = reinterpret_cast<uintptr_t>(message.data) % kBufferSize;
    message.data = payloadBuffer + offset;
    if (message.length > 0 && static_cast<size_t>(message.length) > kBufferSize - offset)
        message.length = static_cast<int32_t>(kBufferSize - offset);
}

void Send(const Message& message)
{
    MessageResult result = {sizeof(MessageResult), 1, 0};
    ModuleCallback(&message, &result);
}

size_t Queued(Core& core)
{
    return core.TEST_eventQueue().TEST_messages().size();
}

void Settle(Core& core)
{
    Message release;
    std::memset(&release, 0, sizeof release);
    release.size = sizeof(Message);
    release.version = ORV_MESSAGE_VERSION;
    release.source_id = 0x30;
    release.flags = ORV_FLAG_CLASS(0);
    release.event = kReleaseEvent;
    Send(release);
    for (int i = 0; i < 2000 && Queued(core) != 0; ++i)
        usleep(500);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Core& core = TheCore();
    for (size_t at = 0; at + sizeof(Message) <= size; at += sizeof(Message)) {
        Message message;
        std::memcpy(&message, data + at, sizeof message);
        AimPayload(message);
        Send(message);
    }
    Settle(core);
    return 0;
}
