// The liblzma entry points the plug-in uses, as a table the codec loops call through.
#ifndef CODEC_CODEC_API_H
#define CODEC_CODEC_API_H

#include <cstdint>

// Only liblzma's types are taken from its header; its functions are reached
// through the pointers below, bound at run time.
#ifndef LZMA_API_STATIC
#define LZMA_API_STATIC
#endif
#include <lzma.h>

// liblzma exports use the C calling convention, not the stdcall of the
// plug-in's own exports.
#if defined(_WIN32) && !defined(_WIN64)
#define CODEC_CALL __cdecl
#else
#define CODEC_CALL
#endif

namespace codec {

using StreamDecoderFn = lzma_ret(CODEC_CALL*)(lzma_stream* strm, uint64_t memlimit, uint32_t flags);
using EasyEncoderFn = lzma_ret(CODEC_CALL*)(lzma_stream* strm, uint32_t preset, lzma_check check);
using CodeFn = lzma_ret(CODEC_CALL*)(lzma_stream* strm, lzma_action action);
using EndFn = void(CODEC_CALL*)(lzma_stream* strm);
using StreamDecoderMtFn = lzma_ret(CODEC_CALL*)(lzma_stream* strm, const lzma_mt* options);
using StreamEncoderMtFn = lzma_ret(CODEC_CALL*)(lzma_stream* strm, const lzma_mt* options);
using StreamEncoderMtMemusageFn = uint64_t(CODEC_CALL*)(const lzma_mt* options);
using GetProgressFn = void(CODEC_CALL*)(lzma_stream* strm, uint64_t* progress_in, uint64_t* progress_out);
using BlockHeaderDecodeFn = lzma_ret(CODEC_CALL*)(lzma_block* block, const lzma_allocator* allocator,
                                                  const uint8_t* in);
using BlockCompressedSizeFn = lzma_ret(CODEC_CALL*)(lzma_block* block, lzma_vli unpadded_size);
using BlockDecoderFn = lzma_ret(CODEC_CALL*)(lzma_stream* strm, lzma_block* block);
using FiltersFreeFn = void(CODEC_CALL*)(lzma_filter* filters, const lzma_allocator* allocator);
using CheckIsSupportedFn = lzma_bool(CODEC_CALL*)(lzma_check check);

struct CodecApi {
    // Required: a library without any of these is no codec at all.
    StreamDecoderFn stream_decoder;
    CodeFn code;
    EndFn end;
    EasyEncoderFn easy_encoder;
    // Optional, null where the library predates them: without them every
    // run takes the single-threaded path, with the same results.
    StreamDecoderMtFn stream_decoder_mt = nullptr;
    StreamEncoderMtFn stream_encoder_mt = nullptr;
    StreamEncoderMtMemusageFn stream_encoder_mt_memusage = nullptr;
    // What the threaded encoder's workers have taken in so far; without it
    // threaded packing reports what the encoder was handed instead.
    GetProgressFn get_progress = nullptr;
    // The block decoder behind the index-driven decode; all five or none.
    BlockHeaderDecodeFn block_header_decode = nullptr;
    BlockCompressedSizeFn block_compressed_size = nullptr;
    BlockDecoderFn block_decoder = nullptr;
    FiltersFreeFn filters_free = nullptr;
    CheckIsSupportedFn check_is_supported = nullptr;
};

// Decoder set-up used for every test and extraction: no memory limit, an
// unsupported integrity check reported as an error instead of skipped, and
// every concatenated stream of the file decoded.
constexpr uint64_t kNoMemoryLimit = UINT64_MAX;
constexpr uint32_t kDecoderFlags = LZMA_TELL_UNSUPPORTED_CHECK | LZMA_CONCATENATED;
// The threaded decoder would otherwise hand out everything before a damaged
// block first and name the fault only then: a run that ends in failure
// anyway should end as soon as the fault is found.
constexpr uint32_t kDecoderMtFlags = kDecoderFlags | LZMA_FAIL_FAST;

// Every step moves at most one chunk of this size.
constexpr size_t kIoChunk = 4096;

} // namespace codec

#endif
