// Reads at offsets through a file handle of its own, from several threads at once.
#ifndef PLUGIN_POSITIONED_FILE_H
#define PLUGIN_POSITIONED_FILE_H

#include "xzformat/byte_source.h"

namespace plugin {

// Each read names its offset, so the handle keeps no position that threads
// would share, and no runtime stream sees its reads.
class PositionedFile final : public xzformat::ByteSource {
public:
    explicit PositionedFile(const char* path);
    explicit PositionedFile(const wchar_t* path);
    ~PositionedFile() override;
    PositionedFile(const PositionedFile&) = delete;
    PositionedFile& operator=(const PositionedFile&) = delete;

    // False when the file could not be opened.
    bool ok() const;
    bool Size(uint64_t* size) override;
    size_t ReadAt(uint64_t offset, void* buf, size_t n) override;

private:
    void* handle_;
};

} // namespace plugin

#endif
