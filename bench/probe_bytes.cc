// Bytes that opening an .xz file reads: the archive probe run over a source
// that counts what it is asked for, on each file given.
//
// usage: probe_bytes FILE.xz...
#include <cstdio>
#include <cstring>

#include "bench/pread_source.h"
#include "xzformat/byte_source.h"
#include "xzformat/probe.h"

using bench::PreadSource;

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: probe_bytes FILE.xz...\n");
        return 2;
    }
    int status = 0;
    std::printf("%-28s %14s %16s %12s %6s\n", "file", "packed bytes", "unpacked bytes", "bytes read", "reads");
    for (int i = 1; i < argc; ++i) {
        PreadSource file(argv[i]);
        if (!file.ok()) {
            std::perror(argv[i]);
            status = 1;
            continue;
        }
        xzformat::CountingSource source(file);
        xzformat::ProbeResult result = {};
        const xzformat::ProbeStatus probe = xzformat::XzProbe(source, &result);
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
