#include "common/progress.h"

#include <algorithm>

namespace tessaro {

ProgressPass::ProgressPass(UiPort &ui, std::string_view label, std::int64_t total) : m_ui(ui) {
    Restart(label, total);
}

void ProgressPass::Restart(std::string_view label, std::int64_t total) {
    m_total = total;
    m_stride = std::max<std::int64_t>(1, total / 500);
    m_next = m_stride;
    // The label first: a port that draws the bar at once draws it with its label.
    m_ui.SetProgressLabel(label);
    m_ui.SetProgress(0, m_total);
}

ProgressPass::~ProgressPass() {
    m_ui.SetProgress(0, 0);
    m_ui.SetProgressLabel({});
}

void ProgressPass::Move(std::int64_t value) {
    m_ui.SetProgress(value, m_total);
    m_next = value + m_stride;
}

} // namespace tessaro
