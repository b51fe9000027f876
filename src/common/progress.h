#pragma once

#include "common/ui_port.h"

#include <cstdint>
#include <exception>
#include <string_view>

namespace tessaro {

/// Thrown by a progress pass when the user wants the run to end: it unwinds the step in hand,
/// whose owners put back or drop what it had not finished. Error traps let it pass silently.
class RunStopped : public std::exception {
public:
    [[nodiscard]] const char *what() const noexcept override { return "the run was stopped"; }
};

/// One pass of a long operation on the progress label and bar: the label is set and the bar
/// runs from 0 to the number of tiles. The bar is moved at most about 500 times per pass, so
/// a port that repaints on every call does not slow a run over millions of tiles. The pass
/// owns the bar: when it ends, however it ends, the bar is reset and the label cleared.
class ProgressPass {
public:
    ProgressPass(UiPort &ui, std::string_view label, std::int64_t total);
    ~ProgressPass();
    ProgressPass(const ProgressPass &) = delete;
    ProgressPass &operator=(const ProgressPass &) = delete;

    /// Starts the next pass of the same operation: a new label, the bar from 0 to total.
    void Restart(std::string_view label, std::int64_t total);

    /// Moves the bar to value when it has advanced far enough since the last move. Throws
    /// RunStopped when the user wants the run to end, which ends the pass at this item.
    void Step(std::int64_t value) {
        if (m_ui.StopRequested()) {
            throw RunStopped();
        }
        if (value >= m_next) {
            Move(value);
        }
    }

private:
    void Move(std::int64_t value);

    UiPort &m_ui;
    std::int64_t m_total = 0;
    std::int64_t m_stride = 1;
    std::int64_t m_next = 0;
};

} // namespace tessaro
