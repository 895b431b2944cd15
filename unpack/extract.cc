// ProcessFile and ProcessFileW: skip, test or extract the one entry.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <new>
#include <stdexcept>

#include "codec/async_sink.h"
#include "codec/codec_library.h"
#include "codec/file_streams.h"
#include "codec/threading.h"
#include "plugin/archive_table.h"
#include "plugin/exports.h"
#include "plugin/positioned_file.h"
#include "plugin/result_code.h"
#include "unpack/block_decode.h"

namespace {

using plugin::ArchiveHandle;
using plugin::ArchiveSlot;
using plugin::ResultCode;

const char* SlotName(const ArchiveSlot& slot, const char*) { return slot.archive_name; }
const wchar_t* SlotName(const ArchiveSlot& slot, const wchar_t*) { return slot.archive_name_w; }

// The opening report goes to the callback of the call's own form.
bool ReportStart(const ArchiveSlot& slot, const char* name)
{
    return slot.process_data_proc == nullptr || slot.process_data_proc(name, 0) != 0;
}

bool ReportStart(const ArchiveSlot& slot, const wchar_t* name)
{
    return slot.process_data_proc_w == nullptr || slot.process_data_proc_w(name, 0) != 0;
}

// Every step reports to the ANSI callback, in both forms, read anew each
// time so that a host may swap it during a long run.
class SlotProgress final : public codec::ProgressSink {
public:
    explicit SlotProgress(const ArchiveSlot& slot) : slot_(slot) {}
    bool Report(int32_t bytes) override
    {
        const ProcessDataProc proc = slot_.process_data_proc;
        return proc == nullptr || proc(nullptr, bytes) != 0;
    }

private:
    const ArchiveSlot& slot_;
};

// Readers of the archive at offsets, each worker's through a handle of its own.
template <typename Char>
class ArchiveFileReaders final : public unpack::ArchiveReaders {
public:
    explicit ArchiveFileReaders(const Char* path) : path_(path) {}
    std::unique_ptr<xzformat::ByteSource> Open() override
    {
        std::unique_ptr<plugin::PositionedFile> file(new (std::nothrow) plugin::PositionedFile(path_));
        if (!file || !file->ok())
            return nullptr;
        return file;
    }

private:
    const Char* path_;
};

template <typename Char>
ResultCode ExtractOrTest(ArchiveHandle handle, int32_t operation, const Char* target)
{
    if (!plugin::IsValidHandle(handle))
        return ResultCode::ReadError;
    if (operation == kSkip)
        return ResultCode::Ok;
    if (!plugin::SlotInUse(handle))
        return ResultCode::ReadError;
    const ArchiveSlot& slot = plugin::SlotOf(handle);
    const Char* archive = SlotName(slot, target);
    // A slot opened in the other name form holds no name in this one.
    if (archive[0] == 0)
        return ResultCode::ReadError;
    if ((operation == kExtract && target == nullptr) || (operation != kTest && operation != kExtract))
        return ResultCode::ReadError;
    if (codec::LoadCodecLibrary() == 0)
        return ResultCode::ReadError;

    if (!ReportStart(slot, target != nullptr ? target : archive))
        return ResultCode::Aborted;

    codec::RunFiles<Char> files(target);
    const ResultCode opened = files.Open(archive, operation == kExtract);
    if (opened != ResultCode::Ok)
        return opened;
    ResultCode result;
    try {
        codec::FileSource source(files.in());
        codec::FileSink sink(files.out());
        SlotProgress progress(slot);
        // The file is written on a thread of its own while the decoder goes
        // on; the thread has ended when this scope does. Worker threads read
        // blocks at their offsets through handles of their own.
        codec::AsyncSink behind(sink);
        ArchiveFileReaders<Char> readers(archive);
        result = unpack::DecodeArchive(codec::BoundCodec(), source, &readers,
                                       files.out() != nullptr ? &behind : nullptr, progress, slot.blocks,
                                       codec::LogicalProcessors(), codec::ProcessDecoderBudget());
    } catch (const std::bad_alloc&) {
        result = ResultCode::NoMemory;
    } catch (const std::length_error&) {
        result = ResultCode::NoMemory;
    }
    return files.Close(result);
}

} // namespace

// Results: 0; 11 codec could not start or ran out of memory; 12 corrupt,
// truncated or unsupported data; 15 archive cannot be opened; 16 target
// cannot be created; 18 bad handle or slot, slot opened in the other form,
// bad operation, extract without target, codec unavailable, read error;
// 19 write error; 21 aborted by the host. A failed extraction leaves no file.
extern "C" ZTX_EXPORT int32_t ZTX_CALL ProcessFile(ArchiveHandle handle, int32_t operation,
                                                   const char* /*dest_path*/, const char* target)
{
    return plugin::Guarded(plugin::ToHost(ResultCode::NoMemory),
                           [&] { return plugin::ToHost(ExtractOrTest(handle, operation, target)); });
}

extern "C" ZTX_EXPORT int32_t ZTX_CALL ProcessFileW(ArchiveHandle handle, int32_t operation,
                                                    const wchar_t* /*dest_path*/,
                                                    const wchar_t* target)
{
    return plugin::Guarded(plugin::ToHost(ResultCode::NoMemory),
                           [&] { return plugin::ToHost(ExtractOrTest(handle, operation, target)); });
}
