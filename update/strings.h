// Fixed texts of the update step: the program's string table, entries 108-112.
#pragma once
#include <string>

// The built-in copies. 108 is on the loopback host, so that no default ever leaves the machine.
const char* const kBuiltInUpdateUrl = "http://127.0.0.1/package/website/patchlist.txt";  // 108
const char* const kBuiltInSettingsFile = "var/gac/update.ini";                           // 109
const char* const kBuiltInUpdateUrlKey = "UpdateURL";                                    // 110
const char* const kBuiltInDownloadSubdir = "var/gac";                                    // 111
// 112 is empty: the lists are not signed unless an operator embeds a key or Url.ini names one.
const char* const kBuiltInListKey = "";  // 112

// The texts in use: the built-in ones until UseUpdateStrings gives those of the program's string
// table, once at start-up before any other thread runs; read-only from then on.
// 108: the default of every update-list key.
extern const char* kDefaultUpdateUrl;
// 109: the settings file below RootDir.
extern const char* kSettingsFile;
// 110: the first update-list key; the later ones append 2, 3 and 4.
extern const char* kUpdateUrlKey;
// 111: DownloadDir's part below RootDir.
extern const char* kDownloadSubdir;
// An empty text (a string the table lacks) keeps the built-in one.
void UseUpdateStrings(const std::string& defaultUrl, const std::string& settingsFile, const std::string& urlKey,
                      const std::string& downloadSubdir);

// 112: the public key (and its words, legacy or untimed) the update list must be signed with. When
// the program carries one, Url.ini's ListKey is not read at all.
extern const char* kDefaultListKey;
// Takes the table's text for 112 (empty: none, lists unsigned), once at start-up like the others.
void UseListKeyString(const std::string& listKey);

// The file holding the update-list URLs, below RootDir.
const char* const kUrlFile = "var/gac/Url.ini";
