#pragma once

#include "download/url_template.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::download {

/// The name of the sources file, in the folder of the settings store.
inline constexpr std::string_view kSourcesFileName = "TessaroSources.ini";

/// A named template source of the sources file.
struct NamedSource {
    UrlTemplate source; ///< template, mirrors and file type; its name is the section's
    int minZoom = 0;    ///< the zoom range the server answers
    int maxZoom = 22;
    std::string attribution;       ///< shown by `tessaro sources`
    std::string userAgent;         ///< empty: the program's own
    std::optional<double> maxRate; ///< transfers started per second at most
};

/// Parses a sources file: an INI text of one section "[name]" per source with the keys
/// template (required), mirrors (a,b,c), type (png, jpg or any), zoom (MIN-MAX within 0..22),
/// attribution, user_agent and max_rate (above 0); blank lines and lines starting with ';' or
/// '#' are skipped. Key names ignore letter case.
/// @throws tessaro::ArgumentError naming the file, the line and what is wrong: a line that is
/// no section or key, a key outside a section, an unknown key or value, a section named twice,
/// a section without a template, a template ValidateUrlTemplate refuses.
[[nodiscard]] std::vector<NamedSource> ParseSources(std::string_view text,
                                                    const std::string &fileName);

/// Reads and parses a sources file; a missing file holds no sources.
/// @throws tessaro::FileError when it cannot be read, tessaro::ArgumentError as ParseSources.
[[nodiscard]] std::vector<NamedSource> ReadSources(const std::filesystem::path &file);

} // namespace tessaro::download
