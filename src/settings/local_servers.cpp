#include "settings/local_servers.h"

namespace tessaro::settings {

std::vector<std::pair<Key, std::string>> ServerSettingsFor(const std::string &baseUrl) {
    std::vector<std::pair<Key, std::string>> values;
    for (int k = 0; k < 4; ++k) {
        const std::string mirror = baseUrl + "/m" + std::to_string(k);
        values.emplace_back(Settings::SatServer(k), mirror + "/kh");
        values.emplace_back(Settings::MapServer(k), mirror + "/vt");
        values.emplace_back(Settings::SatServerYand(k), mirror + "/tiles?l=sat&v=");
        values.emplace_back(Settings::MapServerYand(k), mirror + "/tiles?l=map&v=");
    }
    values.emplace_back(Key::SatServerScan, baseUrl + "/printtilesrescaled/?t=image_&zt=n");
    values.emplace_back(Key::MapServerScan, baseUrl + "/printtilesrescaled/?t=map&zt=n");
    values.emplace_back(Key::SatServerShade, baseUrl + "/layer/relief/");
    return values;
}

} // namespace tessaro::settings
