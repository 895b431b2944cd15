// The table of codec entries the module binds from its liblzma.dll, bound
// here to the liblzma the native programs link.
#ifndef TESTS_NATIVE_SYSTEM_LIBLZMA_H
#define TESTS_NATIVE_SYSTEM_LIBLZMA_H

#include <lzma.h>

#include "codec/codec_api.h"

namespace system_liblzma {

// Without the block entries, as from a library too old for them: the
// module then keeps every archive on the stream decoders.
inline codec::CodecApi Codec(bool with_blocks = true)
{
    codec::CodecApi api{lzma_stream_decoder, lzma_code, lzma_end, lzma_easy_encoder, lzma_stream_decoder_mt};
    if (with_blocks) {
        api.block_header_decode = lzma_block_header_decode;
        api.block_compressed_size = lzma_block_compressed_size;
        api.block_decoder = lzma_block_decoder;
        api.filters_free = lzma_filters_free;
        api.check_is_supported = lzma_check_is_supported;
    }
    return api;
}

} // namespace system_liblzma

#endif
