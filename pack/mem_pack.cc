// StartMemPack, PackToMem and DoneMemPack: the easy encoder between the host's own buffers.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "codec/codec_library.h"
#include "plugin/exports.h"
#include "settings/pack_settings.h"
#include "settings/settings_store.h"

namespace {

constexpr int32_t kStepDone = 1;
constexpr int32_t kStepMore = 0;
constexpr int32_t kStepFailed = -1;

} // namespace

// A handle is the address of one codec stream record; 0 when the codec is
// unavailable, memory is short or the encoder refuses to start.
extern "C" ZTX_EXPORT MemPackHandle ZTX_CALL StartMemPack(int32_t /*options*/, const char* /*file_name*/)
{
    if (codec::LoadCodecLibrary() == 0)
        return 0;
    auto* stream = static_cast<lzma_stream*>(std::malloc(sizeof(lzma_stream)));
    if (stream == nullptr)
        return 0;
    std::memset(stream, 0, sizeof(*stream));

    const settings::StoredSettings stored = settings::ReadStoredSettings();
    const settings::PackSettings s{settings::ClampRateUnsigned(static_cast<uint32_t>(stored.rate)),
                                   stored.extreme != 0};
    if (codec::BoundCodec().easy_encoder(stream, settings::Preset(s), LZMA_CHECK_CRC64) != LZMA_OK) {
        std::free(stream);
        return 0;
    }
    return reinterpret_cast<MemPackHandle>(stream);
}

// 1 the stream is complete and handed out; 0 more to come; -1 codec failure
// or a null handle. An input length of 0 finishes the stream.
extern "C" ZTX_EXPORT int32_t ZTX_CALL PackToMem(MemPackHandle handle, const uint8_t* input,
                                                 int32_t input_length, int32_t* taken,
                                                 uint8_t* output, int32_t output_length,
                                                 int32_t* written, int32_t* /*reserved*/)
{
    auto* stream = reinterpret_cast<lzma_stream*>(handle);
    if (stream == nullptr)
        return kStepFailed;
    const size_t in_size = input_length > 0 ? static_cast<size_t>(input_length) : 0;
    const size_t out_size = output_length > 0 ? static_cast<size_t>(output_length) : 0;
    stream->next_in = input;
    stream->avail_in = in_size;
    stream->next_out = output;
    stream->avail_out = out_size;
    const lzma_action action = input_length == 0 ? LZMA_FINISH : LZMA_RUN;
    const lzma_ret status = codec::BoundCodec().code(stream, action);
    if (written != nullptr)
        *written = static_cast<int32_t>(out_size - stream->avail_out);
    if (taken != nullptr)
        *taken = static_cast<int32_t>(in_size - stream->avail_in);
    switch (status) {
    case LZMA_STREAM_END:
        return kStepDone;
    case LZMA_OK:
        return kStepMore;
    default:
        return kStepFailed;
    }
}

extern "C" ZTX_EXPORT int32_t ZTX_CALL DoneMemPack(MemPackHandle handle)
{
    auto* stream = reinterpret_cast<lzma_stream*>(handle);
    if (stream != nullptr) {
        codec::BoundCodec().end(stream);
        std::free(stream);
    }
    return 0;
}
