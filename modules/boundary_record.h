// Records that cross the module boundary start out zero-filled with their
// header set: the module may rely on every byte it is not told about being 0.
#pragma once

#include <cstdint>
#include <cstring>

template <typename Record>
Record NewRecord(uint32_t version = 1)
{
    Record record;
    std::memset(&record, 0, sizeof record);
    record.size = sizeof(Record);
    record.version = version;
    return record;
}
