// A card-memory model for tests: put it behind a window with
// mmio::RegisterWindow over any memory and it records every access (offset,
// width, read or write, value) and answers reads from a scripted queue, or
// else from its backing memory, which writes update.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/mmio.h"

namespace quelt_test {

class RecordingModel : public mmio::Model {
public:
    struct Access {
        std::size_t offset;
        unsigned width;
        bool write;
        std::uint64_t value;  // written, or answered to the read
        bool operator==(const Access&) const = default;
    };

    // backingSize bytes of zero-filled backing memory.
    explicit RecordingModel(std::size_t backingSize = 4096);

    std::uint64_t Read(std::size_t offset, unsigned width) override;
    void Write(std::size_t offset, unsigned width, std::uint64_t value) override;

    // The next reads answer these values in order (then the backing memory).
    void QueueReads(const std::vector<std::uint64_t>& values);
    // Sets backing bytes, little-endian.
    void SetBacking(std::size_t offset, unsigned width, std::uint64_t value);
    std::uint64_t Backing(std::size_t offset, unsigned width) const;

    std::vector<Access> Accesses() const;
    // Only the writes, as values, in order (handy for protocol sequences).
    std::vector<std::uint64_t> WrittenValues() const;
    void Clear();

private:
    std::uint64_t LoadBacking(std::size_t offset, unsigned width) const;
    void StoreBacking(std::size_t offset, unsigned width, std::uint64_t value);
    mutable std::mutex lock_;
    std::vector<std::uint8_t> backing_;
    std::deque<std::uint64_t> queued_;
    std::vector<Access> accesses_;
};

// Registers a model over memory for its lifetime.
class ScopedWindow {
public:
    ScopedWindow(const volatile void* base, std::size_t size, mmio::Model* model)
        : id_(mmio::RegisterWindow(base, size, model)) {}
    ~ScopedWindow() {
        if (id_ >= 0) mmio::UnregisterWindow(id_);
    }
    ScopedWindow(const ScopedWindow&) = delete;
    ScopedWindow& operator=(const ScopedWindow&) = delete;
    int id() const { return id_; }

private:
    int id_;
};

}  // namespace quelt_test
