#pragma once

#include <cstdint>

namespace tessaro {

/// The clock of the pause between download batches. A pause of 0 seconds means 30. Opening it
/// ticks once at once, so a pause of N seconds first shows N − 1 and ends N − 1 seconds later;
/// a negative pause never reaches 0 and only "Continue" ends it.
class CountDownClock {
public:
    explicit CountDownClock(std::int32_t seconds) noexcept : m_left(seconds == 0 ? 30 : seconds) {
        Tick();
    }
    /// One second passed.
    void Tick() noexcept {
        if (!Done()) {
            --m_left;
        }
    }
    [[nodiscard]] std::int32_t Left() const noexcept { return m_left; }
    [[nodiscard]] bool Done() const noexcept { return m_left == 0; }
    /// True when the count can never reach 0 by itself.
    [[nodiscard]] bool Endless() const noexcept { return m_left < 0; }

private:
    std::int32_t m_left;
};

} // namespace tessaro
