// The XML status documents: the module status ("plugins.xml"), the core
// settings ("core.xml") and the memory status (message only).
//
// Each is saved (the two files) and sent to the modules through the
// dispatcher. Every document is a declaration without attributes ("<?xml ?>")
// followed by one root "Kest". Integers are written through TinyXML's int
// overload, so wider values appear as their low 32 bits, signed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Dispatcher;
class ModuleList;
class TiXmlElement;

namespace StatusDocuments {

constexpr const char* kModuleStatusFile = "plugins.xml";
constexpr const char* kCoreSettingsFile = "core.xml";

// OpenCode of a module file that failed to load.
constexpr int kNotLoadedOpenCode = 79;

// A "core.xml" larger than this is not used.
constexpr size_t kMaxCoreSettingsBytes = size_t(1) << 20;
// Nor is one with more elements than this: the parser recurses once per
// level of nesting, and the element count bounds the nesting whatever the
// bytes between the elements are.
constexpr size_t kMaxCoreSettingsElements = 1024;
// Nor is one with more '=' signs than this: the parser checks each new
// attribute against those of its element one by one, so one element's
// attributes cost the square of their number. Every attribute takes an '=',
// so the count bounds them whatever else stands in the file.
constexpr size_t kMaxCoreSettingsAttributes = 512;

// The low 32 bits of `value`, as the signed integer the documents show.
constexpr int32_t Low32(uint64_t value)
{
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

// Builds "plugins.xml" from the listed modules (after their open pass) and
// the files not loaded, saves it, and sends it to every module's IOCTL.
// `executablePath` names the Core's own "Plugin".
void PublishModuleStatus(Dispatcher& dispatcher, const std::string& executablePath, const ModuleList& modules);
// The throttling setting of "core.xml" (enabled when it is missing or
// unusable), written back and sent with WriteCoreSettings.
bool ReadThrottleSetting(Dispatcher& dispatcher);
void WriteCoreSettings(Dispatcher& dispatcher, bool enabled);
// Sends the memory status (the dispatcher's throttling state at `time`) to
// the modules of class 2.
void SendMemoryStatus(Dispatcher& dispatcher, int64_t time);

}  // namespace StatusDocuments

// Append a "Module" or "Plugin" element as the last child of `parent`, with
// the attributes in parameter order, and return the element now in the tree
// (not a copy), so the caller can add children or attributes to it.
TiXmlElement* AddModuleElement(TiXmlElement* parent, int id, const char* name, const char* version);
TiXmlElement* AddPluginElement(TiXmlElement* parent, int id, const char* filename, int opened, int openCode);

// The throttling setting that the bytes of a "core.xml" give: disabled only
// when the first element holds a "Memory" element whose "Throttling" scans as
// the integer 0. Bytes over the element or attribute limit are not parsed:
// the setting is then enabled and `refusal` says why (empty otherwise).
bool ThrottleSettingFromText(const std::string& text, std::string& refusal);
