/*
 * Shipped module: a Prometheus exporter. It serves the service's counters,
 * which it reads through the host interface (supervision/host_api.h), and the
 * metrics the modules publish there, at http(s)://<listen_address>:<port>/metrics
 * in the Prometheus text format.
 *
 * Rules of the module contract shown here:
 * - Load, Open, Close and Unload run on the service's main thread. The HTTP
 *   server (libmicrohttpd) runs on one thread of its own, started by Open and
 *   stopped by Close, which joins it: nothing of the module runs after Close.
 *   Unload stops it too, should Close not have been called. The server is
 *   started with its inter-thread wake-up, so a stop does not wait for a
 *   poll to time out, however many connections are open.
 * - The module neither receives nor sends messages (no class masks, no
 *   Write); it only asks the service for a snapshot of its counters and the
 *   modules' metrics, once per request of the page, on the server's thread.
 * - A service without the host interface still loads the module: the page
 *   then says orvantis_host_interface_available 0 and shows only the build
 *   and process figures.
 * - The server stays answerable with many clients: up to MAX_CONNECTIONS at
 *   once, each given REQUEST_SECONDS of silence while it sends its request
 *   and KEEPALIVE_SECONDS between requests once it has sent a whole one.
 * - Loopback by default. Any other address is served only with TLS and HTTP
 *   basic authentication against a file of bcrypt hashes (web_access.c).
 * - It logs through the host's log (standard error without one): a
 *   configuration not to serve refuses Load; a port that cannot be bound
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

#include "../common/host_services.h"
#include "../common/listen_address.h"
#include "../common/module_config.h"
#include "../common/web_access.h"
#include "../common/web_limits.h"
#include "metrics_page.h"
#include "modules/module_api.h"

#define EXPORT __attribute__((visibility("default")))

/* The version orvantis_build_info reports: the tree's, or what an outside
   build passes (-DORV_SERVICE_VERSION="$(pkg-config --modversion
   orvantis-module)"). */
#ifndef ORV_SERVICE_VERSION
#define ORV_SERVICE_VERSION "unknown"
#endif

/* Connections served at once; the descriptor limit is raised to fit them. */
#define MAX_CONNECTIONS 2000
/* Seconds of silence allowed while a request comes in, and between requests. */
#define REQUEST_SECONDS 3
#define KEEPALIVE_SECONDS 60
/* Snapshot records asked for at first; more when the service lists more. */
#define FIRST_CAPACITY 32

/* Settings, read in Load and only read afterwards. */
typedef struct Settings {
    ListenAddress listen;
    uint64_t module_id;
} Settings;

static Settings settings;
static WebAccess access_rules;           /* set in Load; TLS and users */
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

/* False, with a line on the log, for a configuration not to serve. */
static int read_settings(void)
{
    ModuleConfig config;
    int found = module_config_load(&config, (const void*)read_settings);
    settings.module_id = (uint64_t)module_config_number(&config, "module_id", 0x600);
    host_services_find("prometheus_exporter", settings.module_id);
    if (!found)
        host_log(ORV_LOG_NOTICE, "cannot read %s, using the defaults", config.path);
    const char* port = module_config_text(&config, "port", "9477");
    const unsigned port_number = parse_port(port);
    if (!port_number) {
        host_log(ORV_LOG_ERROR, "port \"%s\" is not a port from 1 to 65535: not loading", port);
        return 0;
    }
    const char* address = module_config_text(&config, "listen_address", "127.0.0.1");
    if (!listen_address_parse(&settings.listen, address, port_number)) {
        host_log(ORV_LOG_ERROR, "listen_address \"%s\" is not an IP address: not loading", address);
        return 0;
    }
    char why[512];
    if (!web_access_load(&access_rules, &config, why, sizeof why)) {
        host_log(ORV_LOG_ERROR, "%s: not loading", why);
        return 0;
    }
    if (!settings.listen.loopback && !(access_rules.tls && access_rules.user_count)) {
        host_log(ORV_LOG_ERROR,
                 "listen_address \"%s\" is not a loopback address (127.0.0.0/8 or ::1) and tls_cert_file, "
                 "tls_key_file and basic_auth_file are not all set: not loading",
                 address);
        web_access_free(&access_rules);  /* a refused Load gets no Unload */
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
    HostSnapshot snapshot;
    ProcessStats process;
    PageInput input = {host_snapshot != NULL, NULL, NULL, 0, &process, ORV_SERVICE_VERSION};
    process_stats_read(&process);
    memset(&snapshot, 0, sizeof snapshot);
    if (host_snapshot && take_snapshot(&snapshot) == 0)
        input.snapshot = &snapshot;
    MetricReading* readings = host_metrics_take(&input.metric_count);
    input.metrics = readings;
    char* page = metrics_page_render(&input, length);
    free(snapshot.modules);
    free(readings);
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
    enum MHD_Result queued = status == MHD_HTTP_UNAUTHORIZED
                                 ? MHD_queue_basic_auth_fail_response(connection, "orvantis", response)
                                 : MHD_queue_response(connection, status, response);
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

/* True when the request carries the credentials of a listed user, or when no
 * users are listed. */
static int authorized(struct MHD_Connection* connection)
{
    if (!access_rules.user_count)
        return 1;
    char* password = NULL;
    char* user = MHD_basic_auth_get_username_password(connection, &password);
    int allowed = user && password && web_access_check(&access_rules, user, password);
    MHD_free(user);
    MHD_free(password);
    return allowed;
}

/* GET (or HEAD) /metrics; 401 without valid credentials, 404 for any other
 * path, 405 for other methods. */
static enum MHD_Result answer(void* unused, struct MHD_Connection* connection, const char* url, const char* method,
                              const char* version, const char* upload_data, size_t* upload_data_size,
                              void** request)
{
    (void)unused;
    (void)version;
    (void)upload_data;
    (void)upload_data_size;
    (void)request;
    /* A whole request came: the client may keep the connection for the next. */
    MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, (unsigned)KEEPALIVE_SECONDS);
    if (!authorized(connection))
        return reply(connection, MHD_HTTP_UNAUTHORIZED, "unauthorized\n");
    if (strcmp(url, "/metrics") != 0)
        return reply(connection, MHD_HTTP_NOT_FOUND, "not found: the metrics are at /metrics\n");
    if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
        return reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n");
    return serve_metrics(connection);
}

/* Returns 0, or the error number of the failed start. */
static int start_server(void)
{
    const struct sockaddr* address = settings.listen.ipv6 ? (const struct sockaddr*)&settings.listen.v6
                                                   : (const struct sockaddr*)&settings.listen.v4;
    unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD | MHD_USE_ITC | (settings.listen.ipv6 ? MHD_USE_IPv6 : 0);
    /* Without TLS the list ends at once. */
    struct MHD_OptionItem tls[] = {
        {access_rules.tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, 0, access_rules.certificate},
        {MHD_OPTION_HTTPS_MEM_KEY, 0, access_rules.key},
        {MHD_OPTION_END, 0, NULL},
    };
    web_limits_make_room(MAX_CONNECTIONS);
    errno = 0;
    server = MHD_start_daemon(flags | (access_rules.tls ? MHD_USE_TLS : 0), (uint16_t)settings.listen.port, NULL, NULL,
                              answer, NULL, MHD_OPTION_SOCK_ADDR, address, MHD_OPTION_CONNECTION_LIMIT,
                              (unsigned)MAX_CONNECTIONS, MHD_OPTION_CONNECTION_TIMEOUT, (unsigned)REQUEST_SECONDS,
                              MHD_OPTION_NOTIFY_CONNECTION, web_limits_connection_started,
                              web_limits_seconds(REQUEST_SECONDS), MHD_OPTION_ARRAY, tls, MHD_OPTION_END);
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
    void* snapshot = self ? dlsym(self, ORV_HOST_SNAPSHOT_SYMBOL) : NULL;
    /* ISO C has no cast from an object pointer to a function pointer. */
    memcpy(&host_snapshot, &snapshot, sizeof host_snapshot);
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
        host_log(ORV_LOG_ERROR, "cannot serve on %s: %s", settings.listen.where, strerror(error));
        return error;
    }
    host_log(ORV_LOG_INFO, "serving %s://%s/metrics%s%s", access_rules.tls ? "https" : "http", settings.listen.where,
             access_rules.user_count ? " (basic authentication)" : "",
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
    web_access_free(&access_rules);
    return 0;
}
