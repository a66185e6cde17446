// The status documents and the open pass that the module status reports on.
#include "supervision/status_documents.h"

#include <algorithm>
#include <cctype>
#include <new>
#include <string>
#include <vector>

#include <tinyxml.h>

#include "base/thread_log.h"
#include "modules/module_list.h"
#include "routing/dispatcher.h"
#include "supervision/status_file.h"

namespace {

constexpr int kCoreId = StatusDocuments::Low32(ORV_CORE_ID);

// Flags of the document messages: the payload goes to every module's IOCTL,
// or through Write to the modules whose class mask 2 matches.
constexpr uint64_t kNotifyFlags = ORV_FLAG_NOTIFY_OTHERS;
constexpr uint64_t kMemoryStatusFlags = ORV_FLAG_CLASS(2);

// The name and extension of `path`, without its directory.
std::string FileNameOf(const std::string& path)
{
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A document holding the default declaration and `root`.
void Assemble(TiXmlDocument& document, const TiXmlElement& root)
{
    document.InsertEndChild(TiXmlDeclaration());
    document.InsertEndChild(root);
}

// Loaded modules appear only as "Plugin" elements of the Core's "Module";
// each file that failed to load gets a "Module" and a "Plugin", numbered
// from 1 in list order.
void BuildModuleStatus(TiXmlDocument& document, const std::string& executablePath, const ModuleList& modules)
{
    using StatusDocuments::Low32;
    document.InsertEndChild(TiXmlDeclaration());
    TiXmlElement* root = document.InsertEndChild(TiXmlElement("Kest"))->ToElement();
    root->SetAttribute("Delta", 0);
    TiXmlElement* list = root->InsertEndChild(TiXmlElement("Modules"))->ToElement();
    TiXmlElement* coreModule = AddModuleElement(list, kCoreId, "Core", ORV_VERSION);
    AddPluginElement(coreModule, kCoreId, FileNameOf(executablePath).c_str(), 1, 0);
    for (const ModuleRecord& record : modules.records()) {
        TiXmlElement* plugin = AddPluginElement(coreModule, Low32(record.info.module_id), record.file_name.c_str(),
                                                1, record.open_code);
        plugin->SetAttribute("LoadTime", Low32(record.load_time_ms));
        plugin->SetAttribute("OpenTime", Low32(record.open_time_ms));
    }
    const std::vector<std::string>& notLoaded = modules.notLoaded();
    for (size_t i = 0; i < notLoaded.size(); ++i) {
        const int id = Low32(i + 1);
        const char* file = notLoaded[i].c_str();
        AddModuleElement(list, id, file, "not loaded");
        AddPluginElement(coreModule, id, file, 1, StatusDocuments::kNotLoadedOpenCode);
    }
}

// What the parser could take as the start of an element: '<' and a name
// character (a letter, '_', or any byte above 126 in its default encoding).
bool StartsElement(const std::string& text, size_t i)
{
    if (text[i] != '<' || i + 1 >= text.size())
        return false;
    const unsigned char next = static_cast<unsigned char>(text[i + 1]);
    return std::isalpha(next) || next == '_' || next >= 127;
}

size_t ElementStarts(const std::string& text)
{
    size_t count = 0;
    for (size_t i = 0; i < text.size(); ++i)
        if (StartsElement(text, i))
            ++count;
    return count;
}

std::string MoreThan(size_t limit, const char* what)
{
    return "more than " + std::to_string(limit) + " " + what;
}

void WarnUnusable(const char* file, const std::string& reason)
{
    ThreadLog::warning("%s is not used: %s", file, reason.c_str());
}

// Writes `document` to `file` when it is a regular file or missing.
void Save(const TiXmlDocument& document, const char* file)
{
    std::string reason;
    if (!StatusFile::save(file, document, reason) && !reason.empty())
        WarnUnusable(file, reason);
}

// The setting that "core.xml" gives; enabled when it is missing or unusable.
bool ReadCoreSettingsFile()
{
    const char* file = StatusDocuments::kCoreSettingsFile;
    std::string text;
    std::string reason;
    if (!StatusFile::read(file, StatusDocuments::kMaxCoreSettingsBytes, text, reason)) {
        if (!reason.empty())
            WarnUnusable(file, reason);
        return true;
    }
    const bool enabled = ThrottleSettingFromText(text, reason);
    if (!reason.empty())
        WarnUnusable(file, reason);
    return enabled;
}

}  // namespace

bool ThrottleSettingFromText(const std::string& text, std::string& refusal)
{
    refusal.clear();
    if (ElementStarts(text) > StatusDocuments::kMaxCoreSettingsElements) {
        refusal = MoreThan(StatusDocuments::kMaxCoreSettingsElements, "elements");
        return true;
    }
    if (std::count(text.begin(), text.end(), '=') > std::ptrdiff_t(StatusDocuments::kMaxCoreSettingsAttributes)) {
        refusal = MoreThan(StatusDocuments::kMaxCoreSettingsAttributes, "attributes ('=' signs)");
        return true;
    }
    TiXmlDocument document;
    document.Parse(text.c_str());
    if (document.Error())
        return true;
    TiXmlElement* first = document.FirstChildElement();
    TiXmlElement* memory = first ? TiXmlHandle(first).FirstChildElement("Memory").ToElement() : nullptr;
    int value = 0;
    if (memory && memory->QueryIntAttribute("Throttling", &value) == TIXML_SUCCESS)
        return value != 0;
    return true;
}

TiXmlElement* AddModuleElement(TiXmlElement* parent, int id, const char* name, const char* version)
{
    TiXmlElement element("Module");
    element.SetAttribute("ID", id);
    element.SetAttribute("Name", name);
    element.SetAttribute("Version", version);
    return parent->InsertEndChild(element)->ToElement();
}

TiXmlElement* AddPluginElement(TiXmlElement* parent, int id, const char* filename, int opened, int openCode)
{
    TiXmlElement element("Plugin");
    element.SetAttribute("ID", id);
    element.SetAttribute("Filename", filename);
    element.SetAttribute("Opened", opened);
    element.SetAttribute("OpenCode", openCode);
    return parent->InsertEndChild(element)->ToElement();
}

void StatusDocuments::PublishModuleStatus(Dispatcher& dispatcher, const std::string& executablePath,
                                           const ModuleList& modules)
{
    try {
        TiXmlDocument document;
        BuildModuleStatus(document, executablePath, modules);
        Save(document, StatusDocuments::kModuleStatusFile);
        dispatcher.sendDocument(document, kNotifyFlags);
    } catch (const std::bad_alloc&) {
        ThreadLog::error("%s not published: out of memory", StatusDocuments::kModuleStatusFile);
    }
}

bool StatusDocuments::ReadThrottleSetting(Dispatcher& dispatcher)
{
    bool enabled = true;
    try {
        enabled = ReadCoreSettingsFile();
    } catch (const std::bad_alloc&) {
        ThreadLog::error("%s could not be read: out of memory", StatusDocuments::kCoreSettingsFile);
    }
    WriteCoreSettings(dispatcher, enabled);
    return enabled;
}

void StatusDocuments::WriteCoreSettings(Dispatcher& dispatcher, bool enabled)
{
    TiXmlElement memory("Memory");
    memory.SetAttribute("ID", kCoreId);
    memory.SetAttribute("Throttling", enabled ? 1 : 0);
    TiXmlElement root("Kest");
    root.SetAttribute("Delta", 0);
    root.InsertEndChild(memory);
    TiXmlDocument document;
    Assemble(document, root);
    Save(document, StatusDocuments::kCoreSettingsFile);
    dispatcher.sendDocument(document, kNotifyFlags);
}

void StatusDocuments::SendMemoryStatus(Dispatcher& dispatcher, int64_t time)
{
    TiXmlElement memory("Memory");
    memory.SetAttribute("ID", kCoreId);
    memory.SetAttribute("Throttling", dispatcher.throttling() ? 1 : 0);
    memory.SetAttribute("Time", StatusDocuments::Low32(time));
    TiXmlElement root("Kest");
    root.InsertEndChild(memory);
    TiXmlDocument document;
    Assemble(document, root);
    dispatcher.sendDocument(document, kMemoryStatusFlags);
}
