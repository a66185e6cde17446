/*
 * The bridge's JSON: objects written field by field into a fixed buffer,
 * and the flat objects that commands are (string, number, true, false and
 * null values; nothing nested) read into fields.
 *
 * Thread safety: none of its own; each caller uses its own records.
 */
#ifndef ORVANTIS_MQTT_JSON_TEXT_H
#define ORVANTIS_MQTT_JSON_TEXT_H

#include <stddef.h>
#include <stdint.h>

#define JSON_TEXT_MAX 2048

typedef struct JsonWriter {
    char text[JSON_TEXT_MAX];
    size_t length;
    int overflow;  /* the object did not fit: json_end gives null */
    int fields;
} JsonWriter;

void json_begin(JsonWriter* json);
void json_string(JsonWriter* json, const char* key, const char* value);
void json_bytes(JsonWriter* json, const char* key, const char* value, size_t length);
void json_integer(JsonWriter* json, const char* key, long long value);
void json_real(JsonWriter* json, const char* key, double value);
void json_bool(JsonWriter* json, const char* key, int value);
/* UTC in ISO 8601 to the millisecond: "2025-01-05T14:23:01.123Z". */
void json_time(JsonWriter* json, const char* key, int64_t unix_ms);
/* `value` is JSON already (an object, an array). */
void json_raw(JsonWriter* json, const char* key, const char* value);
/* The finished object, NUL-terminated, or null when it did not fit. */
const char* json_end(JsonWriter* json);

#define JSON_KEY_SIZE 32
#define JSON_VALUE_SIZE 128

typedef struct JsonField {
    char key[JSON_KEY_SIZE];
    char value[JSON_VALUE_SIZE]; /* a string unescaped; other values as written */
    int is_string;
} JsonField;

/* Reads a flat object of `length` bytes (no payload reads as {}). Returns
 * the number of fields, or -1 when the text is not such an object, a key or
 * value is too long, a value is nested, or there are more than `capacity`. */
int json_read_object(const char* text, size_t length, JsonField* fields, int capacity);

/* The field named `key`, or null. */
const JsonField* json_field(const JsonField* fields, int count, const char* key);

#endif
