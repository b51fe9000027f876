#pragma once

// Settings that keep QGIS fast with many thousand tile layers. Internal to the QGIS host.

#include <cpl_conv.h>

#include <QString>
#include <QVariant>

class QgsProject;

namespace tessaro::integration {

/// While it lives, GDAL opens rasters on this thread without two costs that grow with the
/// number of tiles and gain nothing for them:
/// - listing the tile's folder to find its side files (GDAL_DISABLE_READDIR_ON_OPEN): a level
///   folder holds thousands of tiles, so every open would read thousands of names; GDAL then
///   probes the few side-file names it knows instead;
/// - looking the coordinate system of the tile up again in the PROJ database
///   (OGR_CT_PREFER_OFFICIAL_SRS_DEF=NO): QGIS's GDAL provider makes a pixel-to-map
///   transformer for every layer, and GDAL would otherwise fetch the official definition of
///   the tile's ESRI code to compare it with the side file's, about 7 ms per layer. The side
///   file holds that very definition (written from the ESRI code), so nothing changes.
class ScopedFastRasterOpening {
public:
    ScopedFastRasterOpening();

private:
    CPLConfigOptionSetter m_noListing;
    CPLConfigOptionSetter m_ownDefinition;
};

/// While it lives, QGIS does not compute band statistics that its default rendering of
/// three- and four-band byte rasters (tiles) never uses. Such layers get the "no stretch"
/// contrast enhancement, whose minimum and maximum QGIS still computes from every pixel by
/// default; that costs more than the rest of adding the layer and makes GDAL write the
/// statistics into the tile's side file. The override sets the limits of that case to "user
/// defined" in QGIS's settings and restores the previous value at its end. It does nothing
/// when the user has chosen a stretch for such rasters, since the statistics are then used.
class ScopedSkipUnusedStatistics {
public:
    ScopedSkipUnusedStatistics();
    ~ScopedSkipUnusedStatistics();
    ScopedSkipUnusedStatistics(const ScopedSkipUnusedStatistics &) = delete;
    ScopedSkipUnusedStatistics &operator=(const ScopedSkipUnusedStatistics &) = delete;

private:
    bool m_active = false;
    bool m_hadValue = false;
    QVariant m_previous;
};

/// Removes every layer of a project at once, the layer tree first. Removing layers one by one
/// from a populated tree costs QGIS time quadratic in their number (minutes for ten thousand).
/// Some quadratic cost remains inside QGIS and the C library (about 3 s for ten thousand
/// layers on the build machine).
void ReleaseLayers(QgsProject &project) noexcept;

} // namespace tessaro::integration
