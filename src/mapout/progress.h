#pragma once

#include "common/ui_port.h"

#include <cstdint>
#include <string_view>

namespace tessaro::mapout::detail {

/// One pass of a long operation on the progress label and bar: the label is set and the bar
/// runs from 0 to the number of tiles. The bar is moved at most about 500 times per pass, so
/// a port that repaints on every call does not slow a run over millions of tiles.
class ProgressPass {
public:
    ProgressPass(UiPort &ui, std::string_view label, std::int64_t total);

    /// Moves the bar to value when it has advanced far enough since the last move.
    void Step(std::int64_t value) {
        if (value >= m_next) {
            Move(value);
        }
    }

    /// Resets the bar and clears the label, as every pass ends.
    static void Clear(UiPort &ui);

private:
    void Move(std::int64_t value);

    UiPort &m_ui;
    std::int64_t m_total;
    std::int64_t m_stride;
    std::int64_t m_next = 0;
};

} // namespace tessaro::mapout::detail
