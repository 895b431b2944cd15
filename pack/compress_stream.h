// The compression loop behind file packing.
#ifndef PACK_COMPRESS_STREAM_H
#define PACK_COMPRESS_STREAM_H

#include <cstdint>

#include "codec/chunk_io.h"
#include "codec/codec_api.h"
#include "plugin/result_code.h"

namespace pack {

// Encodes all of source into target at preset with a CRC-64 check, in
// 4096-byte chunks, reporting each chunk read (also a final one of 0 bytes)
// to progress. One thread is the easy encoder; more are the threaded
// encoder, which writes what xz writes with two threads or more. Results:
// 0, 11, 12, 18, 19 or 21; the event met last decides, and an abort ends
// the run at once.
plugin::ResultCode CompressStream(const codec::CodecApi& codec, codec::ChunkSource& source,
                                  codec::ChunkSink& target, codec::ProgressSink& progress,
                                  uint32_t preset, uint32_t threads = 1);

} // namespace pack

#endif
