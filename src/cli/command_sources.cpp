#include "cli/command.h"
#include "cli/request_options.h"
#include "cli/settings_options.h"
#include "common/atomic_file.h"
#include "common/text.h"

namespace tessaro::cli {

namespace {

constexpr std::string_view kUsage =
    R"(Usage: tessaro sources [--config FILE]

Lists the named template sources of the sources file TessaroSources.ini, which lies beside
the settings store (beside FILE with --config), one block per source:
  [name]
  template = https://{s}.tile.example.org/{z}/{x}/{y}.png
  mirrors = a,b,c
  type = png          (png, jpg or any: the image types taken from the server)
  zoom = 0-19         (the zooms the server answers)
  attribution = ...
  user_agent = ...    (the User-Agent of its loads unless --user-agent gives another)
  max_rate = 2        (transfers started per second at most unless --max-rate is given)
Each source is used with --source NAME by estimate, list and load. A missing file lists
nothing.

Exit codes: 0 done; 1 the file could not be read; 2 usage error, or a file that does not
parse (the message names its line).
)";

constexpr std::array<OptionSpec, 1> kOptions{{kConfigOption}};

class SourcesCommand : public Command {
public:
    void Setup(const ParsedOptions &options) override {
        m_file = SourcesFilePath(options);
        m_sources = download::ReadSources(m_file);
    }

    int Run(CommandContext &context) override {
        std::string text;
        for (const auto &s : m_sources) {
            text += (text.empty() ? "[" : "\n[") + s.source.name +
                    "]\ntemplate = " + s.source.text + "\n";
            if (!s.source.mirrors.empty()) {
                text += "mirrors = ";
                for (std::size_t i = 0; i < s.source.mirrors.size(); ++i) {
                    text += (i == 0 ? "" : ",") + s.source.mirrors[i];
                }
                text += "\n";
            }
            text += "type = " + (s.source.fileType.empty() ? "any" : s.source.fileType) + "\n";
            text += "zoom = " + std::to_string(s.minZoom) + "-" + std::to_string(s.maxZoom) + "\n";
            if (!s.attribution.empty()) {
                text += "attribution = " + s.attribution + "\n";
            }
            if (!s.userAgent.empty()) {
                text += "user_agent = " + s.userAgent + "\n";
            }
            if (s.maxRate) {
                text += "max_rate = " + FormatDouble(*s.maxRate) + "\n";
            }
        }
        FdWriter out(context.stdoutFd, "standard output");
        out.Write(text);
        out.Flush();
        return kExitOk;
    }

private:
    std::filesystem::path m_file;
    std::vector<download::NamedSource> m_sources;
};

} // namespace

CommandInfo SourcesCommandInfo() {
    return {"sources", "list the named template sources of the sources file", kUsage, kOptions,
            [] { return std::make_unique<SourcesCommand>(); }};
}

} // namespace tessaro::cli
