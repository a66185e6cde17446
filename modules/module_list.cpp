#include "modules/module_list.h"

#include <algorithm>

void ModuleList::reset()
{
    pt::writeLock exclusive(lock);
    modules.clear();
    closing = false;
}

void ModuleList::insert(const ModuleRecord& record)
{
    pt::writeLock exclusive(lock);
    if (record.info.module_id == ORV_HEAD_MODULE_ID && !modules.empty())
        modules.insert(modules.begin(), record);
    else
        modules.push_back(record);
}

void ModuleList::beginClosing()
{
    pt::writeLock exclusive(lock);
    closing = true;
    std::stable_sort(modules.begin(), modules.end(), [](const ModuleRecord& a, const ModuleRecord& b) {
        return a.info.class_mask[5] > b.info.class_mask[5];
    });
}

void ModuleList::clear()
{
    pt::writeLock exclusive(lock);
    modules.clear();
}
