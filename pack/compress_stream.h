// The compression loop behind file packing.
#ifndef PACK_COMPRESS_STREAM_H
#define PACK_COMPRESS_STREAM_H

#include <cstdint>

#include "codec/chunk_io.h"
#include "codec/codec_api.h"
#include "plugin/result_code.h"

namespace pack {

// Encodes all of source into target at preset with a CRC-64 check, in
// 4096-byte chunks. One thread is the easy encoder, which reports each chunk
// read (also a final one of 0 bytes) to progress. More are the threaded
// encoder, which writes what xz writes with two threads or more; it reports
// after every step what its workers have compressed since the last report,
// steps waiting at most codec::kThreadedStepTimeout, and the reports add up
// to the source's size with the last one at the end of the stream. Results:
// 0, 11 (also the codec out of memory), 12, 18, 19 or 21; the event met last
// decides, and an abort ends the run at once.
plugin::ResultCode CompressStream(const codec::CodecApi& codec, codec::ChunkSource& source,
                                  codec::ChunkSink& target, codec::ProgressSink& progress,
                                  uint32_t preset, uint32_t threads = 1);

} // namespace pack

#endif
