#include "listen_address.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

int listen_address_parse(ListenAddress* address, const char* text, unsigned port)
{
    memset(address, 0, sizeof *address);
    address->port = port;
    if (inet_pton(AF_INET, text, &address->v4.sin_addr) == 1) {
        address->v4.sin_family = AF_INET;
        address->v4.sin_port = htons((uint16_t)port);
        snprintf(address->where, sizeof address->where, "%s:%u", text, port);
        address->loopback = (ntohl(address->v4.sin_addr.s_addr) >> 24) == 127;
        return 1;
    }
    if (inet_pton(AF_INET6, text, &address->v6.sin6_addr) == 1) {
        address->ipv6 = 1;
        address->v6.sin6_family = AF_INET6;
        address->v6.sin6_port = htons((uint16_t)port);
        snprintf(address->where, sizeof address->where, "[%s]:%u", text, port);
        address->loopback = IN6_IS_ADDR_LOOPBACK(&address->v6.sin6_addr);
        return 1;
    }
    return 0;
}
