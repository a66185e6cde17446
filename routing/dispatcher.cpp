#include "core/core.h"

int32_t Core::Dispatch(const Message*, MessageResult* result)
{
    result->result = ORV_RESULT_REFUSED;
    return 0;
}

void Core::SendText(const std::string&) {}

void Core::SendDocument(const TiXmlDocument&, uint64_t) {}
