#include "cli/options.h"

#include "common/error.h"

#include <algorithm>

namespace tessaro::cli {

const std::string *ParsedOptions::Get(std::string_view name) const {
    const auto it = m_values.find(std::string(name));
    if (it == m_values.end() || it->second.empty()) {
        return nullptr;
    }
    return &it->second.back();
}

std::vector<std::string> ParsedOptions::All(std::string_view name) const {
    const auto it = m_values.find(std::string(name));
    return it == m_values.end() ? std::vector<std::string>{} : it->second;
}

ParsedOptions ParseOptions(std::span<const std::string> args, std::span<const OptionSpec> specs) {
    ParsedOptions parsed;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (optionsEnded || arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            if (arg == "--") {
                optionsEnded = true;
                continue;
            }
            if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
                throw ArgumentError("Unknown option '" + arg + "'.");
            }
            parsed.AddPositional(arg);
            continue;
        }
        const auto eq = arg.find('=');
        const std::string name =
            arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
        const auto spec = std::find_if(specs.begin(), specs.end(),
                                       [&](const OptionSpec &s) { return s.name == name; });
        if (spec == specs.end()) {
            throw ArgumentError("Unknown option '--" + name + "'.");
        }
        if (!spec->repeatable && parsed.Has(name)) {
            throw ArgumentError("The option '--" + name + "' is given more than once.");
        }
        if (!spec->takesValue) {
            if (eq != std::string::npos) {
                throw ArgumentError("The option '--" + name + "' takes no value.");
            }
            parsed.Add(name, {});
            continue;
        }
        if (eq != std::string::npos) {
            parsed.Add(name, arg.substr(eq + 1));
        } else if (i + 1 < args.size()) {
            parsed.Add(name, args[++i]);
        } else {
            throw ArgumentError("The option '--" + name + "' needs a value.");
        }
    }
    return parsed;
}

} // namespace tessaro::cli
