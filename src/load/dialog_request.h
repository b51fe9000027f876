#pragma once

#include "common/ui_port.h"
#include "load/load_request.h"
#include "load/load_run.h"
#include "settings/settings.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tessaro::load {

// The messages of the checks of the dialog's request.
inline constexpr std::string_view kUnsupportedTypeMessage =
    "Не поддерживаемый сервер или тип карты";
inline constexpr std::string_view kMaxLevel17Message =
    "Максимально допутимый уровень для данного источника - 17";
inline constexpr std::string_view kMaxLevel9Message =
    "Максимально допутимый уровень для данного источника - 9";
inline constexpr std::string_view kBadCoordinatesMessage =
    "Недопустимые параметры координат\r\nдолжно быть: lat1<lat2 и lon1<lon2";
inline constexpr std::string_view kNoDirectoryMessage =
    "No tile folder is set for this source and kind (its folder box is empty).";

/// Values a caller already holds as numbers (the command line's options). They are taken as
/// they are; the dialog's boxes are read for the rest.
struct KnownValues {
    std::optional<std::array<double, 4>> extent; ///< lat1, lat2, lon1, lon2
    std::optional<std::int32_t> timeOutSeconds;
    std::optional<std::int32_t> tilesAtOnce;
    /// A template source, loaded in place of the dialog's source and kind.
    std::optional<download::UrlTemplate> urlTemplate;
    /// The part of a split run (from 0) and the number of parts.
    std::int32_t partIndex = 0;
    std::int32_t partCount = 1;
};

/// Reads the load button's request from the dialog, with the dialog's checks in their order:
/// the source and kind must name a tile type; the directory box of that type must be filled
/// and name an existing folder; the level is lowered to 17 for ScanEx and Yandex and to 9 for
/// shaded relief, with a message, in the dialog too (the level box and up-down); the extent
/// boxes are numbers in the dialog's decimal separator with lat1 < lat2 and lon1 < lon2; the
/// time-out and batch boxes, read only for downloads, are 32-bit whole numbers (the nearest,
/// ties to even). Returns nothing when a check stopped the request; its message was shown.
/// @throws tessaro::Error (number 13, type mismatch) naming a box that holds no number, or an
/// OverflowError (6) for a time-out or batch beyond 32 bits.
[[nodiscard]] std::optional<LoadRequest> ReadLoadRequest(settings::Settings &dialog, UiPort &ui,
                                                         const KnownValues &known = {});

/// Reads the four extent boxes (lat1, lat2, lon1, lon2) in the dialog's decimal separator.
/// @throws tessaro::Error (number 13, type mismatch) naming a box that holds no number.
[[nodiscard]] std::array<double, 4> ReadExtentBoxes(const settings::Settings &dialog);

/// Reads the level box as the level handlers do: the trimmed text as a 16-bit whole number
/// (the nearest, ties to even); the range 1..22 is the caller's check.
/// @throws tessaro::Error (13) for text that is no number, an OverflowError (6) beyond 16 bits.
[[nodiscard]] int ReadLevelBox(const std::string &text);

/// The load button: reads the request from the dialog (context.settings) and runs it. Every
/// error is reported under "CmdLoad_Click " and ends the run as Failed.
LoadRunResult CmdLoad_Click(LoadRunContext &context, const KnownValues &known = {});

} // namespace tessaro::load
