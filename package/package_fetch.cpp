#include "package/package_fetch.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "engine/src/lumcommon/digester/cmd5.h"
#include "package/work_queue.h"
#include "platform/disk_space.h"
#include "platform/file_system.h"
#include "platform/http_download.h"
#include "platform/ini_file.h"
#include "platform/message_box.h"
#include "platform/process.h"
#include "platform/stdio_file.h"
#include "update/name_rules.h"
#include "update/install_dirs.h"
#include "update/run_log.h"
#include "update/strings.h"

namespace {

using LumCommon::MD5Context;

const std::size_t kReadPiece = 1u << 20;
// How often, in bytes written, the free space is looked at again.
const std::int64_t kSpaceCheckEvery = std::int64_t(8) << 20;

bool Stopped(const std::atomic<bool>* stop) { return stop && stop->load(); }

std::string DigestText(MD5Context ctx) {
  unsigned char d[16];
  LumCommon::MD5Final(d, &ctx);
  char text[33];
  for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02x", d[i]);
  return std::string(text, 32);
}

// ctx takes in the whole file; *size gets its length. False when it cannot be read or on a stop.
bool DigestFile(const std::string& path, MD5Context* ctx, std::int64_t* size, const std::atomic<bool>* stop) {
  std::FILE* f = platform::OpenStdFile(path, "rb");
  if (!f) return false;
  std::vector<unsigned char> buf(kReadPiece);
  bool ok = true;
  *size = 0;
  for (;;) {
    if (Stopped(stop)) {
      ok = false;
      break;
    }
    std::size_t n = std::fread(buf.data(), 1, buf.size(), f);
    LumCommon::MD5Update(ctx, buf.data(), n);
    *size += static_cast<std::int64_t>(n);
    if (n < buf.size()) {
      ok = !std::ferror(f);
      break;
    }
  }
  std::fclose(f);
  return ok;
}

// The body's digest, taken on a thread of its own while the transfer's thread receives and writes:
// a transfer then lasts about as long as the slower of the two instead of both together. The queue's
// bound keeps memory at a few pieces.
class BackgroundDigest {
 public:
  explicit BackgroundDigest(const MD5Context& start) : ctx_(start), queue_(kSlots) {
    pending_.reserve(kPiece);
    thread_ = std::thread([this] {
      std::vector<unsigned char> piece;
      while (queue_.Pop(&piece)) LumCommon::MD5Update(&ctx_, piece.data(), piece.size());
    });
  }
  ~BackgroundDigest() { Finish(); }
  void Add(const char* data, std::size_t size) {
    while (size > 0) {
      const std::size_t n = std::min(size, kPiece - pending_.size());
      pending_.insert(pending_.end(), data, data + n);
      data += n;
      size -= n;
      if (pending_.size() == kPiece) Hand();
    }
  }
  // Every byte added is in the digest afterwards.
  const MD5Context& Finish() {
    if (thread_.joinable()) {
      if (!pending_.empty()) Hand();
      queue_.Close();
      thread_.join();
    }
    return ctx_;
  }

 private:
  static constexpr std::size_t kPiece = std::size_t(256) << 10;
  static constexpr std::size_t kSlots = 8;
  void Hand() {
    std::vector<unsigned char> piece;
    piece.swap(pending_);
    queue_.Push(std::move(piece));
    pending_.reserve(kPiece);
  }
  MD5Context ctx_;
  WorkQueue<std::vector<unsigned char>> queue_;
  std::vector<unsigned char> pending_;
  std::thread thread_;
};

// A single name below the folder that Windows and Linux both write as such, and none of the
// installation's own files there: a package fetched as update.ini would take the version record's place.
bool IsSafeFileName(const std::string& name) {
  if (name.empty() || FindPathSeparator(name) != std::string::npos || !IsSafeSectionName(name) ||
      TrimWindowsComponent(name) != name)
    return false;
  const std::string key = WindowsPathKey(name);
  for (const char* own : {"update.ini", "Url.ini", "KirvanCode"})
    if (key == WindowsPathKey(own)) return false;
  return true;
}

// What the answer's head decided.
enum class Verdict {
  kBody,        // its body goes into the side file
  kWhole416,    // the server has nothing past the side file's end
  kOtherRange,  // a 206 that does not start where the side file ends
  kStatus,      // an answer that brings no package
  kNoSpace,
  kOverrun,  // more body than its Content-Length
  kWriteError,
};

// The side file and its running digest, and the sink of one transfer into it.
class SideFile : public platform::DownloadSink {
 public:
  SideFile(const std::string& path, const std::string& folder, const FetchSettings& s)
      : path_(path), folder_(folder), s_(s) {
    LumCommon::MD5Init(&ctx_);
  }
  ~SideFile() override { Close(); }

  // The digest covers exactly the file's bytes: read them again unless this run wrote them all.
  bool Load() {
    if (known_ && static_cast<std::int64_t>(platform::FileSizeOf(path_)) == have_) return true;
    LumCommon::MD5Init(&ctx_);
    have_ = 0;
    known_ = false;
    if (platform::GetPathKind(path_) == platform::PathKind::kNone) {
      known_ = true;
      return true;
    }
    if (!DigestFile(path_, &ctx_, &have_, s_.stop)) return false;
    known_ = true;
    return true;
  }
  void Discard() {
    Close();
    digest_.reset();
    platform::DeleteFile(path_);
    LumCommon::MD5Init(&ctx_);
    have_ = 0;
    known_ = true;
  }
  void Close() {
    if (file_ && std::fclose(file_) != 0 && verdict_ == Verdict::kBody) verdict_ = Verdict::kWriteError;
    file_ = nullptr;
  }
  std::int64_t Size() const { return have_; }
  std::string Digest() const { return DigestText(ctx_); }

  // After each transfer: what it wrote is in the digest.
  void Settle() {
    if (digest_) ctx_ = digest_->Finish();
    digest_.reset();
  }

  // Before each transfer.
  void Begin(std::int64_t from) {
    from_ = from;
    received_ = 0;
    sinceSpaceCheck_ = 0;
    restarted_ = false;
    verdict_ = Verdict::kBody;
    head_ = platform::DownloadHead();
  }

  bool OnHead(const platform::DownloadHead& head) override {
    head_ = head;
    if (head.status == 416 && from_ > 0) return Decide(Verdict::kWhole416);
    if (head.status == 206) {
      if (!head.hasContentRange || head.rangeFirst != from_) return Decide(Verdict::kOtherRange);
    } else if (head.status == 200) {
      restarted_ = from_ > 0;
    } else {
      return Decide(Verdict::kStatus);
    }
    const std::int64_t freeBytes = platform::FreeDiskBytes(folder_);
    const std::int64_t need = head.contentLength > 0 ? head.contentLength : 0;
    if (freeBytes >= 0 && freeBytes - need < s_.minFreeBytes) return Decide(Verdict::kNoSpace);
    if (restarted_) Discard();  // the server sends the whole package again
    file_ = platform::OpenStdFile(path_, have_ > 0 ? "ab" : "wb");
    if (!file_) return Decide(Verdict::kWriteError);
    digest_.reset(new BackgroundDigest(ctx_));
    return true;
  }

  bool OnBody(const char* data, std::size_t size) override {
    const std::int64_t n = static_cast<std::int64_t>(size);
    if (head_.contentLength >= 0 && received_ + n > head_.contentLength) return Decide(Verdict::kOverrun);
    if (std::fwrite(data, 1, size, file_) != size) return Decide(Verdict::kWriteError);
    digest_->Add(data, size);
    received_ += n;
    have_ += n;
    sinceSpaceCheck_ += n;
    if (sinceSpaceCheck_ >= kSpaceCheckEvery) {
      sinceSpaceCheck_ = 0;
      const std::int64_t freeBytes = platform::FreeDiskBytes(folder_);
      if (freeBytes >= 0 && freeBytes < s_.minFreeBytes) return Decide(Verdict::kNoSpace);
    }
    if (s_.onBytes) s_.onBytes(n);
    return true;
  }

  Verdict verdict() const { return verdict_; }
  const platform::DownloadHead& head() const { return head_; }
  std::int64_t received() const { return received_; }
  bool restarted() const { return restarted_; }

 private:
  bool Decide(Verdict v) {
    verdict_ = v;
    return false;
  }

  std::string path_, folder_;
  const FetchSettings& s_;
  MD5Context ctx_;
  std::unique_ptr<BackgroundDigest> digest_;  // during a transfer
  std::int64_t have_ = 0;                     // bytes in the side file, all in ctx_ once settled
  bool known_ = false;                        // have_ and ctx_ describe the file
  std::FILE* file_ = nullptr;
  std::int64_t from_ = 0, received_ = 0, sinceSpaceCheck_ = 0;
  bool restarted_ = false;
  Verdict verdict_ = Verdict::kBody;
  platform::DownloadHead head_;
};

void LogTransfer(const std::string& name, std::int64_t from, std::int64_t received, std::int64_t ms,
                 const std::string& outcome) {
  WriteRunLog("下载 %s: 续传自 %" PRId64 " 字节, 收到 %" PRId64 " 字节, 用时 %" PRId64 " 毫秒, %s", name.c_str(), from,
              received, ms, outcome.c_str());
}

// A pause that a close cuts short; false when it did.
bool Pause(int ms, const std::atomic<bool>* stop) {
  for (int waited = 0; waited < ms; waited += 50) {
    if (Stopped(stop)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return !Stopped(stop);
}

}  // namespace

bool ReadFetchPackagesSetting() {
  const std::string value = platform::ReadIniString(RootDir + kUrlFile, "Setting", "FetchPackages", "", 1024);
  if (value.empty() || value == "0") return false;
  if (value == "1") return true;
  platform::AppMessageBox("Url.ini 中的 FetchPackages=" + value + " 无效, 只能是 1 (自动下载更新包) 或 0 (不下载)",
                          platform::kMbOk);
  platform::ExitProcessNow(2);  // as the other configuration failures before the list
}

bool PackageIsCurrent(const std::string& path, const std::string& md5, const std::atomic<bool>* stop) {
  if (platform::GetPathKind(path) != platform::PathKind::kFile) return false;
  MD5Context ctx;
  LumCommon::MD5Init(&ctx);
  std::int64_t size = 0;
  return DigestFile(path, &ctx, &size, stop) && DigestText(ctx) == md5;
}

FetchResult FetchPackage(const std::string& url, const std::string& folder, const std::string& name,
                         const std::string& md5, const FetchSettings& s) {
  if (!IsSafeFileName(name)) {
    LogTransfer(name, 0, 0, 0, "失败, 文件名不能用作更新包");
    return FetchResult::kFailed;
  }
  const std::string target = folder + "/" + name;
  SideFile side(target + kPartSuffix, folder, s);
  int cuts = 0, mismatches = 0;
  bool rangeRestarted = false;
  for (;;) {
    if (Stopped(s.stop)) return FetchResult::kStopped;
    if (!side.Load()) {
      if (Stopped(s.stop)) return FetchResult::kStopped;
      LogTransfer(name, 0, 0, 0, "失败, 无法读取临时文件 " + name + kPartSuffix);
      return FetchResult::kFailed;
    }
    const std::int64_t from = side.Size();
    platform::DownloadRequest request;
    request.url = url;
    request.agent = s.agent;
    request.rangeFrom = from;
    request.stallSeconds = s.stallSeconds;
    request.stop = s.stop;
    side.Begin(from);
    const auto start = std::chrono::steady_clock::now();
    std::string reason;
    bool headSeen = false;
    platform::DownloadResult r = platform::HttpDownload(request, &side, &reason, &headSeen);
    side.Close();
    side.Settle();
    const std::int64_t ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    auto log = [&](const std::string& outcome) { LogTransfer(name, from, side.received(), ms, outcome); };
    const std::string restartNote = side.restarted() ? ", 服务器不支持续传, 已从头下载" : "";

    if (r == platform::DownloadResult::kComplete && side.head().contentLength >= 0 &&
        side.received() != side.head().contentLength && side.verdict() == Verdict::kBody) {
      r = platform::DownloadResult::kCut;  // a transport that reports a short body as whole
      reason = "body shorter than its Content-Length";
    }
    // A side file that could not be written (a failed close after the last byte included) is no package.
    if (side.verdict() == Verdict::kWriteError && r == platform::DownloadResult::kComplete)
      r = platform::DownloadResult::kRefused;
    switch (r) {
      case platform::DownloadResult::kStopped:
        log("停止, 临时文件保留到下次运行");
        return FetchResult::kStopped;
      case platform::DownloadResult::kFailed:
        log("失败, " + reason);
        return FetchResult::kFailed;
      case platform::DownloadResult::kCut:
        if (++cuts > s.maxResumes) {
          log("失败, 连接中断次数过多, " + reason);
          return FetchResult::kFailed;
        }
        log("中断, " + reason);
        if (!Pause(cuts * s.pauseStepMs, s.stop)) return FetchResult::kStopped;
        continue;
      case platform::DownloadResult::kRefused:
        switch (side.verdict()) {
          case Verdict::kBody:
          case Verdict::kWhole416:
            break;  // handled below
          case Verdict::kOtherRange:
            if (rangeRestarted) {
              log("失败, 服务器的 Content-Range 与请求的范围不符");
              return FetchResult::kFailed;
            }
            rangeRestarted = true;
            log("服务器的 Content-Range 与请求的范围不符, 从头下载");
            side.Discard();
            continue;
          case Verdict::kStatus:
            log("失败, HTTP " + std::to_string(side.head().status));
            return FetchResult::kFailed;
          case Verdict::kNoSpace:
            log("失败, 磁盘空间不足 (需保留 " + std::to_string(s.minFreeBytes) + " 字节可用空间)");
            return FetchResult::kFailed;
          case Verdict::kOverrun:
            log("失败, 收到的数据超出 Content-Length " + std::to_string(side.head().contentLength));
            return FetchResult::kFailed;
          case Verdict::kWriteError:
            log("失败, 无法写入临时文件 " + name + kPartSuffix);
            return FetchResult::kFailed;
        }
        if (side.verdict() != Verdict::kWhole416) {
          log("失败, " + reason);
          return FetchResult::kFailed;
        }
        break;
      case platform::DownloadResult::kComplete:
        break;
    }

    // The side file is whole (a complete body, or a 416 past its end): its digest decides.
    const std::string actual = side.Digest();
    const bool whole416 = side.verdict() == Verdict::kWhole416;
    if (actual == md5) {
      if (!platform::ReplaceFileWith(target + kPartSuffix, target)) {
        log("失败, 无法把临时文件改名为 " + name);
        return FetchResult::kFailed;
      }
      log(whole416 ? "完成, 服务器答 416, 临时文件已完整" : "完成" + restartNote);
      return FetchResult::kFetched;
    }
    side.Discard();
    if (whole416) {
      log("服务器答 416, 临时文件MD5校验失败 " + actual + ", 已删除, 从头下载");
      continue;
    }
    if (++mismatches >= 2) {
      log("失败, MD5校验失败 " + actual + ", 已删除临时文件");
      return FetchResult::kFailed;
    }
    log("MD5校验失败 " + actual + ", 已删除临时文件, 从头再下载一次");
  }
}
