#include "update/strings.h"

const char* kDefaultUpdateUrl = kBuiltInUpdateUrl;
const char* kSettingsFile = kBuiltInSettingsFile;
const char* kUpdateUrlKey = kBuiltInUpdateUrlKey;
const char* kDownloadSubdir = kBuiltInDownloadSubdir;
const char* kDefaultListKey = kBuiltInListKey;

namespace {

std::string g_loaded[5];

void Use(const std::string& text, std::string* store, const char** use) {
  if (text.empty()) return;
  *store = text;
  *use = store->c_str();
}

}  // namespace

void UseUpdateStrings(const std::string& defaultUrl, const std::string& settingsFile, const std::string& urlKey,
                      const std::string& downloadSubdir) {
  Use(defaultUrl, &g_loaded[0], &kDefaultUpdateUrl);
  Use(settingsFile, &g_loaded[1], &kSettingsFile);
  Use(urlKey, &g_loaded[2], &kUpdateUrlKey);
  Use(downloadSubdir, &g_loaded[3], &kDownloadSubdir);
}

void UseListKeyString(const std::string& listKey) { Use(listKey, &g_loaded[4], &kDefaultListKey); }
