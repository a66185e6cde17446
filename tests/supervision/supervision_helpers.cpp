#include "supervision/supervision_helpers.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

TempWorkDir::TempWorkDir()
{
    EXPECT_FALSE(dir.path().empty());
    char* cwd = getcwd(nullptr, 0);
    previous = cwd ? cwd : "/";
    std::free(cwd);
    EXPECT_EQ(chdir(dir.path().c_str()), 0);
}

TempWorkDir::~TempWorkDir()
{
    EXPECT_EQ(chdir(previous.c_str()), 0);
}

std::string ReadFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "<missing>";
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

void ArmQueue(Core& core)
{
    core.TEST_eventQueue().open();
}

std::vector<SentMessage> TakeQueued(Core& core)
{
    std::vector<Message> queued;
    core.TEST_eventQueue().takeAll(queued);
    std::vector<SentMessage> taken;
    for (const Message& message : queued) {
        std::string payload;
        if (message.data)
            payload.assign(static_cast<const char*>(message.data), message.length);
        taken.push_back({message.flags, message.event, message.source_id, message.length, payload});
        std::free(message.data);
    }
    return taken;
}

void DisarmQueue(Core& core)
{
    TakeQueued(core);
    core.TEST_eventQueue().retire();
}
