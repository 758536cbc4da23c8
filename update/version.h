// The installed client's version, the settings of the two INI files below RootDir, and the
// update-list URL splitter.
#pragma once
#include <cstdint>
#include <string>

// major in bits 31-24, minor 23-16, patch 15-0; versions compare as unsigned integers.
typedef std::uint32_t VersionCode;

// 1.255.255: with this installed version no update check is made.
const VersionCode kSentinelVersion = (1u << 24) | (255u << 16) | 255u;

// Reads "%d.%d.%d" (leading blanks allowed, anything after the third number ignored); each number is
// cut to its field. 0 when the text does not yield three numbers.
VersionCode ParseVersionCode(const std::string& text);
// True when text reads as three numbers ("0.0.0" included); *code gets the packed value.
bool ScanVersion(const std::string& text, VersionCode* code);

// Builds a code from its parts (cut to their fields).
inline VersionCode MakeVersionCode(unsigned major, unsigned minor, unsigned patch) {
  return ((major & 0xFFu) << 24) | ((minor & 0xFFu) << 16) | (patch & 0xFFFFu);
}
// "major.minor.patch".
std::string VersionText(VersionCode code);

// The value of key in section Setting of RootDir + file ("var/gac/update.ini" when file is empty), or
// def. A value reading "0.0.0" is shown in an error box first (and still returned).
std::string ReadSetting(const std::string& file, const std::string& key, const std::string& def);

// The Version setting of update.ini, packed; 0 when it does not read as a version.
VersionCode ReadInstalledVersion();

// "http://host[:port]/path": false (host and path empty) when the URL does not split. The port is 80
// unless the URL names one.
bool SplitUrl(const std::string& url, std::string* host, std::uint16_t* port, std::string* path);
