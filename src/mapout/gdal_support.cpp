#include "mapout/gdal_support.h"

#include <gdal.h>

#include <mutex>

namespace tessaro::mapout {

void EnsureGdalRegistered() {
    static std::once_flag once;
    std::call_once(once, [] { GDALAllRegister(); });
}

GdalErrorCapture::GdalErrorCapture() {
    CPLPushErrorHandlerEx(&GdalErrorCapture::Handler, this);
    CPLErrorReset();
}

GdalErrorCapture::~GdalErrorCapture() {
    CPLPopErrorHandler();
}

void GdalErrorCapture::Clear() noexcept {
    m_failure.clear();
    m_warning.clear();
    CPLErrorReset();
}

void CPL_STDCALL GdalErrorCapture::Handler(CPLErr level, CPLErrorNum /*number*/, const char *text) {
    auto *self = static_cast<GdalErrorCapture *>(CPLGetErrorHandlerUserData());
    if (self == nullptr || text == nullptr) {
        return;
    }
    // GDAL calls handlers from C code: nothing may escape, so an allocation failure here
    // simply loses the text.
    try {
        if (level == CE_Failure || level == CE_Fatal) {
            if (self->m_failure.empty()) {
                self->m_failure = text;
            }
        } else if (level == CE_Warning) {
            if (self->m_warning.empty()) {
                self->m_warning = text;
            }
        }
    } catch (...) {
    }
}

std::string WithReason(std::string_view what, std::string_view reason) {
    std::string text(what);
    if (!reason.empty()) {
        text += ": ";
        text += reason;
    }
    return text;
}

} // namespace tessaro::mapout
