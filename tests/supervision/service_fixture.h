// A Core run as the service runs it, in-process: a temporary executable
// directory with its two plug-in folders, made the working directory (where
// "plugins.xml" and "core.xml" go), and the real Start and Stop.
//
// Thread safety: use from the test's main thread.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/core.h"
#include "support/messages.h"
#include "support/test_module.h"

namespace service {

class ServiceDir {
public:
    ServiceDir()
    {
        mkdir((dir / "plugins").c_str(), 0755);
        mkdir((dir / "protected-plugins").c_str(), 0755);
        char* cwd = getcwd(nullptr, 0);
        previous = cwd ? cwd : "/";
        std::free(cwd);
        if (chdir(dir.path().c_str()) != 0)
            previous.clear();
    }
    ~ServiceDir()
    {
        if (!previous.empty() && chdir(previous.c_str()) != 0)
            std::abort();
    }
    ServiceDir(const ServiceDir&) = delete;
    ServiceDir& operator=(const ServiceDir&) = delete;

    std::string executable() const { return dir / "orvantisd"; }
    std::string plugin(const std::string& name) const { return dir / ("plugins/" + name); }
    std::string file(const std::string& name) const { return dir / name; }

    // Installs the test module as plugins/<name> with `config`; its path.
    std::string install(const std::string& name, const std::string& config,
                        const std::string& variant = "orv_test_module") const
    {
        const std::string path = plugin(name);
        testmodule::InstallModule(path, config, variant);
        return path;
    }

    testmodule::TempDir dir;

private:
    std::string previous;
};

// A message from a module (or a test posing as one).
inline Message ModuleMessage(uint64_t source, uint64_t flags, uint64_t event, const std::string& payload = "")
{
    void* data = payload.empty() ? nullptr : const_cast<char*>(payload.data());
    return testmodule::MakeMessage(source, flags, event, data, static_cast<int32_t>(payload.size()));
}

inline int32_t Send(Core& core, const Message& message)
{
    MessageResult result = {sizeof(MessageResult), 1, 0x7777};
    core.Dispatch(&message, &result);
    return result.result;
}

}  // namespace service
