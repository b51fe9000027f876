#include "settings/settings_store.h"

#include "common/atomic_file.h"
#include "common/error.h"
#include "common/error_report.h"
#include "common/text.h"

#include <QSettings>
#include <QStringList>

#include <cerrno>
#include <cmath>
#include <fstream>
#include <unistd.h>
#include <utility>

namespace tessaro::settings {

namespace {

QString Q(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<int>(s.size()));
}

std::string Utf8(const QString &s) {
    const QByteArray bytes = s.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char &c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

// The order in which the load fills the boxes. It only matters when a value fails part-way:
// the boxes before it keep what was loaded.
constexpr Key kLoadOrder[] = {
    Key::SatRasterPath0,    Key::MapRasterPath0,    Key::LandRasterPath0,
    Key::SatLayerName0,     Key::MapLayerName0,     Key::LandLayerName0,
    Key::LevelLayerPrefix0, Key::SatRasterPath1,    Key::MapRasterPath1,
    Key::SatLayerName1,     Key::MapLayerName1,     Key::LevelLayerPrefix1,
    Key::SatRasterPath3,    Key::MapRasterPath3,    Key::SatLayerName3,
    Key::MapLayerName3,     Key::LevelLayerPrefix3, Key::SatServer0,
    Key::SatServer1,        Key::SatServer2,        Key::SatServer3,
    Key::SatVersion,        Key::MapServer0,        Key::MapServer1,
    Key::MapServer2,        Key::MapServer3,        Key::MapVersion,
    Key::LandVersion,       Key::OutPolygon,        Key::Level,
    Key::SatServerScan,     Key::MapServerScan,     Key::SatServerShade,
    Key::SatRasterPath2,    Key::MapRasterPath2,    Key::SatLayerName2,
    Key::MapLayerName2,     Key::LevelLayerPrefix2, Key::SatServerYand0,
    Key::SatServerYand1,    Key::SatServerYand2,    Key::SatServerYand3,
    Key::SatVersionYand,    Key::MapServerYand0,    Key::MapServerYand1,
    Key::MapServerYand2,    Key::MapServerYand3,    Key::MapVersionYand,
    Key::TimeOut,           Key::TilesAtOnce,
};
static_assert(std::size(kLoadOrder) == kKeyCount);

// Returns why a file is no INI settings file, or empty. QSettings reports a bad section line
// only to the first reader of a file (later readers share its cached parse), so the check is
// made here for every reader.
std::string FormatProblem(const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    std::string line;
    bool continued = false; // the line before ended in a backslash: this one goes on its value
    while (std::getline(in, line)) {
        if (line.find('\0') != std::string::npos) {
            return "is not a settings file (it holds binary data).";
        }
        const auto first = line.find_first_not_of(" \t\r");
        const auto last = line.find_last_not_of(" \t\r");
        const bool wasContinued =
            std::exchange(continued, last != std::string::npos && line[last] == '\\');
        if (first == std::string::npos || wasContinued || line[first] == ';' ||
            line[first] == '#') {
            continue;
        }
        if (line[first] == '[') {
            if (line.find(']', first) == std::string::npos) {
                return "is not a valid settings file (a section line is not closed).";
            }
        } else if (line.find('=') == std::string::npos) {
            // QSettings would pass over such a line and find nothing stored; a save would then
            // replace whatever the file is.
            return "is not a settings file (a line is neither a section nor NAME=VALUE).";
        }
    }
    return {};
}

std::string ValueText(const QVariant &v) {
    if (v.type() == QVariant::StringList) {
        return Utf8(v.toStringList().join(QLatin1Char(',')));
    }
    return Utf8(v.toString());
}

// Sets an up-down control from a stored text: the nearest whole number, which must lie in the
// control's range.
void SetUpDown(int &control, const std::string &text, int low, int high, const char *name) {
    double value = 0;
    if (!ParseDouble(text, value)) {
        throw Error("The stored value of " + std::string(name) + " is not a number: '" + text +
                        "'.",
                    ErrorNumber::TypeMismatch);
    }
    const double nearest = std::nearbyint(value); // ties to even
    if (nearest < low || nearest > high) {
        throw Error("Invalid property value: the stored " + std::string(name) + " " + text +
                        " lies outside " + std::to_string(low) + ".." + std::to_string(high) + ".",
                    static_cast<ErrorNumber>(380));
    }
    control = static_cast<int>(nearest);
}

// The version boxes count a stored value of blanks as empty, though a value they take is
// kept as stored; every other box counts only an empty text as empty.
bool StoredEmpty(Key key, const std::string &text) {
    const bool versionBox =
        key == Key::MapVersion || key == Key::LandVersion || key == Key::MapVersionYand;
    return versionBox ? TrimBlanks(text).empty() : text.empty();
}

std::string FallbackOf(const KeyInfo &info, const std::string &temporaryDirectory) {
    switch (info.fallbackOrigin) {
    case ValueOrigin::Literal:
        return std::string(info.fallback);
    case ValueOrigin::Empty:
        break;
    case ValueOrigin::TemporaryDirectory:
        return temporaryDirectory;
    }
    return {};
}

// Sets the up-down control that a stored level, time-out or batch size drives.
void SetUpDownOf(Settings &settings, Key key, const std::string &text) {
    if (key == Key::Level) {
        SetUpDown(settings.upDownLevel, text, kLevelMin, kLevelMax, "txtLevel");
    } else if (key == Key::TimeOut) {
        SetUpDown(settings.upDownTime, text, kTimeMin, kTimeMax, "txtTimeOut");
    } else if (key == Key::TilesAtOnce) {
        SetUpDown(settings.upDownTiles, text, kTilesMin, kTilesMax, "txtTilesAtOnce");
    }
}

} // namespace

SettingsStore SettingsStore::User() {
    const QSettings native(QStringLiteral("Orvelt"), QStringLiteral("Tessaro"));
    return SettingsStore(Utf8(native.fileName()));
}

SettingsStore SettingsStore::AtFile(std::filesystem::path file) {
    return SettingsStore(std::move(file));
}

SettingsStore::State SettingsStore::Inspect(std::string *problem) const {
    std::error_code ec;
    const auto status = std::filesystem::status(m_path, ec);
    if (!std::filesystem::exists(status)) {
        return State::Missing;
    }
    auto broken = [&](const std::string &why) {
        if (problem != nullptr) {
            *problem = "The settings store " + m_path.string() + " " + why;
        }
        return State::Broken;
    };
    if (!std::filesystem::is_regular_file(status)) {
        return broken("is not a file.");
    }
    if (::access(m_path.c_str(), R_OK) != 0) {
        return broken("cannot be read: " + SystemErrorText(errno) + ".");
    }
    if (const std::string why = FormatProblem(m_path); !why.empty()) {
        return broken(why);
    }
    const QSettings file(Q(m_path.string()), QSettings::IniFormat);
    switch (file.status()) {
    case QSettings::NoError:
        break;
    case QSettings::AccessError:
        return broken("cannot be read.");
    case QSettings::FormatError:
        return broken("is not a valid settings file.");
    }
    return file.allKeys().isEmpty() ? State::Missing : State::Readable;
}

std::map<std::string, std::string> SettingsStore::ReadAll() const {
    std::map<std::string, std::string> values;
    const QSettings file(Q(m_path.string()), QSettings::IniFormat);
    for (const QString &key : file.allKeys()) {
        std::string text = ValueText(file.value(key));
        if (const auto nul = text.find('\0'); nul != std::string::npos) {
            text.resize(nul);
        }
        values[Lower(Utf8(key))] = std::move(text);
    }
    return values;
}

void SettingsStore::Save(const Settings &settings) const {
    std::string problem;
    if (Inspect(&problem) == State::Broken) {
        throw FileError(problem + " It is left as it is; repair or remove it before saving.");
    }
    std::error_code ec;
    std::filesystem::create_directories(m_path.parent_path(), ec);

    // Existing names, so that a value stored under another letter case is written in place.
    std::map<std::string, QString> existing;
    std::map<QString, QVariant> values;
    if (std::filesystem::exists(m_path)) {
        const QSettings old(Q(m_path.string()), QSettings::IniFormat);
        for (const QString &key : old.allKeys()) {
            existing[Lower(Utf8(key))] = key;
            values[key] = old.value(key);
        }
    }
    const auto put = [&](std::string_view savedName, const std::string &value) {
        const auto found = existing.find(Lower(savedName));
        values[found != existing.end() ? found->second : Q(savedName)] = Q(value);
    };
    for (const auto &info : Keys()) {
        put(info.savedName, settings.Trimmed(info.key));
    }
    if (!settings.userAgent.empty()) {
        put(kUserAgentName, TrimBlanks(settings.userAgent));
    }

    AtomicFile file(m_path, AtomicFile::Mode::Replace, AtomicFile::Temporary::Named);
    {
        QSettings out(Q(file.TemporaryPath().string()), QSettings::IniFormat);
        for (const auto &[name, value] : values) {
            out.setValue(name, value);
        }
        out.sync();
        if (out.status() != QSettings::NoError) {
            throw FileError("Cannot write the settings store " + m_path.string() + ".");
        }
    }
    file.Commit();
}

SettingsStore::LoadResult
SettingsStore::LoadFromRegistry(Settings &settings, UiPort &ui, bool silent,
                                std::vector<std::string> *unusable) const {
    std::string problem;
    switch (Inspect(&problem)) {
    case State::Missing:
        if (!silent) {
            ui.ShowMessage(kNoSavedData);
        }
        return LoadResult::NothingStored;
    case State::Broken:
        ui.ShowMessage(problem + " The settings are left as they were.", Icon::Exclamation);
        return LoadResult::Broken;
    case State::Readable:
        break;
    }
    const auto stored = ReadAll();
    const std::string temp = TemporaryDirectory();
    settings.userAgent.clear();
    if (const auto it = stored.find(Lower(kUserAgentName)); it != stored.end()) {
        const std::string agent = TrimBlanks(it->second);
        if (IsUsableUserAgent(agent)) {
            settings.userAgent = agent;
        } else if (!agent.empty()) {
            ui.ShowMessage("The stored " + std::string(kUserAgentName) +
                               " is not a name on one line; the requests give the program's own.",
                           Icon::Exclamation);
        }
    }
    const bool loaded = RunTrapped(ui, "LoadFromRegistry ", [&] {
        for (Key key : kLoadOrder) {
            const KeyInfo &info = InfoOf(key);
            const auto it = stored.find(Lower(info.readName));
            const std::string text = it == stored.end() ? std::string() : it->second;
            if (StoredEmpty(key, text)) {
                settings.Text(key) = FallbackOf(info, temp);
                continue;
            }
            try {
                SetUpDownOf(settings, key, text);
            } catch (const Error &e) {
                if (unusable == nullptr) {
                    throw;
                }
                // The value is passed over: reported, its box and control keep what they held.
                ReportException(ui, ProcedureText("LoadFromRegistry ", "", 0), e, kMessageMode);
                unusable->push_back(std::string(info.savedName));
                continue;
            }
            settings.Text(key) = text;
        }
    });
    return loaded ? LoadResult::Loaded : LoadResult::Failed;
}

} // namespace tessaro::settings
