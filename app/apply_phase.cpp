#include "app/apply_phase.h"

#include <cstdio>
#include <vector>

#include "app/nolkpatch_dlg.h"
#include "app/window_messages.h"
#include "engine/src/lumcommon/digester/cmd5.h"
#include "engine/src/lumcommon/lum_exception.h"
#include "package/bz_update_helper.h"
#include "package/obsolete_files.h"
#include "package/streamed_section.h"
#include "package/update_sec.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "platform/message_box.h"
#include "update/install_dirs.h"
#include "update/update_list.h"

namespace {

const std::uint32_t kDigestChunk = 10485760;

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

std::string Format(const char* fmt, const std::string& arg) {
  std::string out(std::char_traits<char>::length(fmt) + arg.size() + 1, '\0');
  int n = std::snprintf(&out[0], out.size(), fmt, arg.c_str());
  out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return out;
}

// The end of a failed package: the status line, the owned box, and the end of the run.
std::intptr_t StopOnFailure(CnolkpatchDlg& window) {
  window.SetLabelText(window.statusLabel, "关闭中...");
  window.MessageBox("发生错误, 放弃继续更新", "错误", platform::kMbOk);
  window.PostMessage(WM_UPDATE_END, 0, 0);
  return 0;
}

}  // namespace

bool ApplyUpdatePackage(CnolkpatchDlg& window, const std::string& packageName, VersionCode version,
                        const std::string& downloadDir, const std::string& rootDir) {
  BzUpdateHelper reader;
  const std::string packagePath = downloadDir + "/" + packageName;
  if (!reader.Open(version, packageName, packagePath)) {
    platform::AppMessageBox(reader.GetErrorText(), platform::kMbIconError);
    return false;
  }
  // Long reads keep the window alive too.
  reader.SetIdle([&window] { window.PumpMessages(); });
  window.PumpMessages();
  window.PumpMessages();
  // The record of the installed-version file is held and written last in its package, after a
  // barrier: a power cut never leaves the new version over files that did not reach the disk.
  std::vector<unsigned char> versionRecord;
  for (;;) {
    window.PumpMessages();
    const unsigned char* section = reader.ReadSectionHead();
    const bool streamed = section && IsStreamedSection(section);
    if (section && !streamed) section = reader.ReadSectionRest();
    if (reader.IsEnd()) {
      if (versionRecord.empty()) {
        window.PumpMessages();
        return true;
      }
      section = versionRecord.data();
    } else if (!section) {
      platform::AppMessageBox(reader.GetErrorText(), platform::kMbOk);
      return false;
    } else if (!streamed && IsVersionFileName(SectionName(section))) {
      versionRecord.assign(section, section + 16 + SectionNameLength(section) + SectionDataLength(section));
      continue;
    }
    const bool version = section == versionRecord.data();
    window.ShowApplyStatus(Format("解压 %s", SectionName(section)));
    window.PumpMessages();
    bool written;
    try {
      bool readFailed = false;
      const auto pump = [&window] { window.PumpMessages(); };
      written = streamed  ? ApplyStreamedSection(reader, packageName, rootDir, section, pump, &readFailed)
                : version ? ApplyVersionSec(packageName, rootDir, section)
                          : ApplyUpdateSec(packageName, rootDir, section);
      if (readFailed) {
        platform::AppMessageBox(reader.GetErrorText(), platform::kMbOk);
        return false;
      }
    } catch (const platform::CFileException& e) {
      // A full disk or a device error: say which file and why, then stop like any failed section.
      platform::AppMessageBox(e.GetErrorMessage(), platform::kMbIconError);
      written = false;
    }
    if (!written) {
      platform::AppMessageBox("更新中发生错误!", platform::kMbOk);
      return false;
    }
    if (version) {
      window.PumpMessages();
      return true;
    }
  }
}

std::intptr_t RunApplyPhase(CnolkpatchDlg& window) {
  window.ApplyStarted = true;
  window.SetLabelText(window.downloadedLabel, "");
  window.downloadProgress.SetPos(100);
  window.SetLabelText(window.statusLabel, "下载数据完毕, 正在进行解压...");
  window.PumpMessages();

  const int packages = static_cast<int>(UpdateList.size());
  int applied = 0;
  std::string current;
  for (const PackageEntry& entry : UpdateList) {
    current = PackageFileName(entry.url);
    window.SetLabelText(window.versionLabel, current);
    window.SetLabelText(window.statusLabel, "正在检查更新包的完整性...");
    const std::string expected = Upper(entry.md5);
    const std::string packagePath = DownloadDir + "/" + current;

    platform::CFile probe;
    if (current.empty() || !probe.Open(packagePath, platform::CFile::modeRead | platform::CFile::typeBinary)) {
      platform::AppMessageBox(Format("无法打开更新包%s，请重新启动本程序再尝试一次，\n"
                                     "若多次重试故障仍然出现，请尝试手动下载该更新包或到官方论坛联系客服人员。",
                                     current),
                              platform::kMbOk);
      window.PostMessage(WM_UPDATE_END, 0, 0);
      return 0;
    }
    probe.Abort();

    std::string computed;
    try {
      computed = Upper(GetFileMD5(packagePath, kDigestChunk));
    } catch (const LumCommon::CLumException& e) {
      // The package vanished or could not be read between the open and the digest: end like a failed
      // section instead of leaving the run hanging.
      platform::AppMessageBox(e.what(), platform::kMbIconError);
      platform::AppMessageBox("更新中发生错误!", platform::kMbOk);
      return StopOnFailure(window);
    }
    if (computed != expected) {
      platform::DeleteFile(packagePath);
      platform::AppMessageBox(Format("经验证，发现下载的%s更新包与官方提供的更新包不一致，\n"
                                     "这可能是由于下载过程发生了数据错误，请重新启动本程序再尝试一次，\n"
                                     "若多次重试故障仍然出现，请尝试手动下载该更新包或到官方论坛联系客服人员。",
                                     current),
                              platform::kMbOk);
      window.PostMessage(WM_UPDATE_END, 0, 0);
      return 0;
    }

    window.SetLabelText(window.statusLabel, "更新中...");
    if (!ApplyUpdatePackage(window, current, entry.version, DownloadDir, RootDir)) return StopOnFailure(window);

    ++applied;
    const int percent = applied * 100 / packages;
    std::printf("Now Version:%u.%u.%uProcess:%d\n", (entry.version >> 24) & 0xFF, (entry.version >> 16) & 0xFF,
                entry.version & 0xFFFF, percent);
    std::fflush(stdout);
    window.updateProgress.SetPos(percent);
  }

  if (packages > 0) RemoveObsoleteFiles();
  window.PostMessage(WM_UPDATE_END, 0, 0);
  return 1;
}
