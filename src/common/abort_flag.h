#pragma once

#include <atomic>

namespace tessaro {

/// The Stop button of a run: set by the user interface (a button, Ctrl-C), read by the loop
/// after each tile and by transfers in progress. Safe to set from a signal handler.
class AbortFlag {
public:
    void Set() noexcept { m_set.store(true, std::memory_order_relaxed); }
    void Clear() noexcept { m_set.store(false, std::memory_order_relaxed); }
    [[nodiscard]] bool IsSet() const noexcept { return m_set.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> m_set{false};
    static_assert(std::atomic<bool>::is_always_lock_free);
};

} // namespace tessaro
