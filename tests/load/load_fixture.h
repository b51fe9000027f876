#pragma once

#include "load/dialog_request.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

namespace tessaro::test {

/// A dialog whose every folder box names one temporary folder, with servers at fixed
/// addresses, at a fixed time; calculate-only unless a test says otherwise.
class LoadFixture : public ::testing::Test {
protected:
    LoadFixture() {
        using settings::Settings;
        s = Settings::FirstOpening();
        for (int k = 0; k < 4; ++k) {
            s.Text(Settings::SatServer(k)) = "http://s" + std::to_string(k) + "/kh";
            s.Text(Settings::MapServer(k)) = "http://m" + std::to_string(k) + "/vt";
        }
        s.Text(settings::Key::SatServerScan) = "http://scan/printtilesrescaled/?t=image_&zt=n";
        s.Text(settings::Key::MapServerScan) = "http://scan/printtilesrescaled/?t=map&zt=n";
        s.Text(settings::Key::SatServerShade) = "http://relief/layer/relief/";
        PointFoldersAt(dir.Path());
        s.onlyCalculate = true;
    }

    void PointFoldersAt(const std::filesystem::path &folder) {
        for (int p = 0; p < 4; ++p) {
            s.Text(settings::Settings::SatRasterPath(p)) = folder.string();
            s.Text(settings::Settings::MapRasterPath(p)) = folder.string();
        }
        s.Text(settings::Key::LandRasterPath0) = folder.string();
    }

    void Request(tiles::Source source, tiles::Kind kind, int level, std::string lat1,
                 std::string lat2, std::string lon1, std::string lon2) {
        s.source = source;
        s.kind = kind;
        s.upDownLevel = level;
        s.lat1 = std::move(lat1);
        s.lat2 = std::move(lat2);
        s.lon1 = std::move(lon1);
        s.lon2 = std::move(lon2);
    }

    load::LoadRunResult Run(const load::KnownValues &known = {}) {
        load::LoadRunContext ctx{s, ui};
        ctx.abort = &abort;
        ctx.now = [] {
            std::tm tm{};
            tm.tm_year = 2026 - 1900;
            tm.tm_mon = 2;
            tm.tm_mday = 5;
            tm.tm_hour = 7;
            tm.tm_min = 4;
            tm.tm_isdst = -1;
            return std::chrono::system_clock::from_time_t(std::mktime(&tm));
        };
        return load::CmdLoad_Click(ctx, known);
    }

    [[nodiscard]] bool NothingWritten() const { return std::filesystem::is_empty(dir.Path()); }

    TempDir dir;
    RecordingUi ui;
    settings::Settings s;
    AbortFlag abort;
};

} // namespace tessaro::test
