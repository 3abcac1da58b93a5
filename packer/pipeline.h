// Reads and compresses payload entries on worker threads and hands them out
// in input order, so that the archive is the same bytes for any number of
// threads. At most a window of entries is read or held at once.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "packer/pack.h"

// Far above any core count; bounds threads and the window.
constexpr unsigned kMaxPackJobs = 256;
// Entries in flight per thread: one compressing, one done and waiting.
constexpr size_t kEntriesInFlightPerJob = 2;

struct PreparedEntry {
    std::vector<unsigned char> stored;  // the bytes as the archive holds them
    std::string error;                  // why the entry could not be read or compressed
};

// The number of threads when none is asked for: one per core.
unsigned DefaultPackJobs();

class EntryPipeline {
   public:
    // With one job everything runs on the caller's thread, in Take.
    EntryPipeline(const std::vector<PackInput>& inputs, unsigned jobs, int level);
    ~EntryPipeline();
    EntryPipeline(const EntryPipeline&) = delete;
    EntryPipeline& operator=(const EntryPipeline&) = delete;

    // The next entry in input order; waits for it.
    PreparedEntry Take();

   private:
    PreparedEntry Prepare(size_t index) const;
    void Work();

    const std::vector<PackInput>& inputs_;
    size_t window_;
    int level_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<PreparedEntry> done_;  // by input; emptied when taken
    std::vector<char> ready_;
    size_t next_ = 0;   // the next entry a worker starts
    size_t taken_ = 0;  // entries handed out
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};
