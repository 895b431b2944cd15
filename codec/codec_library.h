// Run-time binding of liblzma.dll from the plug-in's own folder, once per process.
#ifndef CODEC_CODEC_LIBRARY_H
#define CODEC_CODEC_LIBRARY_H

#include <cstdint>

#include "codec/codec_api.h"

namespace codec {

// 1 when the codec is bound, 0 when it is unavailable. Only the first call
// looks for the library; its outcome holds for the life of the process.
int32_t LoadCodecLibrary();

// The bound entry points; valid only after LoadCodecLibrary() returned 1.
const CodecApi& BoundCodec();

// The logical processors the system reports; at least 1.
uint32_t LogicalProcessors();

// The machine's physical memory in bytes; 0 when the system does not say.
uint64_t PhysicalMemory();

} // namespace codec

#endif
