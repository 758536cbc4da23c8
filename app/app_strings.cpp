#include "app/resource.h"
#include "update/strings.h"

const char* BuiltInAppString(unsigned id) {
  switch (id) {
    case IDS_SOCKETS_INIT_FAILED:
      return "Windows 套接字初始化失败。";
    case IDS_ALREADY_RUNNING:
      return "更新程序已经在运行。";
    case IDS_WINDOW_TITLE:
      return "《Nolk2》更新程序";
    case IDS_INSTANCE_MAPPING:
      return "VELMORA_GAME_PATCH_NOLK_2010";
    case IDS_DEFAULT_UPDATE_URL:
      return kBuiltInUpdateUrl;
    case IDS_SETTINGS_FILE:
      return kBuiltInSettingsFile;
    case IDS_UPDATE_URL_KEY:
      return kBuiltInUpdateUrlKey;
    case IDS_DOWNLOAD_SUBDIR:
      return kBuiltInDownloadSubdir;
    case IDS_LIST_KEY:
      return kBuiltInListKey;
    default:
      return "";
  }
}
