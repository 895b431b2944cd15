// Double-buffered writing behind the decoder.
#include "codec/async_sink.h"

#include <cstring>
#include <new>
#include <exception>

namespace codec {

namespace {

// Decoder steps hand over up to 4096 bytes each; a batch also ends at this
// many calls, so that tiny steps cannot outgrow the record of their lengths.
constexpr size_t kBytesPerPiece = 256;

} // namespace

AsyncSink::AsyncSink(ChunkSink& inner, size_t buffer_size)
    : inner_(inner), capacity_(buffer_size), max_pieces_(buffer_size / kBytesPerPiece + 1)
{
}

// On the first write only: a test, which writes nothing, costs nothing.
void AsyncSink::Allocate()
{
    allocated_ = true;
    for (Batch& b : batches_) {
        b.bytes.reset(new (std::nothrow) uint8_t[capacity_]);
        b.pieces.reset(new (std::nothrow) uint32_t[max_pieces_]);
    }
    if (batches_[0].bytes == nullptr || batches_[0].pieces == nullptr || batches_[1].bytes == nullptr ||
        batches_[1].pieces == nullptr) {
        for (Batch& b : batches_) {
            b.bytes.reset();
            b.pieces.reset();
        }
    }
}

AsyncSink::~AsyncSink()
{
    if (writer_.joinable()) {
        {
            const std::lock_guard<Mutex> lock(mutex_);
            quit_ = true;
        }
        wake_.NotifyAll();
        writer_.join();
    }
}

bool AsyncSink::Write(const uint8_t* bytes, size_t count)
{
    // Read without the lock: a failure seen a step late still counts where
    // its bytes were handed over, as Settle tells.
    if (failed_.load(std::memory_order_acquire))
        return false;
    if (count == 0)
        return true;
    if (!allocated_)
        Allocate();
    // Without buffers, or for a piece larger than a buffer, the bytes go
    // out at once, after everything handed over before them.
    if (!Buffered() || count > capacity_ || count > UINT32_MAX) {
        Settle();
        std::unique_lock<Mutex> lock(mutex_);
        if (failed_)
            return false;
        lock.unlock();
        const bool written = inner_.Write(bytes, count);
        lock.lock();
        if (!written) {
            failed_at_ = handed_;
            failed_.store(true, std::memory_order_release);
        }
        handed_ += count;
        return written;
    }
    if (filling_->used + count > capacity_ || filling_->piece_count == max_pieces_)
        HandOver();
    std::memcpy(filling_->bytes.get() + filling_->used, bytes, count);
    filling_->used += count;
    filling_->pieces[filling_->piece_count++] = static_cast<uint32_t>(count);
    handed_ += count;
    return true;
}

uint64_t AsyncSink::Settle()
{
    if (Buffered() && filling_->piece_count > 0)
        HandOver();
    std::unique_lock<Mutex> lock(mutex_);
    WaitIdle(lock);
    return failed_ ? failed_at_ : kNoFailure;
}

void AsyncSink::WaitIdle(std::unique_lock<Mutex>& lock)
{
    wake_.Wait(lock, [this] { return pending_ == nullptr; });
}

void AsyncSink::HandOver()
{
    Batch* batch = filling_;
    if (!thread_tried_) {
        thread_tried_ = true;
        try {
            writer_ = std::thread(&AsyncSink::WriterLoop, this);
        } catch (const std::exception&) {
            // No thread to be had, or no memory for its start: the caller
            // writes, as a plain sink does.
        }
    }
    std::unique_lock<Mutex> lock(mutex_);
    WaitIdle(lock);
    if (writer_.joinable()) {
        pending_ = batch;
        lock.unlock();
        wake_.NotifyAll();
    } else {
        lock.unlock();
        WriteBatch(*batch);
    }
    filling_ = batch == &batches_[0] ? &batches_[1] : &batches_[0];
    filling_->used = 0;
    filling_->piece_count = 0;
    filling_->start = handed_;
}

void AsyncSink::WriteBatch(Batch& batch)
{
    if (failed_.load(std::memory_order_acquire))
        return;
    uint64_t at = batch.start;
    const uint8_t* p = batch.bytes.get();
    for (size_t i = 0; i < batch.piece_count; ++i) {
        if (!inner_.Write(p, batch.pieces[i])) {
            const std::lock_guard<Mutex> lock(mutex_);
            failed_at_ = at;
            failed_.store(true, std::memory_order_release);
            return;
        }
        at += batch.pieces[i];
        p += batch.pieces[i];
    }
}

void AsyncSink::WriterLoop()
{
    std::unique_lock<Mutex> lock(mutex_);
    for (;;) {
        wake_.Wait(lock, [this] { return pending_ != nullptr || quit_; });
        if (pending_ == nullptr)
            return;
        Batch* batch = pending_;
        lock.unlock();
        WriteBatch(*batch);
        lock.lock();
        pending_ = nullptr;
        wake_.NotifyAll();
    }
}

} // namespace codec
