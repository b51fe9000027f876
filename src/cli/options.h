#pragma once

#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::cli {

/// One option a command accepts.
struct OptionSpec {
    std::string_view name; ///< without the leading "--"
    bool takesValue = true;
    bool repeatable = false;
};

/// Options and positional arguments of one command line.
class ParsedOptions {
public:
    [[nodiscard]] bool Has(std::string_view name) const {
        return m_values.count(std::string(name)) > 0;
    }
    /// Returns the value of an option given once, or nullptr when absent.
    [[nodiscard]] const std::string *Get(std::string_view name) const;
    /// Returns every value of a repeatable option in the order given.
    [[nodiscard]] std::vector<std::string> All(std::string_view name) const;
    [[nodiscard]] const std::vector<std::string> &Positional() const noexcept {
        return m_positional;
    }

    void Add(std::string_view name, std::string value) {
        m_values[std::string(name)].push_back(std::move(value));
    }
    void AddPositional(std::string value) { m_positional.push_back(std::move(value)); }

private:
    std::map<std::string, std::vector<std::string>> m_values;
    std::vector<std::string> m_positional;
};

/// Parses "--name value" and "--name=value" (a value may start with "-", so
/// "--extent -12.5,-11,30,31" works as well as "--extent=-12.5,-11,30,31"). "--" ends the
/// options. @throws tessaro::ArgumentError for an unknown option, a missing value, a value
/// given to a flag, or a non-repeatable option given twice.
[[nodiscard]] ParsedOptions ParseOptions(std::span<const std::string> args,
                                         std::span<const OptionSpec> specs);

} // namespace tessaro::cli
