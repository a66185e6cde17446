#include "segment_index.h"

#include <libavformat/avformat.h>
#include <sqlite3.h>
#include <stdio.h>
#include <string.h>

#include "../common/host_services.h"

static const char* const schema =
    "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;" /* a row lost to a power cut comes back from its file */
    "CREATE TABLE IF NOT EXISTS segments (camera TEXT NOT NULL, start_ms INTEGER NOT NULL,"
    " end_ms INTEGER NOT NULL, path TEXT NOT NULL UNIQUE, bytes INTEGER NOT NULL,"
    " key_frames INTEGER NOT NULL, gaps INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS segments_by_time ON segments (camera, start_ms);";

static void report(SegmentIndex* index, const char* what)
{
    if (!index->failing)
        host_log(ORV_LOG_WARNING, "index %s: %s", what, index->db ? sqlite3_errmsg(index->db) : "no memory");
    index->failing = 1;
}

static int open_database(SegmentIndex* index, const char* file)
{
    if (sqlite3_open(file, &index->db) != SQLITE_OK ||
        sqlite3_exec(index->db, "PRAGMA quick_check", NULL, NULL, NULL) != SQLITE_OK ||
        sqlite3_exec(index->db, schema, NULL, NULL, NULL) != SQLITE_OK) {
        sqlite3_close(index->db);
        index->db = NULL;
        return 0;
    }
    sqlite3_busy_timeout(index->db, 1000); /* the tool may be reading */
    return 1;
}

/* Reads a segment's file for its row: the end from its last picture, its key
 * frames counted. 0 when it cannot be read. */
static int read_segment(const char* file, int64_t start_ms, SegmentIndexRow* row)
{
    AVFormatContext* input = NULL;
    if (avformat_open_input(&input, file, NULL, NULL) < 0)
        return 0;
    AVPacket* packet = av_packet_alloc();
    int64_t end = AV_NOPTS_VALUE, first = AV_NOPTS_VALUE;
    row->key_frames = 0;
    while (packet && av_read_frame(input, packet) >= 0) {
        if (packet->stream_index == 0 && packet->pts != AV_NOPTS_VALUE) {
            if (first == AV_NOPTS_VALUE || packet->pts < first)
                first = packet->pts;
            if (end == AV_NOPTS_VALUE || packet->pts + packet->duration > end)
                end = packet->pts + packet->duration;
            row->key_frames += (packet->flags & AV_PKT_FLAG_KEY) != 0;
        }
        av_packet_unref(packet);
    }
    const int found = input->nb_streams > 0 && end != AV_NOPTS_VALUE;
    if (found)
        row->end_ms = start_ms + av_rescale_q(end - first, input->streams[0]->time_base, (AVRational){1, 1000});
    av_packet_free(&packet);
    avformat_close_input(&input);
    return found;
}

/* Deletes the rows of files that are gone, adds the files without a row. */
static void reconcile(SegmentIndex* index, const Retention* retention)
{
    sqlite3_exec(index->db, "BEGIN; CREATE TEMP TABLE present (path TEXT PRIMARY KEY)", NULL, NULL, NULL);
    sqlite3_stmt* present = NULL;
    sqlite3_stmt* known = NULL;
    sqlite3_prepare_v2(index->db, "INSERT OR IGNORE INTO present VALUES (?)", -1, &present, NULL);
    sqlite3_prepare_v2(index->db, "SELECT 1 FROM segments WHERE path = ?", -1, &known, NULL);
    for (int i = 0; present && known && i < retention->count; ++i) {
        const RetainedSegment* segment = &retention->segments[i];
        sqlite3_bind_text(present, 1, segment->name, -1, SQLITE_STATIC);
        sqlite3_step(present);
        sqlite3_reset(present);
        sqlite3_bind_text(known, 1, segment->name, -1, SQLITE_STATIC);
        const int indexed = sqlite3_step(known) == SQLITE_ROW;
        sqlite3_reset(known);
        char file[4096];
        SegmentIndexRow row = {retention->cameras[segment->camera].name, segment->name, segment->start_us / 1000, 0,
                               segment->bytes, 0, 0};
        snprintf(file, sizeof file, "%s/%s", index->directory, segment->name);
        if (!indexed && read_segment(file, row.start_ms, &row))
            segment_index_add(index, &row);
    }
    sqlite3_finalize(present);
    sqlite3_finalize(known);
    if (sqlite3_exec(index->db,
                     "DELETE FROM segments WHERE path NOT IN (SELECT path FROM present);"
                     "DROP TABLE present; COMMIT",
                     NULL, NULL, NULL) != SQLITE_OK) {
        report(index, "cannot be brought in line with the files");
        sqlite3_exec(index->db, "ROLLBACK", NULL, NULL, NULL);
    }
}

void segment_index_open(SegmentIndex* index, const char* directory, const Retention* retention)
{
    char file[4096];
    memset(index, 0, sizeof *index);
    index->directory = directory;
    snprintf(file, sizeof file, "%s/%s", directory, SEGMENT_INDEX_FILE);
    if (!open_database(index, file)) {
        host_log(ORV_LOG_WARNING, "index %s damaged or unreadable, made again from the files", file);
        static const char* const parts[] = {"", "-wal", "-shm"};
        for (size_t i = 0; i < sizeof parts / sizeof *parts; ++i) {
            char part[4200];
            snprintf(part, sizeof part, "%s%s", file, parts[i]);
            remove(part);
        }
        if (!open_database(index, file)) {
            report(index, "cannot be made");
            return;
        }
    }
    reconcile(index, retention);
}

void segment_index_add(SegmentIndex* index, const SegmentIndexRow* row)
{
    sqlite3_stmt* insert = NULL;
    if (!index->db)
        return;
    if (sqlite3_prepare_v2(index->db, "INSERT OR REPLACE INTO segments VALUES (?, ?, ?, ?, ?, ?, ?)", -1, &insert,
                           NULL) == SQLITE_OK) {
        sqlite3_bind_text(insert, 1, row->camera, -1, SQLITE_STATIC);
        sqlite3_bind_int64(insert, 2, row->start_ms);
        sqlite3_bind_int64(insert, 3, row->end_ms);
        sqlite3_bind_text(insert, 4, row->path, -1, SQLITE_STATIC);
        sqlite3_bind_int64(insert, 5, row->bytes);
        sqlite3_bind_int64(insert, 6, row->key_frames);
        sqlite3_bind_int64(insert, 7, row->gaps);
    }
    if (!insert || sqlite3_step(insert) != SQLITE_DONE)
        report(index, "cannot add a segment");
    sqlite3_finalize(insert);
}

void segment_index_remove(SegmentIndex* index, const char* path)
{
    sqlite3_stmt* remove_row = NULL;
    if (!index->db)
        return;
    if (sqlite3_prepare_v2(index->db, "DELETE FROM segments WHERE path = ?", -1, &remove_row, NULL) == SQLITE_OK)
        sqlite3_bind_text(remove_row, 1, path, -1, SQLITE_STATIC);
    if (!remove_row || sqlite3_step(remove_row) != SQLITE_DONE)
        report(index, "cannot remove a segment");
    sqlite3_finalize(remove_row);
}

void segment_index_close(SegmentIndex* index)
{
    sqlite3_close(index->db);
    index->db = NULL;
}
