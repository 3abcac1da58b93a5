#include "packer/pipeline.h"

#include <algorithm>
#include <new>
#include <system_error>

#include "format/archive.h"

unsigned DefaultPackJobs() {
    return std::clamp(std::thread::hardware_concurrency(), 1u, kMaxPackJobs);
}

EntryPipeline::EntryPipeline(const std::vector<PackInput>& inputs, unsigned jobs, int level)
    : inputs_(inputs),
      window_(kEntriesInFlightPerJob * std::clamp(jobs, 1u, kMaxPackJobs)),
      level_(level),
      done_(jobs > 1 ? inputs.size() : 0),
      ready_(done_.size(), 0) {
    if (jobs <= 1) return;
    size_t threads = std::min<size_t>({jobs, kMaxPackJobs, inputs.size()});
    try {
        for (size_t i = 0; i < threads; ++i) workers_.emplace_back(&EntryPipeline::Work, this);
    } catch (const std::system_error&) {
        // Fewer threads, or none: Take then does the work itself.
    }
}

EntryPipeline::~EntryPipeline() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

PreparedEntry EntryPipeline::Prepare(size_t index) const {
    const PackInput& input = inputs_[index];
    PreparedEntry entry;
    try {
        std::vector<unsigned char> read;
        if (input.fromSource && !ReadInputFile(input.source, &read, &entry.error)) return entry;
        const std::vector<unsigned char>& data = input.fromSource ? read : input.data;
        const unsigned char* name = reinterpret_cast<const unsigned char*>(input.name.data());
        if (IsStoredEntryName(name, static_cast<uint32_t>(input.name.size()))) {
            entry.stored = input.fromSource ? std::move(read) : data;
        } else if (!CompressStream(data.data(), data.size(), &entry.stored, level_)) {
            entry.error = "libdeflate could not compress it";
        }
    } catch (const std::bad_alloc&) {
        entry.stored.clear();
        entry.stored.shrink_to_fit();
        entry.error = "out of memory";
    }
    return entry;
}

void EntryPipeline::Work() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold, [this] {
            return stopping_ || (next_ < inputs_.size() && next_ < taken_ + window_);
        });
        if (stopping_) return;
        size_t index = next_++;
        hold.unlock();
        PreparedEntry entry = Prepare(index);
        hold.lock();
        done_[index] = std::move(entry);
        ready_[index] = 1;
        changed_.notify_all();
    }
}

PreparedEntry EntryPipeline::Take() {
    size_t index = taken_;
    if (workers_.empty()) {
        ++taken_;
        return Prepare(index);
    }
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this, index] { return ready_[index] != 0; });
    PreparedEntry entry = std::move(done_[index]);
    done_[index] = PreparedEntry();
    ++taken_;
    hold.unlock();
    changed_.notify_all();
    return entry;
}
