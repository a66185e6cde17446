/*
 * Shipped module: a Prometheus exporter. It serves the service's counters,
 * which it reads through the host interface (supervision/host_api.h), at
 * http://<listen_address>:<port>/metrics in the Prometheus text format, on
 * the loopback interface only.
 *
 * Rules of the module contract shown here:
 * - Load, Open, Close and Unload run on the service's main thread. The HTTP
 *   server (libmicrohttpd) runs on one thread of its own, started by Open and
 *   stopped by Close, which joins it: nothing of the module runs after Close.
 *   Unload stops it too, should Close not have been called.
 * - The module neither receives nor sends messages (no class masks, no
 *   Write); it only asks the service for a snapshot of its counters, once per
 *   request of the page, on the server's thread.
 * - A service without the host interface still loads the module: the page
 *   then says orvantis_host_interface_available 0 and nothing else.
 * - Failures are the module's own to report, on standard error:
 *   an address that would serve beyond the machine, or a port out of range,
 *   refuses Load (the service logs the refusal); a port that cannot be bound
 *   makes Open return the error number, which plugins.xml shows as OpenCode.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../common/module_config.h"
#include "metrics_page.h"
#include "modules/module_api.h"

#define EXPORT __attribute__((visibility("default")))

/* Connections served at once, and seconds an idle one is kept. */
#define MAX_CONNECTIONS 8
#define IDLE_SECONDS 10
/* Snapshot records asked for at first; more when the service lists more. */
#define FIRST_CAPACITY 32

/* Settings, read in Load and only read afterwards. */
typedef struct Settings {
    char where[INET6_ADDRSTRLEN + 16];  /* "address:port" or "[address]:port", for messages */
    int ipv6;
    struct sockaddr_in v4;
    struct sockaddr_in6 v6;
    unsigned port;
    uint64_t module_id;
} Settings;

static Settings settings;
static OrvHostSnapshotFn host_snapshot;  /* set in Load; null without the host interface */
static struct MHD_Daemon* server;        /* main thread only: Open starts it, Close stops it */

/* ---- configuration ------------------------------------------------------ */

/* The port as a number from 1 to 65535, or 0. */
static unsigned parse_port(const char* text)
{
    char* end;
    long value = strtol(text, &end, 10);
    return *text && !*end && value >= 1 && value <= 65535 ? (unsigned)value : 0;
}

/* Fills the socket address; false unless `text` is an address in 127.0.0.0/8
 * or ::1. */
static int parse_loopback(const char* text)
{
    if (inet_pton(AF_INET, text, &settings.v4.sin_addr) == 1) {
        settings.ipv6 = 0;
        settings.v4.sin_family = AF_INET;
        settings.v4.sin_port = htons((uint16_t)settings.port);
        snprintf(settings.where, sizeof settings.where, "%s:%u", text, settings.port);
        return (ntohl(settings.v4.sin_addr.s_addr) >> 24) == 127;
    }
    if (inet_pton(AF_INET6, text, &settings.v6.sin6_addr) == 1) {
        settings.ipv6 = 1;
        settings.v6.sin6_family = AF_INET6;
        settings.v6.sin6_port = htons((uint16_t)settings.port);
        snprintf(settings.where, sizeof settings.where, "[%s]:%u", text, settings.port);
        return IN6_IS_ADDR_LOOPBACK(&settings.v6.sin6_addr);
    }
    return 0;
}

/* False, with a line on standard error, for a configuration not to serve. */
static int read_settings(void)
{
    ModuleConfig config;
    if (!module_config_load(&config, (const void*)read_settings))
        fprintf(stderr, "prometheus_exporter: cannot read %s, using the defaults\n", config.path);
    settings.module_id = (uint64_t)module_config_number(&config, "module_id", 0x600);
    const char* port = module_config_text(&config, "port", "9477");
    settings.port = parse_port(port);
    if (!settings.port) {
        fprintf(stderr, "prometheus_exporter: port \"%s\" is not a port from 1 to 65535: not loading\n", port);
        return 0;
    }
    const char* address = module_config_text(&config, "listen_address", "127.0.0.1");
    if (!parse_loopback(address)) {
        fprintf(stderr,
                "prometheus_exporter: listen_address \"%s\" is not a loopback address (127.0.0.0/8 or ::1): "
                "not loading\n",
                address);
        return 0;
    }
    return 1;
}

/* ---- serving (the server's thread) -------------------------------------- */

/* Takes a snapshot into `snapshot`, with room for every listed module (the
 * caller frees snapshot->modules). Returns the host function's result, or -1
 * when memory ran out. */
static int32_t take_snapshot(HostSnapshot* snapshot)
{
    uint32_t capacity = FIRST_CAPACITY;
    memset(snapshot, 0, sizeof *snapshot);
    for (;;) {
        free(snapshot->modules);
        ModuleCounters* modules = calloc(capacity, sizeof *modules);
        memset(snapshot, 0, sizeof *snapshot);
        if (!modules)
            return -1;
        snapshot->size = sizeof *snapshot;
        snapshot->version = ORV_HOST_SNAPSHOT_VERSION;
        snapshot->modules = modules;
        snapshot->module_capacity = capacity;
        snapshot->module_size = sizeof *modules;
        int32_t result = host_snapshot(snapshot);
        /* The list changes only while the service starts or stops, so a
         * second call with room for the count it gave is filled. */
        if (result != 0 || snapshot->module_count <= capacity || capacity > FIRST_CAPACITY)
            return result;
        capacity = snapshot->module_count;
    }
}

/* The page of this moment, malloc'ed, or null when memory ran out. */
static char* render_page(size_t* length)
{
    if (!host_snapshot)
        return metrics_page_render(NULL, 0, length);
    HostSnapshot snapshot;
    int32_t result = take_snapshot(&snapshot);
    char* page = metrics_page_render(result == 0 ? &snapshot : NULL, 1, length);
    free(snapshot.modules);
    return page;
}

static enum MHD_Result reply(struct MHD_Connection* connection, unsigned status, const char* text)
{
    struct MHD_Response* response =
        MHD_create_response_from_buffer(strlen(text), (void*)text, MHD_RESPMEM_PERSISTENT);
    if (!response)
        return MHD_NO;
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    enum MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

static enum MHD_Result serve_metrics(struct MHD_Connection* connection)
{
    size_t length;
    char* page = render_page(&length);
    if (!page)
        return reply(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "out of memory\n");
    struct MHD_Response* response = MHD_create_response_from_buffer(length, page, MHD_RESPMEM_MUST_FREE);
    if (!response) {
        free(page);
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, METRICS_PAGE_CONTENT_TYPE);
    enum MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
}

/* GET (or HEAD) /metrics; 404 for any other path, 405 for other methods. */
static enum MHD_Result answer(void* unused, struct MHD_Connection* connection, const char* url, const char* method,
                              const char* version, const char* upload_data, size_t* upload_data_size,
                              void** request)
{
    (void)unused;
    (void)version;
    (void)upload_data;
    (void)upload_data_size;
    (void)request;
    if (strcmp(url, "/metrics") != 0)
        return reply(connection, MHD_HTTP_NOT_FOUND, "not found: the metrics are at /metrics\n");
    if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
        return reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n");
    return serve_metrics(connection);
}

/* Returns 0, or the error number of the failed start. */
static int start_server(void)
{
    const struct sockaddr* address = settings.ipv6 ? (const struct sockaddr*)&settings.v6
                                                   : (const struct sockaddr*)&settings.v4;
    errno = 0;
    server = MHD_start_daemon(MHD_USE_AUTO_INTERNAL_THREAD | (settings.ipv6 ? MHD_USE_IPv6 : 0),
                              (uint16_t)settings.port, NULL, NULL, answer, NULL, MHD_OPTION_SOCK_ADDR, address,
                              MHD_OPTION_CONNECTION_LIMIT, (unsigned)MAX_CONNECTIONS, MHD_OPTION_CONNECTION_TIMEOUT,
                              (unsigned)IDLE_SECONDS, MHD_OPTION_END);
    if (server)
        return 0;
    return errno ? errno : EIO;
}

/* Stops the server; its thread has ended when this returns. */
static void stop_server(void)
{
    if (server)
        MHD_stop_daemon(server);
    server = NULL;
}

/* ---- entry points ------------------------------------------------------- */

EXPORT int32_t Load(void* in, void* out)
{
    (void)in;
    ModuleInfo* info = out;
    if (!read_settings())
        return EINVAL;
    void* self = dlopen(NULL, RTLD_NOW);
    host_snapshot = self ? (OrvHostSnapshotFn)dlsym(self, ORV_HOST_SNAPSHOT_SYMBOL) : NULL;
    if (self)
        dlclose(self);
    info->module_id = settings.module_id;
    return 0;
}

EXPORT int32_t Open(void* in, void* out)
{
    (void)in;
    (void)out;
    int error = start_server();
    if (error) {
        fprintf(stderr, "prometheus_exporter: cannot serve on %s: %s\n", settings.where, strerror(error));
        return error;
    }
    fprintf(stderr, "prometheus_exporter: serving http://%s/metrics%s\n", settings.where,
            host_snapshot ? "" : " (the service has no host interface: no counters)");
    return 0;
}

EXPORT int32_t IOCTL(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}

EXPORT int32_t Close(void* in, void* out)
{
    (void)in;
    (void)out;
    stop_server();
    return 0;
}

EXPORT int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    stop_server();
    return 0;
}
