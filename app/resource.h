// Resource identifiers shared by the resource script and the code, and the string table's texts.
#pragma once

#define IDD_NOLKPATCH_DIALOG 102
#define IDS_SOCKETS_INIT_FAILED 103
#define IDS_ALREADY_RUNNING 104
#define IDS_WINDOW_TITLE 105
#define IDS_INSTANCE_MAPPING 106
#define IDS_DEFAULT_UPDATE_URL 108
#define IDS_SETTINGS_FILE 109
#define IDS_UPDATE_URL_KEY 110
#define IDS_DOWNLOAD_SUBDIR 111
#define IDS_LIST_KEY 112
#define IDR_MAINFRAME 128
#define IDB_BACKGROUND 142

#define IDC_DOWNLOAD_PROGRESS 1000
#define IDC_UPDATE_PROGRESS 1001
#define IDC_VERSION_LABEL 1002
#define IDC_SIZE_LABEL 1003
#define IDC_STATUS_LABEL 1004
#define IDC_DOWNLOADED_LABEL 1005
#define IDC_PROGRESS_CAPTION 1006

#ifndef RC_INVOKED
#include <string>

// The string table's text for id (Windows: LoadStringA from the program's resources; elsewhere the
// same texts built in). Empty for an unknown id.
std::string LoadAppString(unsigned id);
// The built-in copy of the table, the reference for both.
const char* BuiltInAppString(unsigned id);
#endif
