// The listed modules, in delivery order, and the files that were not loaded.
//
// Thread safety: the list changes only on the main thread (the loader's
// inserts, the stop passes, the clearing at start and stop); those writes
// take `lock` exclusively. The only reader on other threads while it may
// change, the walk of an open request, takes it shared and honours the
// closing flag, which is written under the lock; the lock prefers writers, so
// open requests cannot starve the close pass. The Core's own threads read the
// records without the lock (`records`), since the list does not change while
// they run. The not-loaded files belong to the main thread.
//
// Invariants:
//  - A record with the head module's id is first whenever there is one.
//  - Once closing has begun, no walk visits a record until the next reset.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "modules/module_record.h"
#include "pt/mutex.h"
#include "pt/mutex_lock.h"
#include "pt/thread_annotations.h"

class ModuleList {
public:
    ModuleList() = default;
    ModuleList(const ModuleList&) = delete;
    ModuleList& operator=(const ModuleList&) = delete;

    // Empty and open again: the start. The files not loaded are kept.
    void reset();
    // Appends `record`; the head module's goes first.
    void insert(const ModuleRecord& record);
    // Open requests start no more workers from now on, and the list is
    // sorted for the close pass: the modules of class 5 first.
    void beginClosing();
    void clear();
    bool isClosing() const { return closing.load(); }

    // Calls `visit` with each record under the shared lock unless closing
    // has begun (false then). Closing waits for a walk in progress.
    template <typename Visit>
    bool forEachWhileOpen(Visit visit);

    // The records, for the main thread and the Core's own threads: see
    // Thread safety.
    std::vector<ModuleRecord>& records() NO_THREAD_SAFETY_ANALYSIS { return modules; }
    const std::vector<ModuleRecord>& records() const NO_THREAD_SAFETY_ANALYSIS { return modules; }

    void noteNotLoaded(const std::string& file) { notLoadedFiles.push_back(file); }
    const std::vector<std::string>& notLoaded() const { return notLoadedFiles; }

private:
    pt::sharedMutex lock;
    // Written under `lock`, read without it by the Core's own threads (see
    // Thread safety), so not annotated as guarded.
    std::vector<ModuleRecord> modules;
    std::atomic<bool> closing{false};        // written under `lock`
    std::vector<std::string> notLoadedFiles;  // main thread only; kept across stops
};

template <typename Visit>
bool ModuleList::forEachWhileOpen(Visit visit)
{
    if (closing.load())
        return false;
    pt::readLock shared(lock);
    if (closing.load())
        return false;
    for (ModuleRecord& record : modules)
        visit(record);
    return true;
}
