#include "mapout/progress.h"

#include <algorithm>

namespace tessaro::mapout::detail {

ProgressPass::ProgressPass(UiPort &ui, std::string_view label, std::int64_t total)
    : m_ui(ui), m_total(total), m_stride(std::max<std::int64_t>(1, total / 500)) {
    m_ui.SetProgress(0, m_total);
    m_ui.SetProgressLabel(label);
    m_next = m_stride;
}

void ProgressPass::Move(std::int64_t value) {
    m_ui.SetProgress(value, m_total);
    m_next = value + m_stride;
}

void ProgressPass::Clear(UiPort &ui) {
    ui.SetProgress(0, 0);
    ui.SetProgressLabel({});
}

} // namespace tessaro::mapout::detail
