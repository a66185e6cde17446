// A C++ module that lets an exception out of every entry point but Load:
// Open, Close, Unload, Write, IOCTL (the payload notices and the worker
// call) and Read each throw a std::runtime_error named after the entry
// point. Write and the payload notices first set keeps_buffer, which the
// service must not read after the throw.
//
// It takes every event (all masks set, accepts_write), serves requests, and
// asks for its IOCTL worker, under module id 0x7100.
#include <cstring>
#include <stdexcept>

#include "modules/module_api.h"
#include "routing/message_api.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT int32_t Load(void*, void* out)
{
    ModuleInfo* info = static_cast<ModuleInfo*>(out);
    info->module_id = 0x7100;
    std::memset(info->class_mask, 0xFF, sizeof info->class_mask);
    info->wants_ioctl_worker = 1;
    info->wants_read_worker = 1;
    info->accepts_write = 1;
    return 0;
}

EXPORT int32_t Unload(void*, void*)
{
    throw std::runtime_error("Unload failed on purpose");
}

EXPORT int32_t Open(void*, void*)
{
    throw std::runtime_error("Open failed on purpose");
}

EXPORT int32_t Close(void*, void*)
{
    throw std::runtime_error("Close failed on purpose");
}

EXPORT int32_t Seek(void*, void*)
{
    return 0;
}

EXPORT int32_t Write(void*, void* out)
{
    static_cast<WriteReply*>(out)->keeps_buffer = 1;
    throw std::runtime_error("Write failed on purpose");
}

EXPORT int32_t IOCTL(void* in, void* out)
{
    if (static_cast<IoctlArgs*>(in)->code != ORV_IOCTL_WORKER)
        static_cast<IoctlReply*>(out)->keeps_buffer = 1;
    throw std::runtime_error("IOCTL failed on purpose");
}

EXPORT int32_t Read(void*, void*)
{
    throw std::runtime_error("Read failed on purpose");
}
