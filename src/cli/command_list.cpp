#include "cli/command.h"
#include "cli/request_options.h"
#include "cli/settings_options.h"
#include "common/atomic_file.h"
#include "common/error.h"
#include "tiles/tile_list.h"

#include <optional>

namespace tessaro::cli {

namespace {

constexpr std::string_view kUsage =
    R"(Usage: tessaro list [--source goo|scan|shade|yand] [--kind sat|map|land]
                    [--level L] [--extent LAT1,LAT2,LON1,LON2] [--output FILE]
       tessaro list --url-template URL [--mirrors A,B,...] [--level Z] [--extent ...]
                    [--output FILE]
       either form with [--part K/N]

Prints the tile list of a request, one line per tile in list order (row by row from the
north-west corner on the Google, relief and web-mercator grids, column by column from the
south-west corner on the ScanEx and Yandex grid), each line the seven columns joined by ";"
and ended by CR LF:
  column;row;x;y;pixel width;pixel height;block name
x and y are the centre of the upper-left pixel (Google, relief, template sources: column and
row are then the XYZ x and y, the block name z/x/y) or the south-west corner (ScanEx, Yandex)
in metres; numbers have up to 15 significant digits and a decimal point.
The list is streamed: memory stays flat however many tiles the request covers.

Options: as for 'tessaro estimate', and
  --output FILE   write the list to FILE instead of standard output; the file appears only
                  when the whole list is written
  --part K/N      only the K-th of N disjoint parts of the list (1 <= K <= N): the records
                  from floor(n(K-1)/N) to before floor(nK/N) of the n in list order, the same
                  for the same request every time; the N parts together are the whole list

Exit codes: 0 done; 1 unsupported source and kind, or the list could not be written; 2 usage
error.
)";

constexpr std::array<OptionSpec, 9> kOptions{{
    kRequestOptions[0],
    kRequestOptions[1],
    kRequestOptions[2],
    kRequestOptions[3],
    kRequestOptions[4],
    kRequestOptions[5],
    kPartOption,
    kConfigOption,
    {"output", true, false},
}};

class ListCommand : public Command {
public:
    void Setup(const ParsedOptions &options) override {
        m_request = ReadRequestOptions(options);
        if (const auto *part = options.Get("part")) {
            ParsePart(*part, m_request.request);
        }
        if (const auto *file = options.Get("output")) {
            if (file->empty()) {
                throw ArgumentError("--output needs a file name.");
            }
            m_output = *file;
        }
    }

    int Run(CommandContext &context) override {
        if (m_request.request.type == tiles::TilesType::Invalid) {
            context.ui.ShowMessage(kUnsupportedTypeMessage);
            return kExitProcessing;
        }
        tiles::TileStream stream(m_request.request);
        if (m_output) {
            AtomicFile file(*m_output);
            WriteAll(stream, file.Writer());
            file.Commit();
        } else {
            FdWriter out(context.stdoutFd, "standard output", 1 << 18);
            WriteAll(stream, out);
        }
        return kExitOk;
    }

private:
    static void WriteAll(tiles::TileStream &stream, FdWriter &out) {
        tiles::TileRecord record;
        std::string &buffer = out.Buffer();
        while (stream.Next(record)) {
            tiles::AppendRecordText(buffer, record);
            buffer += "\r\n";
            out.MaybeFlush();
        }
        out.Flush();
    }

    RequestOptions m_request;
    std::optional<std::string> m_output;
};

} // namespace

CommandInfo ListCommandInfo() {
    return {"list", "print the tile list of a request", kUsage, kOptions,
            [] { return std::make_unique<ListCommand>(); }};
}

} // namespace tessaro::cli
