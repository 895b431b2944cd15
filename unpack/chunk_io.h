// Chunk streams now live with the codec; kept for code written against the old place.
#ifndef UNPACK_CHUNK_IO_H
#define UNPACK_CHUNK_IO_H

#include "codec/chunk_io.h"

namespace unpack {
using codec::ChunkRead;
using codec::ChunkSink;
using codec::ChunkSource;
using codec::ProgressSink;
} // namespace unpack

#endif
