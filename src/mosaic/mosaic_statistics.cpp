#include "mosaic/mosaic_statistics.h"

#include "common/progress.h"
#include "mosaic/mosaic_raster.h"
#include "mosaic/output_raster.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace tessaro::mosaic::detail {

using mapout::GdalError;
using mapout::WithReason;

namespace {

constexpr int kWindow = 512;

// The running sums of one band. 8-bit bands are counted in a histogram, others summed as
// doubles.
struct BandSums {
    std::array<std::uint64_t, 256> histogram{};
    double min = HUGE_VAL;
    double max = -HUGE_VAL;
    double sum = 0;
    double squares = 0;

    void Add(const std::vector<unsigned char> &values) {
        for (const unsigned char v : values) {
            ++histogram[v];
        }
    }
    void Add(const std::vector<double> &values) {
        for (const double v : values) {
            min = std::min(min, v);
            max = std::max(max, v);
            sum += v;
            squares += v * v;
        }
    }
    // Folds the histogram into the sums.
    void FoldHistogram() {
        for (int v = 0; v < 256; ++v) {
            const auto c = static_cast<double>(histogram[static_cast<std::size_t>(v)]);
            if (c > 0) {
                min = std::min<double>(min, v);
                max = std::max<double>(max, v);
                sum += c * v;
                squares += c * v * v;
            }
        }
    }
};

class StatisticsPass {
public:
    StatisticsPass(GDALDataset &out, mapout::GdalErrorCapture &capture, const MosaicTarget &target)
        : m_out(out), m_capture(capture), m_target(target),
          m_bytes(out.GetRasterBand(1)->GetRasterDataType() == GDT_Byte),
          m_sums(static_cast<std::size_t>(out.GetRasterCount())) {}

    // Reads one window of every band into the sums, then drops its blocks from the cache.
    void AddWindow(int x, int y, int w, int h) {
        const auto count = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
        for (std::size_t b = 0; b < m_sums.size(); ++b) {
            GDALRasterBand *band = m_out.GetRasterBand(static_cast<int>(b) + 1);
            CPLErr err;
            if (m_bytes) {
                m_byteBuffer.resize(count);
                err = band->RasterIO(GF_Read, x, y, w, h, m_byteBuffer.data(), w, h, GDT_Byte, 0, 0,
                                     nullptr);
                m_sums[b].Add(m_byteBuffer);
            } else {
                m_valueBuffer.resize(count);
                err = band->RasterIO(GF_Read, x, y, w, h, m_valueBuffer.data(), w, h, GDT_Float64,
                                     0, 0, nullptr);
                m_sums[b].Add(m_valueBuffer);
            }
            if (err != CE_None) {
                Fail("computed");
            }
        }
        m_out.FlushCache(false);
        CheckWrites(m_capture, m_target);
    }

    void Store() {
        const double n = static_cast<double>(m_out.GetRasterXSize()) *
                         static_cast<double>(m_out.GetRasterYSize());
        for (std::size_t b = 0; b < m_sums.size(); ++b) {
            BandSums &s = m_sums[b];
            if (m_bytes) {
                s.FoldHistogram();
            }
            const double mean = s.sum / n;
            const double deviation = std::sqrt(std::max(0.0, s.squares / n - mean * mean));
            if (m_out.GetRasterBand(static_cast<int>(b) + 1)
                    ->SetStatistics(s.min, s.max, mean, deviation) != CE_None) {
                Fail("stored");
            }
        }
    }

private:
    [[noreturn]] void Fail(const char *what) const {
        throw GdalError(
            WithReason("The statistics of the mosaic " + m_target.OpenName() + " cannot be " + what,
                       m_capture.Message()));
    }

    GDALDataset &m_out;
    mapout::GdalErrorCapture &m_capture;
    const MosaicTarget &m_target;
    bool m_bytes;
    std::vector<BandSums> m_sums;
    std::vector<unsigned char> m_byteBuffer;
    std::vector<double> m_valueBuffer;
};

} // namespace

void ComputeStatistics(GDALDataset &out, mapout::GdalErrorCapture &capture,
                       const MosaicTarget &target, UiPort &ui) {
    const int width = out.GetRasterXSize();
    const int height = out.GetRasterYSize();
    StatisticsPass statistics(out, capture, target);
    ProgressPass pass(ui, kStatisticsLabel, height);
    for (int y = 0; y < height; y += kWindow) {
        const int h = std::min(kWindow, height - y);
        for (int x = 0; x < width; x += kWindow) {
            statistics.AddWindow(x, y, std::min(kWindow, width - x), h);
        }
        pass.Step(y + h);
    }
    statistics.Store();
}

} // namespace tessaro::mosaic::detail
