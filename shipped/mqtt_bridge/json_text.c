#include "json_text.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static void put(JsonWriter* json, const char* text, size_t length)
{
    if (json->overflow || json->length + length >= sizeof json->text) {
        json->overflow = 1;
        return;
    }
    memcpy(json->text + json->length, text, length);
    json->length += length;
}

static void put_text(JsonWriter* json, const char* text)
{
    put(json, text, strlen(text));
}

/* A JSON string: quotes, backslashes and control bytes escaped; other
 * bytes as they are (names and paths are the operator's own bytes). */
static void put_quoted(JsonWriter* json, const char* value, size_t length)
{
    put(json, "\"", 1);
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = (unsigned char)value[i];
        char escaped[8];
        if (c == '"' || c == '\\') {
            escaped[0] = '\\';
            escaped[1] = (char)c;
            put(json, escaped, 2);
        } else if (c < 0x20 || c == 0x7F) {
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            put(json, escaped, 6);
        } else {
            put(json, (const char*)&c, 1);
        }
    }
    put(json, "\"", 1);
}

static void key(JsonWriter* json, const char* name)
{
    if (json->fields++)
        put(json, ",", 1);
    put_quoted(json, name, strlen(name));
    put(json, ":", 1);
}

void json_begin(JsonWriter* json)
{
    json->length = 0;
    json->overflow = 0;
    json->fields = 0;
    put(json, "{", 1);
}

void json_string(JsonWriter* json, const char* name, const char* value)
{
    json_bytes(json, name, value, strlen(value));
}

void json_bytes(JsonWriter* json, const char* name, const char* value, size_t length)
{
    key(json, name);
    put_quoted(json, value, length);
}

void json_integer(JsonWriter* json, const char* name, long long value)
{
    char text[32];
    key(json, name);
    put(json, text, (size_t)snprintf(text, sizeof text, "%lld", value));
}

void json_real(JsonWriter* json, const char* name, double value)
{
    char text[48];
    key(json, name);
    if (!isfinite(value))
        put_text(json, "null");
    else
        put(json, text, (size_t)snprintf(text, sizeof text, "%.3f", value));
}

void json_bool(JsonWriter* json, const char* name, int value)
{
    key(json, name);
    put_text(json, value ? "true" : "false");
}

void json_time(JsonWriter* json, const char* name, int64_t unix_ms)
{
    time_t seconds = (time_t)(unix_ms / 1000);
    int millis = (int)(unix_ms % 1000);
    if (millis < 0) {
        millis += 1000;
        --seconds;
    }
    struct tm utc;
    char stamp[32], text[48];
    gmtime_r(&seconds, &utc);
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(text, sizeof text, "%s.%03dZ", stamp, millis);
    json_string(json, name, text);
}

void json_raw(JsonWriter* json, const char* name, const char* value)
{
    key(json, name);
    put_text(json, value);
}

const char* json_end(JsonWriter* json)
{
    put(json, "}", 1);
    if (json->overflow)
        return NULL;
    json->text[json->length] = 0;
    return json->text;
}

/* ---- reading ------------------------------------------------------------ */

typedef struct Reader {
    const char* at;
    const char* end;
} Reader;

static void skip_blanks(Reader* in)
{
    while (in->at < in->end && (*in->at == ' ' || *in->at == '\t' || *in->at == '\n' || *in->at == '\r'))
        ++in->at;
}

static int take(Reader* in, char c)
{
    skip_blanks(in);
    if (in->at < in->end && *in->at == c) {
        ++in->at;
        return 1;
    }
    return 0;
}

/* A string into `out` (`size` bytes with the NUL); \uXXXX only below 0x80. */
static int read_string(Reader* in, char* out, size_t size)
{
    if (!take(in, '"'))
        return 0;
    size_t n = 0;
    while (in->at < in->end && *in->at != '"') {
        char c = *in->at++;
        if ((unsigned char)c < 0x20)
            return 0;
        if (c == '\\') {
            if (in->at == in->end)
                return 0;
            const char* simple = strchr("\"\\/bfnrt", *in->at);
            if (simple && *in->at) {
                c = "\"\\/\b\f\n\r\t"[simple - "\"\\/bfnrt"];
                ++in->at;
            } else if (*in->at == 'u' && in->end - in->at >= 5) {
                unsigned code;
                char digits[5] = {in->at[1], in->at[2], in->at[3], in->at[4], 0};
                if (strspn(digits, "0123456789abcdefABCDEF") != 4 || sscanf(digits, "%x", &code) != 1 || code == 0 ||
                    code >= 0x80)
                    return 0;
                c = (char)code;
                in->at += 5;
            } else {
                return 0;
            }
        }
        if (n + 1 >= size)
            return 0;
        out[n++] = c;
    }
    if (in->at == in->end)
        return 0;
    ++in->at;
    out[n] = 0;
    return 1;
}

/* A number, true, false or null, as written. */
static int read_word(Reader* in, char* out, size_t size)
{
    skip_blanks(in);
    const char* start = in->at;
    while (in->at < in->end && strchr("0123456789+-.eEtruefalsn", *in->at) && *in->at)
        ++in->at;
    size_t n = (size_t)(in->at - start);
    if (n == 0 || n >= size)
        return 0;
    memcpy(out, start, n);
    out[n] = 0;
    if (!strcmp(out, "true") || !strcmp(out, "false") || !strcmp(out, "null"))
        return 1;
    char* rest;
    strtod(out, &rest);
    return *rest == 0 && (out[0] == '-' || (out[0] >= '0' && out[0] <= '9'));
}

int json_read_object(const char* text, size_t length, JsonField* fields, int capacity)
{
    Reader in = {text, text + length};
    skip_blanks(&in);
    if (in.at == in.end)
        return 0;
    if (!take(&in, '{'))
        return -1;
    int count = 0;
    if (!take(&in, '}')) {
        do {
            if (count == capacity)
                return -1;
            JsonField* field = &fields[count++];
            if (!read_string(&in, field->key, sizeof field->key) || !take(&in, ':'))
                return -1;
            skip_blanks(&in);
            field->is_string = in.at < in.end && *in.at == '"';
            if (!(field->is_string ? read_string(&in, field->value, sizeof field->value)
                                   : read_word(&in, field->value, sizeof field->value)))
                return -1;
        } while (take(&in, ','));
        if (!take(&in, '}'))
            return -1;
    }
    skip_blanks(&in);
    return in.at == in.end ? count : -1;
}

const JsonField* json_field(const JsonField* fields, int count, const char* name)
{
    for (int i = 0; i < count; ++i)
        if (strcmp(fields[i].key, name) == 0)
            return &fields[i];
    return NULL;
}
