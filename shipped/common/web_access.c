#define _GNU_SOURCE
#include "web_access.h"

#include <crypt.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The whole file as a NUL-terminated text, or null. */
static char* read_text(const char* path)
{
    FILE* file = fopen(path, "r");
    if (!file)
        return NULL;
    char* text = NULL;
    size_t size = 0;
    FILE* copy = open_memstream(&text, &size);
    char buffer[4096];
    size_t got;
    while (copy && (got = fread(buffer, 1, sizeof buffer, file)) > 0)
        fwrite(buffer, 1, got, copy);
    int failed = ferror(file) || !copy;
    fclose(file);
    if (copy && fclose(copy) != 0)
        failed = 1;
    if (failed) {
        free(text);
        return NULL;
    }
    return text;
}

static int is_bcrypt(const char* hash)
{
    return strncmp(hash, "$2a$", 4) == 0 || strncmp(hash, "$2b$", 4) == 0 || strncmp(hash, "$2y$", 4) == 0;
}

/* One "user:hash" line; false when it is not one. */
static int add_user(WebAccess* access, char* line)
{
    char* colon = strchr(line, ':');
    if (!colon || colon == line || access->user_count >= WEB_ACCESS_USERS)
        return 0;
    *colon = '\0';
    const char* hash = colon + 1;
    if (strlen(line) >= sizeof access->users[0].name || strlen(hash) >= sizeof access->users[0].hash ||
        !is_bcrypt(hash))
        return 0;
    strcpy(access->users[access->user_count].name, line);
    strcpy(access->users[access->user_count].hash, hash);
    access->user_count++;
    return 1;
}

static int load_users(WebAccess* access, const char* path, char* why, size_t why_size)
{
    char* text = read_text(path);
    if (!text) {
        snprintf(why, why_size, "basic_auth_file %s cannot be read: %s", path, strerror(errno));
        return 0;
    }
    int number = 0, ok = 1;
    for (char *line = text, *next; ok && line; line = next) {
        next = strchr(line, '\n');
        if (next)
            *next++ = '\0';
        line[strcspn(line, "\r")] = '\0';
        ++number;
        if (*line && *line != '#' && !add_user(access, line)) {
            snprintf(why, why_size, "basic_auth_file %s line %d is not \"user:bcrypt hash\" (at most %d users)",
                     path, number, WEB_ACCESS_USERS);
            ok = 0;
        }
    }
    free(text);
    if (ok && !access->user_count) {
        snprintf(why, why_size, "basic_auth_file %s lists no user", path);
        ok = 0;
    }
    return ok;
}

static int load_tls(WebAccess* access, const char* cert, const char* key, char* why, size_t why_size)
{
    if (!*cert != !*key) {
        snprintf(why, why_size, "tls_cert_file and tls_key_file go together");
        return 0;
    }
    if (!*cert)
        return 1;
    access->certificate = read_text(cert);
    if (!access->certificate) {
        snprintf(why, why_size, "tls_cert_file %s cannot be read: %s", cert, strerror(errno));
        return 0;
    }
    access->key = read_text(key);
    if (!access->key) {
        snprintf(why, why_size, "tls_key_file %s cannot be read: %s", key, strerror(errno));
        return 0;
    }
    access->tls = 1;
    return 1;
}

int web_access_load(WebAccess* access, const ModuleConfig* config, char* why, size_t why_size)
{
    memset(access, 0, sizeof *access);
    const char* users = module_config_text(config, "basic_auth_file", "");
    int ok = load_tls(access, module_config_text(config, "tls_cert_file", ""),
                      module_config_text(config, "tls_key_file", ""), why, why_size) &&
             (!*users || load_users(access, users, why, why_size));
    if (!ok)
        web_access_free(access);
    return ok;
}

/* Compares every byte, so the time says nothing of where they differ. */
static int same_text(const char* a, const char* b)
{
    size_t length = strlen(a);
    if (length != strlen(b))
        return 0;
    unsigned char difference = 0;
    for (size_t i = 0; i < length; ++i)
        difference |= (unsigned char)(a[i] ^ b[i]);
    return difference == 0;
}

int web_access_check(const WebAccess* access, const char* user, const char* password)
{
    for (int i = 0; i < access->user_count; ++i) {
        if (strcmp(access->users[i].name, user) != 0)
            continue;
        struct crypt_data* data = calloc(1, sizeof *data);
        /* crypt_rn, which is given the size of the work area: the sanitizers
         * take crypt_r's for another C library's, larger than this one's. */
        const char* result = data ? crypt_rn(password, access->users[i].hash, data, (int)sizeof *data) : NULL;
        int ok = result && same_text(result, access->users[i].hash);
        free(data);
        return ok;
    }
    return 0;
}

void web_access_free(WebAccess* access)
{
    free(access->certificate);
    free(access->key);
    memset(access, 0, sizeof *access);
}
