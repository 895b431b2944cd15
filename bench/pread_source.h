// A file read with pread and nothing in between, as the plug-in's descriptor
// source and its workers' handles read it, so that what the native bench
// programs count and time is what reaches the file system.
#ifndef BENCH_PREAD_SOURCE_H
#define BENCH_PREAD_SOURCE_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "xzformat/byte_source.h"

namespace bench {

class PreadSource final : public xzformat::ByteSource {
public:
    // Opens the file and closes it when done; ok() says whether it could
    // (errno then says why).
    explicit PreadSource(const char* path) : fd_(open(path, O_RDONLY)) {}
    ~PreadSource() override
    {
        if (fd_ >= 0)
            close(fd_);
    }
    PreadSource(const PreadSource&) = delete;
    PreadSource& operator=(const PreadSource&) = delete;
    bool ok() const { return fd_ >= 0; }

    bool Size(uint64_t* size) override
    {
        struct stat st;
        if (fstat(fd_, &st) != 0)
            return false;
        *size = static_cast<uint64_t>(st.st_size);
        return true;
    }

    size_t ReadAt(uint64_t offset, void* buf, size_t n) override
    {
        size_t got = 0;
        while (got < n) {
            const ssize_t r = pread(fd_, static_cast<char*>(buf) + got, n - got, static_cast<off_t>(offset + got));
            if (r <= 0)
                break;
            got += static_cast<size_t>(r);
        }
        return got;
    }

private:
    int fd_;
};

} // namespace bench

#endif
