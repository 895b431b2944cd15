/* A Linux library preloaded into Wine for the fault tests: reads of one file
 * fail with EIO from a given offset on, as on a disk with a bad sector or a
 * network share that drops part-way. Wine reads a file's bytes in the
 * process itself through these libc calls, so the Windows program sees
 * ReadFile fail after the bytes before the offset.
 *
 * XZ_FAILING_READS_FILE  the file (Unix path; matched by device and inode, so
 *                        a hard link to it fails too)
 * XZ_FAILING_READS_AFTER the offset of the first byte that cannot be read
 * Without both, or for any other file, every call is passed on unchanged.
 *
 * Built for both word sizes of Wine: offsets, stat and the pread64 family
 * take their 64-bit forms, which are what a 32-bit Wine calls too. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

typedef ssize_t (*read_fn)(int, void*, size_t);
typedef ssize_t (*pread_fn)(int, void*, size_t, off64_t);

static int is_failing_file(int fd, off64_t* limit)
{
    const char* path = getenv("XZ_FAILING_READS_FILE");
    const char* after = getenv("XZ_FAILING_READS_AFTER");
    struct stat64 open_file, named;
    if (path == NULL || after == NULL)
        return 0;
    /* Pipes and sockets (Wine's own traffic) are passed on after one fstat. */
    if (fstat64(fd, &open_file) != 0 || !S_ISREG(open_file.st_mode) || stat64(path, &named) != 0)
        return 0;
    if (open_file.st_dev != named.st_dev || open_file.st_ino != named.st_ino)
        return 0;
    *limit = (off64_t)atoll(after);
    return 1;
}

/* Shortens a read that would cross the offset; -1 for one that starts past it. */
static int clip(int fd, off64_t position, size_t* count)
{
    off64_t limit;
    if (!is_failing_file(fd, &limit))
        return 0;
    if (position >= limit) {
        errno = EIO;
        return -1;
    }
    if ((off64_t)*count > limit - position)
        *count = (size_t)(limit - position);
    return 0;
}

ssize_t read(int fd, void* buf, size_t count)
{
    static read_fn next;
    if (next == NULL)
        next = (read_fn)dlsym(RTLD_NEXT, "read");
    if (clip(fd, lseek64(fd, 0, SEEK_CUR), &count) < 0)
        return -1;
    return next(fd, buf, count);
}

ssize_t pread64(int fd, void* buf, size_t count, off64_t position)
{
    static pread_fn next;
    if (next == NULL)
        next = (pread_fn)dlsym(RTLD_NEXT, "pread64");
    if (clip(fd, position, &count) < 0)
        return -1;
    return next(fd, buf, count, position);
}

ssize_t pread(int fd, void* buf, size_t count, off_t position) { return pread64(fd, buf, count, position); }

/* The checked forms a fortified build calls instead. */
ssize_t __read_chk(int fd, void* buf, size_t count, size_t size)
{
    (void)size;
    return read(fd, buf, count);
}

ssize_t __pread64_chk(int fd, void* buf, size_t count, off64_t position, size_t size)
{
    (void)size;
    return pread64(fd, buf, count, position);
}

ssize_t __pread_chk(int fd, void* buf, size_t count, off_t position, size_t size)
{
    (void)size;
    return pread64(fd, buf, count, position);
}
