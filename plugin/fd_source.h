// A byte source over a read-only C runtime file descriptor.
#ifndef PLUGIN_FD_SOURCE_H
#define PLUGIN_FD_SOURCE_H

#include "xzformat/byte_source.h"

namespace plugin {

class FdSource final : public xzformat::ByteSource {
public:
    explicit FdSource(int fd) : fd_(fd) {}

    bool Size(uint64_t* size) override;
    size_t ReadAt(uint64_t offset, void* buf, size_t n) override;

private:
    int fd_;
};

} // namespace plugin

#endif
