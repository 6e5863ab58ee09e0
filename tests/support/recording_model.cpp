#include "recording_model.h"

namespace quelt_test {

RecordingModel::RecordingModel(std::size_t backingSize) : backing_(backingSize, 0) {}

std::uint64_t RecordingModel::LoadBacking(std::size_t offset, unsigned width) const {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) {
        std::size_t at = offset + i;
        std::uint64_t byte = at < backing_.size() ? backing_[at] : 0;
        v |= byte << (8 * i);
    }
    return v;
}

void RecordingModel::StoreBacking(std::size_t offset, unsigned width, std::uint64_t value) {
    for (unsigned i = 0; i < width; ++i) {
        std::size_t at = offset + i;
        if (at < backing_.size()) backing_[at] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint64_t RecordingModel::Read(std::size_t offset, unsigned width) {
    std::lock_guard g(lock_);
    std::uint64_t v;
    if (!queued_.empty()) {
        v = queued_.front();
        queued_.pop_front();
    } else {
        v = LoadBacking(offset, width);
    }
    if (width < 8) v &= (std::uint64_t{1} << (8 * width)) - 1;
    accesses_.push_back({offset, width, false, v});
    return v;
}

void RecordingModel::Write(std::size_t offset, unsigned width, std::uint64_t value) {
    std::lock_guard g(lock_);
    StoreBacking(offset, width, value);
    accesses_.push_back({offset, width, true, value});
}

void RecordingModel::QueueReads(const std::vector<std::uint64_t>& values) {
    std::lock_guard g(lock_);
    queued_.insert(queued_.end(), values.begin(), values.end());
}

void RecordingModel::SetBacking(std::size_t offset, unsigned width, std::uint64_t value) {
    std::lock_guard g(lock_);
    StoreBacking(offset, width, value);
}

std::uint64_t RecordingModel::Backing(std::size_t offset, unsigned width) const {
    std::lock_guard g(lock_);
    return LoadBacking(offset, width);
}

std::vector<RecordingModel::Access> RecordingModel::Accesses() const {
    std::lock_guard g(lock_);
    return accesses_;
}

std::vector<std::uint64_t> RecordingModel::WrittenValues() const {
    std::lock_guard g(lock_);
    std::vector<std::uint64_t> out;
    for (const auto& a : accesses_)
        if (a.write) out.push_back(a.value);
    return out;
}

void RecordingModel::Clear() {
    std::lock_guard g(lock_);
    accesses_.clear();
    queued_.clear();
}

}  // namespace quelt_test
