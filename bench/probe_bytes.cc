// Bytes that opening an .xz file reads: the archive probe run over a source
// that counts what it is asked for, on each file given.
//
// usage: probe_bytes FILE.xz...
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "xzformat/byte_source.h"
#include "xzformat/probe.h"

namespace {

// A file read with pread and nothing in between, like the plug-in's
// descriptor source, so the count is what reaches the file system.
class PreadSource final : public xzformat::ByteSource {
public:
    explicit PreadSource(int fd) : fd_(fd) {}

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

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: probe_bytes FILE.xz...\n");
        return 2;
    }
    int status = 0;
    std::printf("%-28s %14s %16s %12s %6s\n", "file", "packed bytes", "unpacked bytes", "bytes read", "reads");
    for (int i = 1; i < argc; ++i) {
        const int fd = open(argv[i], O_RDONLY);
        if (fd < 0) {
            std::perror(argv[i]);
            status = 1;
            continue;
        }
        PreadSource file(fd);
        xzformat::CountingSource source(file);
        xzformat::ProbeResult result = {};
        const xzformat::ProbeStatus probe = xzformat::XzProbe(source, &result);
        close(fd);
        const char* name = std::strrchr(argv[i], '/') ? std::strrchr(argv[i], '/') + 1 : argv[i];
        if (probe != xzformat::ProbeStatus::Ok) {
            std::printf("%-28s the probe refused it\n", name);
            status = 1;
            continue;
        }
        std::printf("%-28s %14llu %16llu %12llu %6llu\n", name, static_cast<unsigned long long>(result.packed_size),
                    static_cast<unsigned long long>(result.unpacked_size),
                    static_cast<unsigned long long>(source.bytes()), static_cast<unsigned long long>(source.reads()));
    }
    return status;
}
