// A sink that hands its bytes to a writer thread of its own, so that the decoder fills one buffer
// while the previous one is written.
#ifndef CODEC_ASYNC_SINK_H
#define CODEC_ASYNC_SINK_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "codec/chunk_io.h"
#include "codec/sync.h"

namespace codec {

// The inner sink gets exactly the Write calls this one gets, in order, on
// the writer thread, until one of them fails; after that nothing more is
// written, and Write answers false. So the call that failed is the one a
// run writing at once would have failed at, and Settle names it. Memory: two
// buffers of buffer_size bytes. Where they or the thread cannot be had, the
// bytes go to the inner sink on the calling thread, as a plain sink would.
class AsyncSink final : public ChunkSink {
public:
    static constexpr size_t kDefaultBuffer = size_t{1} << 20;

    explicit AsyncSink(ChunkSink& inner, size_t buffer_size = kDefaultBuffer);
    // Ends the writer thread; bytes handed over since the last Settle may
    // be dropped, as only a failed run leaves them.
    ~AsyncSink() override;
    AsyncSink(const AsyncSink&) = delete;
    AsyncSink& operator=(const AsyncSink&) = delete;

    bool Write(const uint8_t* bytes, size_t count) override;
    uint64_t Settle() override;

private:
    struct Batch {
        std::unique_ptr<uint8_t[]> bytes;
        size_t used = 0;
        std::unique_ptr<uint32_t[]> pieces; // the length of each Write call
        size_t piece_count = 0;
        uint64_t start = 0; // bytes handed over before the batch's first
    };

    void Allocate();
    bool Buffered() const { return batches_[0].bytes != nullptr; }
    // Waits for the writer to finish its batch and gives it the filled one.
    void HandOver();
    void WaitIdle(std::unique_lock<Mutex>& lock);
    void WriteBatch(Batch& batch); // on the writer thread, or the caller's without one
    void WriterLoop();

    ChunkSink& inner_;
    size_t capacity_;
    size_t max_pieces_;
    Batch batches_[2];
    Batch* filling_ = &batches_[0];
    uint64_t handed_ = 0;

    Mutex mutex_;
    CondVar wake_;
    Batch* pending_ = nullptr; // the writer's batch, null when it is idle
    bool quit_ = false;
    std::atomic<bool> failed_{false};
    uint64_t failed_at_ = kNoFailure; // set under the lock, before failed_

    std::thread writer_;
    bool thread_tried_ = false;
    bool allocated_ = false;
};

} // namespace codec

#endif
