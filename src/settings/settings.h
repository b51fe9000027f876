#pragma once

#include "tiles/tiles_type.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessaro::settings {

/// The persisted settings, in the order the save writes them. Each is the text of one box
/// of the dialog; the names are those of the stored values.
enum class Key : int {
    MapRasterPath0,
    SatRasterPath0,
    LandRasterPath0,
    SatLayerName0,
    MapLayerName0,
    LandLayerName0,
    LevelLayerPrefix0,
    MapRasterPath1,
    SatRasterPath1,
    SatLayerName1,
    MapLayerName1,
    LevelLayerPrefix1,
    MapRasterPath2,
    SatRasterPath2,
    SatLayerName2,
    MapLayerName2,
    LevelLayerPrefix2,
    MapRasterPath3,
    SatRasterPath3,
    SatLayerName3,
    MapLayerName3,
    LevelLayerPrefix3,
    SatServer0,
    SatServer1,
    SatServer2,
    SatServer3,
    SatVersion,
    MapServer0,
    MapServer1,
    MapServer2,
    MapServer3,
    MapVersion,
    LandVersion,
    SatServerScan,
    MapServerScan,
    SatServerShade,
    SatServerYand0,
    SatServerYand1,
    SatServerYand2,
    SatServerYand3,
    SatVersionYand,
    MapServerYand0,
    MapServerYand1,
    MapServerYand2,
    MapServerYand3,
    MapVersionYand,
    OutPolygon,
    Level,
    TimeOut,
    TilesAtOnce,
};

/// Number of persisted settings.
inline constexpr std::size_t kKeyCount = 50;

/// The name the User-Agent setting is stored under. It is kept beside the fifty, not one of them:
/// an absent or empty value means the program's own.
inline constexpr std::string_view kUserAgentName = "txtUserAgent";

/// Returns whether a text can be the User-Agent of the requests: not empty, on one line, without
/// control characters (which would break the request's header).
[[nodiscard]] bool IsUsableUserAgent(std::string_view text) noexcept;

/// Where a setting's start or fallback value comes from.
enum class ValueOrigin { Literal, Empty, TemporaryDirectory };

/// Description of one persisted setting.
struct KeyInfo {
    Key key;
    std::string_view savedName; ///< the name the save writes
    std::string_view readName;  ///< the name the load asks for (differs only in letter case)
    ValueOrigin firstOrigin;    ///< what a freshly opened dialog holds ...
    std::string_view first;     ///< ... when firstOrigin is Literal
    ValueOrigin fallbackOrigin; ///< what the load puts in when the stored value is empty ...
    std::string_view fallback;  ///< ... when fallbackOrigin is Literal
};

/// Returns the table of the fifty settings in save order.
[[nodiscard]] const std::array<KeyInfo, kKeyCount> &Keys() noexcept;
/// Returns the description of one setting.
[[nodiscard]] const KeyInfo &InfoOf(Key key) noexcept;
/// Finds a setting by name without regard to letter case (saved or read spelling).
[[nodiscard]] std::optional<Key> FindKey(std::string_view name) noexcept;

/// Returns the temporary directory: TMP, else TEMP, else the platform's temporary folder.
[[nodiscard]] std::string TemporaryDirectory();

/// Index of a source's profile (0 Goo, 1 Scan, 2 Shade, 3 Yand).
[[nodiscard]] int ProfileIndex(tiles::Source source) noexcept;

/// The dialog's state: the fifty persisted texts with the up-down values they feed, and the
/// controls that are never stored (source, kind, extent, check boxes, proxy credentials).
/// The load run, the addresses and the map steps read everything from here; the desktop
/// dialog binds its widgets to it and the command line fills it.
struct Settings {
    /// Returns the settings of a freshly opened dialog.
    [[nodiscard]] static Settings FirstOpening();

    [[nodiscard]] const std::string &Text(Key key) const noexcept {
        return texts[static_cast<std::size_t>(key)];
    }
    std::string &Text(Key key) noexcept { return texts[static_cast<std::size_t>(key)]; }
    /// Returns the text of a setting with leading and trailing blanks removed.
    [[nodiscard]] std::string Trimmed(Key key) const;

    /// The directory box the load run reads for a source and kind: the map box for Google and
    /// Yandex maps, the landscape box for Google landscape, the satellite box otherwise (ScanEx
    /// map tiles use the ScanEx satellite box). Nullopt for an unsupported combination.
    [[nodiscard]] static std::optional<Key> DirectoryKey(tiles::Source source,
                                                         tiles::Kind kind) noexcept;
    /// The satellite, map and landscape boxes of a profile (landscape exists for Google only).
    [[nodiscard]] static Key SatRasterPath(int profile) noexcept;
    [[nodiscard]] static Key MapRasterPath(int profile) noexcept;
    [[nodiscard]] static Key SatLayerName(int profile) noexcept;
    [[nodiscard]] static Key MapLayerName(int profile) noexcept;
    [[nodiscard]] static Key LevelLayerPrefix(int profile) noexcept;
    [[nodiscard]] static Key SatServer(int mirror) noexcept;
    [[nodiscard]] static Key MapServer(int mirror) noexcept;
    [[nodiscard]] static Key SatServerYand(int mirror) noexcept;
    [[nodiscard]] static Key MapServerYand(int mirror) noexcept;

    std::array<std::string, kKeyCount> texts;

    // Up-down controls with their ranges; the load run reads the level from here.
    int upDownLevel = 15;   ///< 1..22
    int upDownTime = 60;    ///< 10..6000
    int upDownTiles = 3000; ///< 100..10000

    /// The User-Agent the downloads give, stored under kUserAgentName; empty: the program's own.
    std::string userAgent;

    // Never stored.
    tiles::Source source = tiles::Source::Goo;
    tiles::Kind kind = tiles::Kind::Sat;
    std::string lat1 = "37.8", lat2 = "38.2", lon1 = "55.2", lon2 = "55.8";
    char decimalSeparator = '.'; ///< the separator the extent texts use
    bool skipLog = true;
    bool makeIon = false;
    bool onlyCalculate = false;
    bool useSelection = false;
    bool offline = false;
    bool closeWhenDone = false;
    bool mosaic = false;
    bool createPolygon = false;
    bool skipAddToMap = false;
    bool useProxy = false;
    std::string userName;
    std::string password;
    int connections = 1; ///< transfers at once during downloads; 1 is the sequential loop
    /// The name of the template source the run in hand loads (not stored): the name of its
    /// tiles' group in the map. Empty for the built-in sources.
    std::string templateSource;
};

/// Ranges of the three up-down controls.
inline constexpr int kLevelMin = 1, kLevelMax = 22;
inline constexpr int kTimeMin = 10, kTimeMax = 6000;
inline constexpr int kTilesMin = 100, kTilesMax = 10000;

} // namespace tessaro::settings
