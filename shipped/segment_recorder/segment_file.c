#include "segment_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#define BUFFER_SIZE 65536

typedef struct SegmentFile {
    int fd;
    Retention* retention;
} SegmentFile;

static int write_file(void* opaque, uint8_t* data, int size)
{
    SegmentFile* file = opaque;
    int left = size;
    while (left > 0) {
        ssize_t n = write(file->fd, data, (size_t)left);
        if (n >= 0) {
            data += n;
            left -= (int)n;
        } else if (errno == ENOSPC && retention_make_room(file->retention)) {
            continue;
        } else if (errno != EINTR) {
            return AVERROR(errno);
        }
    }
    return size;
}

static int64_t seek_file(void* opaque, int64_t offset, int whence)
{
    SegmentFile* file = opaque;
    if (whence == AVSEEK_SIZE) {
        struct stat status;
        return fstat(file->fd, &status) == 0 ? (int64_t)status.st_size : AVERROR(errno);
    }
    off_t at = lseek(file->fd, (off_t)offset, whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : (int64_t)at;
}

int segment_file_open(AVFormatContext* output, const char* path, Retention* retention)
{
    SegmentFile* file = malloc(sizeof *file);
    uint8_t* buffer = av_malloc(BUFFER_SIZE);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int error = fd < 0 ? AVERROR(errno) : 0;
    AVIOContext* io = NULL;
    if (file && buffer && fd >= 0) {
        file->fd = fd;
        file->retention = retention;
        io = avio_alloc_context(buffer, BUFFER_SIZE, 1, file, NULL, write_file, seek_file);
    }
    if (!io) {
        if (fd >= 0)
            close(fd);
        free(file);
        av_free(buffer);
        return error < 0 ? error : AVERROR(ENOMEM);
    }
    output->pb = io;
    output->flags |= AVFMT_FLAG_CUSTOM_IO;
    return 0;
}

int segment_file_close(AVFormatContext* output, int complete)
{
    AVIOContext* io = output->pb;
    if (!io)
        return 0;
    SegmentFile* file = io->opaque;
    avio_flush(io);
    int error = io->error;
    if (error >= 0 && complete && fsync(file->fd) != 0)
        error = AVERROR(errno);
    close(file->fd);
    free(file);
    av_freep(&io->buffer);
    avio_context_free(&output->pb);
    return error;
}
