// Memory-backed byte source.
#include "xzformat/byte_source.h"

#include <cstring>

namespace xzformat {

bool MemorySource::Size(uint64_t* size)
{
    *size = size_;
    return true;
}

size_t MemorySource::ReadAt(uint64_t offset, void* buf, size_t n)
{
    if (offset >= size_)
        return 0;
    const size_t left = size_ - static_cast<size_t>(offset);
    const size_t count = n < left ? n : left;
    if (count > 0)
        std::memcpy(buf, data_ + offset, count);
    return count;
}

} // namespace xzformat
