// Fixed texts of the update step (the program's string table, entries 108-111).
#pragma once

// 108: the built-in update-list URL, on the loopback host so that no default ever leaves the machine.
const char* const kDefaultUpdateUrl = "http://127.0.0.1/package/website/patchlist.txt";
// 109: the settings file below RootDir.
const char* const kSettingsFile = "var/gac/update.ini";
// 110: the first update-list key; the later ones append 2, 3 and 4.
const char* const kUpdateUrlKey = "UpdateURL";
// 111: DownloadDir's part below RootDir.
const char* const kDownloadSubdir = "var/gac";
// The file holding the update-list URLs, below RootDir.
const char* const kUrlFile = "var/gac/Url.ini";
