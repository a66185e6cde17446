/*
 * Who may read the page, and over what: TLS from a certificate and key file
 * (PEM), and HTTP basic authentication against a file of bcrypt hashes, one
 * "user:hash" line per user ('#' starts a comment), as htpasswd -B writes
 * them. Both are off unless configured.
 *
 * Configuration keys: tls_cert_file and tls_key_file (both or neither),
 * basic_auth_file.
 *
 * Thread safety: loaded in Load, freed in Unload; checked on the server's
 * thread in between.
 */
#ifndef ORVANTIS_SHIPPED_WEB_ACCESS_H
#define ORVANTIS_SHIPPED_WEB_ACCESS_H

#include <stddef.h>

#include "module_config.h"

#define WEB_ACCESS_USERS 16

typedef struct WebAccess {
    int tls;
    char* certificate;  /* PEM text, malloc'ed; null without TLS */
    char* key;
    int user_count;     /* 0: no authentication */
    struct {
        char name[64];
        char hash[128];
    } users[WEB_ACCESS_USERS];
} WebAccess;

/* Reads the files the configuration names. False with `why` filled when one
 * cannot be read or is not as described. */
int web_access_load(WebAccess* access, const ModuleConfig* config, char* why, size_t why_size);

/* True when `password` is the listed user's. Takes as long as the hash's
 * cost asks (tens of milliseconds at cost 10). */
int web_access_check(const WebAccess* access, const char* user, const char* password);

void web_access_free(WebAccess* access);

#endif
