/*
 * Where one of the shipped HTTP servers listens: the IPv4 or IPv6 address of
 * its settings with its port, as a socket address, and whether it is a
 * loopback address (a server that is not needs TLS and users).
 */
#ifndef ORVANTIS_SHIPPED_LISTEN_ADDRESS_H
#define ORVANTIS_SHIPPED_LISTEN_ADDRESS_H

#include <arpa/inet.h>
#include <netinet/in.h>

typedef struct ListenAddress {
    char where[INET6_ADDRSTRLEN + 16]; /* "address:port" or "[address]:port", for messages */
    int ipv6;                          /* which of v4 and v6 is filled */
    int loopback;                      /* 127.0.0.0/8 or ::1 */
    struct sockaddr_in v4;
    struct sockaddr_in6 v6;
    unsigned port;
} ListenAddress;

/* Fills `address` for `text` and `port`; false, with `address` unusable,
 * unless `text` is an IPv4 or IPv6 address. */
int listen_address_parse(ListenAddress* address, const char* text, unsigned port);

#endif
