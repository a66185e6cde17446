// Shared pieces of the supervision tests: a temporary working directory, file
// reading, and a Core whose sent messages can be read back from its queue.
#pragma once

#include <string>
#include <vector>

#include "core/core.h"
#include "support/test_module.h"

// Creates a fresh directory and makes it the working directory; restores the
// previous one and removes the directory with everything in it on destruction.
class TempWorkDir {
public:
    TempWorkDir();
    ~TempWorkDir();
    TempWorkDir(const TempWorkDir&) = delete;
    TempWorkDir& operator=(const TempWorkDir&) = delete;

    const std::string& path() const { return dir.path(); }

private:
    testmodule::TempDir dir;
    std::string previous;
};

// The whole file as bytes; "<missing>" when it cannot be opened.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

// One message taken from a Core's queue, with its payload as text.
struct SentMessage {
    uint64_t flags;
    uint64_t event;
    uint64_t source_id;
    int32_t length;
    std::string payload;
};

// Gives `core` a trigger so that Dispatch queues, as between Start and Stop.
void ArmQueue(Core& core);
// Removes every queued message (freeing its payload) and returns them in order.
std::vector<SentMessage> TakeQueued(Core& core);
// Removes the trigger and frees whatever is still queued.
void DisarmQueue(Core& core);
