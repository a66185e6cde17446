// The status documents and the open pass that the module status reports on.
#include "supervision/status_documents.h"

#include <cstdio>
#include <string>

#include <tinyxml.h>

#include "core/core.h"
#include "modules/boundary_record.h"
#include "modules/call_timer.h"

namespace {

// The service's version, shown as the Core's "Module" version.
constexpr int kVersionMajor = 8;
constexpr int kVersionMinor = 8;
constexpr int kVersionRelease = 1;
constexpr int kVersionBuild = 119385;

constexpr int kCoreId = StatusDocuments::Low32(ORV_CORE_ID);

// Flags of the document messages: the payload goes to every module's IOCTL,
// or through Write to the modules whose class mask 2 matches.
constexpr uint64_t kNotifyFlags = ORV_FLAG_NOTIFY_OTHERS;
constexpr uint64_t kMemoryStatusFlags = ORV_FLAG_CLASS(2);

std::string VersionText()
{
    char text[100];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", kVersionMajor, kVersionMinor, kVersionRelease, kVersionBuild);
    return text;
}

// The name and extension of `path`, without its directory.
std::string FileNameOf(const std::string& path)
{
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void OpenModule(ModuleRecord& record)
{
    if (!record.Open) {
        record.open_code = StatusDocuments::kMissingOpenCode;
        record.open_time_ms = 0;
        return;
    }
    OpenArgs args = NewRecord<OpenArgs>();
    OpenReply reply = NewRecord<OpenReply>();
    CallTimer timer;
    int32_t code = record.Open(&args, &reply);
    record.open_time_ms = timer.elapsedMs();
    record.open_code = code;
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
void BuildModuleStatus(TiXmlDocument& document, const Core& core)
{
    using StatusDocuments::Low32;
    document.InsertEndChild(TiXmlDeclaration());
    TiXmlElement* root = document.InsertEndChild(TiXmlElement("Kest"))->ToElement();
    root->SetAttribute("Delta", 0);
    TiXmlElement* list = root->InsertEndChild(TiXmlElement("Modules"))->ToElement();
    TiXmlElement* coreModule = AddModuleElement(list, kCoreId, "Core", VersionText().c_str());
    AddPluginElement(coreModule, kCoreId, FileNameOf(core.executablePath).c_str(), 1, 0);
    for (const ModuleRecord& record : core.modules) {
        TiXmlElement* plugin = AddPluginElement(coreModule, Low32(record.info.module_id), record.file_name.c_str(),
                                                1, record.open_code);
        plugin->SetAttribute("LoadTime", Low32(record.load_time_ms));
        plugin->SetAttribute("OpenTime", Low32(record.open_time_ms));
    }
    for (size_t i = 0; i < core.notLoadedFiles.size(); ++i) {
        const int id = Low32(i + 1);
        const char* file = core.notLoadedFiles[i].c_str();
        AddModuleElement(list, id, file, "not loaded");
        AddPluginElement(coreModule, id, file, 1, StatusDocuments::kNotLoadedOpenCode);
    }
}

}  // namespace

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

bool Core::PublishModuleStatus()
{
    for (ModuleRecord& record : modules)
        if (record.library)
            OpenModule(record);
    TiXmlDocument document;
    BuildModuleStatus(document, *this);
    document.SaveFile(StatusDocuments::kModuleStatusFile);
    SendDocument(document, kNotifyFlags);
    return true;
}

bool Core::ReadThrottleSetting()
{
    bool enabled = true;
    TiXmlDocument document;
    if (document.LoadFile(StatusDocuments::kCoreSettingsFile)) {
        TiXmlElement* first = document.FirstChildElement();
        TiXmlElement* memory = first ? TiXmlHandle(first).FirstChildElement("Memory").ToElement() : nullptr;
        int value = 0;
        if (memory && memory->QueryIntAttribute("Throttling", &value) == TIXML_SUCCESS)
            enabled = value != 0;
    }
    WriteCoreSettings(enabled);
    return enabled;
}

void Core::WriteCoreSettings(bool enabled)
{
    TiXmlElement memory("Memory");
    memory.SetAttribute("ID", kCoreId);
    memory.SetAttribute("Throttling", enabled ? 1 : 0);
    TiXmlElement root("Kest");
    root.SetAttribute("Delta", 0);
    root.InsertEndChild(memory);
    TiXmlDocument document;
    Assemble(document, root);
    document.SaveFile(StatusDocuments::kCoreSettingsFile);
    SendDocument(document, kNotifyFlags);
}

void Core::SendMemoryStatus(int64_t time)
{
    TiXmlElement memory("Memory");
    memory.SetAttribute("ID", kCoreId);
    memory.SetAttribute("Throttling", throttling.load() ? 1 : 0);
    memory.SetAttribute("Time", StatusDocuments::Low32(time));
    TiXmlElement root("Kest");
    root.InsertEndChild(memory);
    TiXmlDocument document;
    Assemble(document, root);
    SendDocument(document, kMemoryStatusFlags);
}
