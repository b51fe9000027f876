#pragma once

#include <proj.h>

#include <stdexcept>
#include <string>
#include <utility>

namespace tessaro::test {

/// A PROJ transformation between a projected system and WGS 84 degrees in lon, lat order.
class ProjTransform {
public:
    explicit ProjTransform(const std::string &projected) : m_ctx(proj_context_create()) {
        PJ *raw = proj_create_crs_to_crs(m_ctx, projected.c_str(), "EPSG:4326", nullptr);
        if (raw == nullptr) {
            proj_context_destroy(m_ctx);
            throw std::runtime_error("PROJ does not know " + projected);
        }
        m_pj = proj_normalize_for_visualization(m_ctx, raw);
        proj_destroy(raw);
    }
    ProjTransform(const ProjTransform &) = delete;
    ProjTransform &operator=(const ProjTransform &) = delete;
    ~ProjTransform() {
        proj_destroy(m_pj);
        proj_context_destroy(m_ctx);
    }

    /// Projected metres to (lon, lat) degrees.
    std::pair<double, double> ToGeographic(double x, double y) const {
        const PJ_COORD c = proj_trans(m_pj, PJ_FWD, proj_coord(x, y, 0, 0));
        return {c.lp.lam, c.lp.phi};
    }
    /// (lon, lat) degrees to projected metres.
    std::pair<double, double> ToProjected(double lon, double lat) const {
        const PJ_COORD c = proj_trans(m_pj, PJ_INV, proj_coord(lon, lat, 0, 0));
        return {c.xy.x, c.xy.y};
    }

private:
    PJ_CONTEXT *m_ctx;
    PJ *m_pj = nullptr;
};

} // namespace tessaro::test
