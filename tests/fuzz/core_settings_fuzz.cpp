// Fuzz target: the "core.xml" reader and normaliser. Any bytes under the
// name give a setting without crashing; the setting is the one the parsed
// document gives (checked against the library's own file loading), and
// afterwards the file holds exactly the normal form of that setting.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <tinyxml.h>

#include "core/core.h"
#include "fuzz/fuzz_scratch.h"
#include "supervision/status_documents.h"

namespace {

std::string NormalForm(bool enabled)
{
    return std::string("<?xml ?>\n<Kest Delta=\"0\">\n    <Memory ID=\"-2147483648\" Throttling=\"") +
           (enabled ? "1" : "0") + "\" />\n</Kest>\n";
}

std::string ReadAll(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The setting as the library's file loading finds it.
bool LoadedSetting(const char* path)
{
    TiXmlDocument document;
    if (!document.LoadFile(path))
        return true;
    TiXmlElement* first = document.FirstChildElement();
    TiXmlElement* memory = first ? TiXmlHandle(first).FirstChildElement("Memory").ToElement() : nullptr;
    int value = 0;
    return !(memory && memory->QueryIntAttribute("Throttling", &value) == TIXML_SUCCESS && value == 0);
}

// A Core that is never started (its documents go nowhere) in a scratch
// working directory of its own.
Core& TheCore()
{
    static Core* core = new Core(EnterFuzzScratch() + "/orvantisd");
    return *core;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Core& core = TheCore();
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out("core.xml", std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    std::string refusal;
    const bool fromText = ThrottleSettingFromText(bytes, refusal);
    if (refusal.empty() && fromText != LoadedSetting("core.xml"))
        std::abort();
    const bool enabled = core.ReadThrottleSetting();
    if (enabled != fromText || ReadAll("core.xml") != NormalForm(enabled))
        std::abort();
    return 0;
}
