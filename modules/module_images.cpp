#include "modules/module_images.h"

#include <dlfcn.h>
#include <link.h>

#include <atomic>
#include <cstring>

namespace {

struct ModuleImage {
    std::atomic<uintptr_t> start{0};  // 0: the slot is free
    uintptr_t end = 0;                // one past the image's last byte
    void* handle = nullptr;           // the library's handle, to withdraw it by
    char name[256] = {};              // the module's file name, cut to fit
};

const int kSlots = 256;
ModuleImage images[kSlots];  // written on the main thread only

struct Range {
    uintptr_t base;   // the library's load address, to recognise it by
    uintptr_t start;  // 0 until found
    uintptr_t end;
};

// The span of the loadable segments of the object loaded at `range->base`.
int MeasureImage(dl_phdr_info* info, size_t, void* data)
{
    Range* range = static_cast<Range*>(data);
    if (info->dlpi_addr != range->base)
        return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD)
            continue;
        const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        const uintptr_t end = start + segment.p_memsz;
        if (range->start == 0 || start < range->start)
            range->start = start;
        if (end > range->end)
            range->end = end;
    }
    return range->start != 0;
}

}  // namespace

void AddModuleImage(void* handle, const std::string& fileName)
{
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map)
        return;
    Range range = {static_cast<uintptr_t>(map->l_addr), 0, 0};
    if (!dl_iterate_phdr(&MeasureImage, &range))
        return;
    for (ModuleImage& image : images) {
        if (image.start.load(std::memory_order_acquire) != 0)
            continue;
        image.end = range.end;
        image.handle = handle;
        std::strncpy(image.name, fileName.c_str(), sizeof image.name - 1);
        image.start.store(range.start, std::memory_order_release);
        return;
    }
}

void RemoveModuleImage(void* handle)
{
    for (ModuleImage& image : images) {
        if (image.start.load(std::memory_order_acquire) != 0 && image.handle == handle) {
            image.start.store(0, std::memory_order_release);
            return;
        }
    }
}

const char* FindModuleImage(uintptr_t address)
{
    for (const ModuleImage& image : images) {
        const uintptr_t start = image.start.load(std::memory_order_acquire);
        if (start != 0 && start <= address && address < image.end)
            return image.name;
    }
    return nullptr;
}
