#include "supervision/module_metrics.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "pt/mutex_lock.h"

namespace {

constexpr int64_t kIndexBits = 16;
constexpr int64_t kIndexMask = (int64_t(1) << kIndexBits) - 1;
static_assert(ORV_METRIC_CAPACITY < kIndexMask, "a slot index fits its bits");

bool ValidName(const char* name)
{
    if (!name || !*name || std::strlen(name) >= ORV_METRIC_NAME_SIZE)
        return false;
    for (const char* c = name; *c; ++c) {
        const bool letter = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || *c == '_';
        if (!letter && !(c != name && *c >= '0' && *c <= '9'))
            return false;
    }
    return true;
}

bool EndsWith(const char* text, const char* end)
{
    const size_t length = std::strlen(text), endLength = std::strlen(end);
    return length >= endLength && std::strcmp(text + length - endLength, end) == 0;
}

bool ValidLabels(const MetricDeclaration& d)
{
    if (d.label_count > ORV_METRIC_LABELS)
        return false;
    for (uint32_t i = 0; i < d.label_count; ++i) {
        const MetricLabel& label = d.labels[i];
        if (!ValidName(label.name) || std::strncmp(label.name, "__", 2) == 0 || !std::strcmp(label.name, "module") ||
            !std::strcmp(label.name, "id") || !label.value || std::strlen(label.value) >= ORV_METRIC_LABEL_SIZE)
            return false;
        for (uint32_t j = 0; j < i; ++j)
            if (!std::strcmp(label.name, d.labels[j].name))
                return false;
    }
    return true;
}

bool Valid(const MetricDeclaration& d)
{
    if (d.size < sizeof d || d.version == 0 || !ValidName(d.name))
        return false;
    if (d.type != ORV_METRIC_COUNTER && d.type != ORV_METRIC_GAUGE)
        return false;
    if (d.type == ORV_METRIC_COUNTER && !EndsWith(d.name, "_total"))
        return false;
    if (d.help && std::strlen(d.help) >= ORV_METRIC_HELP_SIZE)
        return false;
    return ValidLabels(d);
}

double ToDouble(uint64_t bits)
{
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

uint64_t ToBits(double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

void CopyText(char* out, size_t size, const std::string& text)
{
    std::memset(out, 0, size);
    std::memcpy(out, text.data(), std::min(text.size(), size - 1));
}

}  // namespace

ModuleMetrics::ModuleMetrics() : slots(ORV_METRIC_CAPACITY) {}

ModuleMetrics& ModuleMetrics::shared()
{
    // Never destroyed: a module thread may update after the service's exit
    // began, and a handle must then meet a live table.
    static ModuleMetrics* table = new ModuleMetrics();
    return *table;
}

int64_t ModuleMetrics::declare(const MetricDeclaration& d)
{
    if (!Valid(d))
        return ORV_METRIC_INVALID;
    pt::mutexLock guard(lock);
    if (const int64_t same = findSame(d))
        return same;
    if (!typeAgrees(d.name, d.type))
        return ORV_METRIC_INVALID;
    if (used >= slots.size())
        return ORV_METRIC_FULL;
    Slot& slot = slots[used];
    try {
        slot.name = d.name;
        slot.help = d.help ? d.help : "";
        slot.labels.clear();
        for (uint32_t i = 0; i < d.label_count; ++i)
            slot.labels.emplace_back(d.labels[i].name, d.labels[i].value);
    } catch (const std::bad_alloc&) {
        return ORV_METRIC_FULL;
    }
    slot.moduleId = d.module_id;
    slot.type = d.type;
    slot.valueBits.store(ToBits(0.0), std::memory_order_relaxed);
    const int64_t handle = (generation << kIndexBits) | int64_t(used + 1);
    slot.handle.store(handle, std::memory_order_release);
    ++used;
    return handle;
}

ModuleMetrics::Slot* ModuleMetrics::live(int64_t handle) const
{
    const int64_t index = (handle & kIndexMask) - 1;
    if (handle <= 0 || index < 0 || index >= int64_t(slots.size()))
        return nullptr;
    Slot& slot = const_cast<Slot&>(slots[size_t(index)]);
    return slot.handle.load(std::memory_order_relaxed) == handle ? &slot : nullptr;
}

void ModuleMetrics::set(int64_t handle, double value)
{
    if (Slot* slot = live(handle))
        slot->valueBits.store(ToBits(value), std::memory_order_relaxed);
}

void ModuleMetrics::add(int64_t handle, double amount)
{
    Slot* slot = live(handle);
    if (!slot)
        return;
    uint64_t seen = slot->valueBits.load(std::memory_order_relaxed);
    while (!slot->valueBits.compare_exchange_weak(seen, ToBits(ToDouble(seen) + amount), std::memory_order_relaxed)) {
    }
}

int32_t ModuleMetrics::read(MetricSnapshot* snapshot) const
{
    if (!snapshot || snapshot->size < sizeof *snapshot || snapshot->version == 0)
        return -1;
    if (snapshot->capacity && (!snapshot->metrics || snapshot->metric_size < sizeof(MetricReading)))
        return -1;
    snapshot->size = sizeof *snapshot;
    snapshot->version = ORV_METRIC_SNAPSHOT_VERSION;
    snapshot->reserved = 0;
    pt::mutexLock guard(lock);
    for (uint32_t i = 0; i < used && i < snapshot->capacity; ++i) {
        const Slot& slot = slots[i];
        MetricReading* out = reinterpret_cast<MetricReading*>(reinterpret_cast<char*>(snapshot->metrics) +
                                                              size_t(i) * snapshot->metric_size);
        std::memset(out, 0, sizeof *out);
        out->size = sizeof *out;
        out->version = ORV_METRIC_READING_VERSION;
        out->module_id = slot.moduleId;
        out->type = slot.type;
        out->label_count = uint32_t(slot.labels.size());
        out->value = ToDouble(slot.valueBits.load(std::memory_order_relaxed));
        CopyText(out->name, sizeof out->name, slot.name);
        CopyText(out->help, sizeof out->help, slot.help);
        for (size_t l = 0; l < slot.labels.size(); ++l) {
            CopyText(out->labels[l][0], ORV_METRIC_LABEL_SIZE, slot.labels[l].first);
            CopyText(out->labels[l][1], ORV_METRIC_LABEL_SIZE, slot.labels[l].second);
        }
    }
    snapshot->metric_count = used;
    return 0;
}

void ModuleMetrics::clear()
{
    pt::mutexLock guard(lock);
    for (uint32_t i = 0; i < used; ++i)
        slots[i].handle.store(0, std::memory_order_relaxed);
    used = 0;
    ++generation;
}

int64_t ModuleMetrics::findSame(const MetricDeclaration& d) const
{
    for (uint32_t i = 0; i < used; ++i) {
        const Slot& slot = slots[i];
        if (slot.moduleId != d.module_id || slot.name != d.name || slot.labels.size() != d.label_count)
            continue;
        bool same = true;
        for (uint32_t l = 0; same && l < d.label_count; ++l)
            same = slot.labels[l].first == d.labels[l].name && slot.labels[l].second == d.labels[l].value;
        if (same)
            return slot.handle.load(std::memory_order_relaxed);
    }
    return 0;
}

bool ModuleMetrics::typeAgrees(const char* name, uint32_t type) const
{
    for (uint32_t i = 0; i < used; ++i)
        if (slots[i].name == name && slots[i].type != type)
            return false;
    return true;
}
