/* Compiled as C11 and as C++17 by the tests: a module's view of the two
 * interface headers, with each record filled the way a module would. */
#include "modules/module_api.h"
#include "routing/message_api.h"
#include "supervision/host_api.h"

#include <string.h>

static OrvCallback sendToCore;

static int32_t CheckLoad(void* in, void* out)
{
    const LoadArgs* args = (const LoadArgs*)in;
    ModuleInfo* info = (ModuleInfo*)out;
    if (args->size != sizeof(LoadArgs) || args->version != ORV_LOAD_ARGS_VERSION)
        return 1;
    sendToCore = args->callback;
    info->module_id = UINT64_C(0x1234);
    info->class_mask[6] = ORV_EVENT_TEXT << 1;
    info->accepts_write = 1;
    return 0;
}

static int32_t CheckWrite(void* in, void* out)
{
    const WriteArgs* args = (const WriteArgs*)in;
    WriteReply* reply = (WriteReply*)out;
    Message release;
    MessageResult result = {sizeof(MessageResult), 1, 0};
    memset(&release, 0, sizeof release);
    release.size = sizeof(Message);
    release.version = ORV_MESSAGE_VERSION;
    release.flags = ORV_CMD_RELEASE;
    release.data = args->data;
    release.source_id = UINT64_C(0x1234);
    reply->keeps_buffer = 0;
    return sendToCore ? sendToCore(&release, &result) : 0;
}

static int32_t CheckIoctl(void* in, void* out)
{
    const IoctlArgs* args = (const IoctlArgs*)in;
    IoctlReply* reply = (IoctlReply*)out;
    reply->keeps_buffer = args->code == ORV_IOCTL_NOTIFY_ALL && args->payload.data != NULL;
    return 0;
}

int orv_api_headers_check(void);

int orv_api_headers_check(void)
{
    OrvEntryPoint entries[3];
    WorkerCommand command;
    WorkerReply reply;
    entries[0] = CheckLoad;
    entries[1] = CheckWrite;
    entries[2] = CheckIoctl;
    memset(&command, 0, sizeof command);
    memset(&reply, 0, sizeof reply);
    command.command_code = ORV_WORKER_READ;
    command.args.read.request_id = 7;
    reply.reply.ioctl.nested_size = 8;
    return entries[0] != NULL && command.args.read.request_id == 7 && ORV_CORE_ID == UINT64_C(0x80000000) &&
           ORV_HEAD_MODULE_ID == UINT64_C(0x60000) && ORV_RESULT_NO_MEMORY < 0;
}
