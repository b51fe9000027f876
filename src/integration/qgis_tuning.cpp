#include "integration/qgis_tuning.h"

#include <qgscontrastenhancement.h>
#include <qgslayertree.h>
#include <qgsproject.h>
#include <qgsrasterlayer.h>
#include <qgsrasterminmaxorigin.h>
#include <qgssettings.h>

namespace tessaro::integration {

namespace {

// QGIS's own keys for the default rendering of multiband byte rasters.
const QString kAlgorithmKey =
    QStringLiteral("Raster/defaultContrastEnhancementAlgorithm/multiBandSingleByte");
const QString kLimitsKey =
    QStringLiteral("Raster/defaultContrastEnhancementLimits/multiBandSingleByte");

} // namespace

ScopedFastRasterOpening::ScopedFastRasterOpening()
    : m_noListing("GDAL_DISABLE_READDIR_ON_OPEN", "TRUE", false),
      m_ownDefinition("OGR_CT_PREFER_OFFICIAL_SRS_DEF", "NO", false) {}

ScopedSkipUnusedStatistics::ScopedSkipUnusedStatistics() {
    QgsSettings settings;
    const QString defaultAlgorithm = QgsContrastEnhancement::contrastEnhancementAlgorithmString(
        QgsRasterLayer::MULTIPLE_BAND_SINGLE_BYTE_ENHANCEMENT_ALGORITHM);
    const auto algorithm = QgsContrastEnhancement::contrastEnhancementAlgorithmFromString(
        settings.value(kAlgorithmKey, defaultAlgorithm).toString());
    if (algorithm != QgsContrastEnhancement::NoEnhancement) {
        return;
    }
    m_hadValue = settings.contains(kLimitsKey);
    m_previous = settings.value(kLimitsKey);
    settings.setValue(kLimitsKey, QgsRasterMinMaxOrigin::limitsString(QgsRasterMinMaxOrigin::None));
    m_active = true;
}

ScopedSkipUnusedStatistics::~ScopedSkipUnusedStatistics() {
    if (!m_active) {
        return;
    }
    QgsSettings settings;
    if (m_hadValue) {
        settings.setValue(kLimitsKey, m_previous);
    } else {
        settings.remove(kLimitsKey);
    }
}

void ReleaseLayers(QgsProject &project) noexcept {
    // The tree keeps a list of all its layers in drawing order and, whenever nodes leave it,
    // looks every listed layer up in the whole tree. Emptied first, the list costs nothing.
    QgsLayerTree &tree = *project.layerTreeRoot();
    tree.setHasCustomLayerOrder(false);
    tree.setCustomLayerOrder(QList<QgsMapLayer *>());
    tree.removeAllChildren();
    project.removeAllMapLayers();
}

} // namespace tessaro::integration
