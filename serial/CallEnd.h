// CallEnd: the end of a call that another thread makes, which the caller waits for
// within a bound. Both hold a share of it, so a call that outlasts the bound goes on
// alone and still reports into a block that is there.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace zb {

class CallEnd {
public:
    // The thread that made the call, once.
    void report(bool result) {
        std::lock_guard lock(mutex_);
        done_ = true;
        result_ = result;
        ended_.notify_all();
    }
    // The call's result, or nothing when it has not ended within `bound`.
    std::optional<bool> waitFor(std::chrono::milliseconds bound) {
        std::unique_lock lock(mutex_);
        if (!ended_.wait_for(lock, bound, [this] { return done_; })) return std::nullopt;
        return result_;
    }

private:
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
    bool result_ = false;
};

}  // namespace zb
