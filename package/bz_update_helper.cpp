#include "package/bz_update_helper.h"

#include <bzlib.h>

#include <cstdlib>
#include <cstring>

#include "package/update_sec.h"
#include "platform/stdio_file.h"

namespace {

// Record buffers grow by at least this much, and never beyond what has been claimed.
const std::size_t kGrowStep = 1u << 20;
// bzip2's reads take an int count; keep each well below it.
const std::uint32_t kReadChunk = 64u << 20;

std::string WithName(const char* format, const std::string& name) {
  std::string text(format);
  std::string::size_type at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, name);
  return text;
}

}  // namespace

BzUpdateHelper::BzUpdateHelper() : BzUpdateHelper(BzBodyStream::DefaultThreads()) {}

BzUpdateHelper::BzUpdateHelper(int threads)
    : expectedVersion_(0),
      file_(nullptr),
      header_(),
      record_(nullptr),
      recordSize_(0),
      recordCapacity_(0),
      end_(false),
      threads_(threads),
      lastIdle_(std::chrono::steady_clock::now()) {}

BzUpdateHelper::~BzUpdateHelper() {
  // The decoding threads end before the file they read is closed.
  body_.reset();
  if (file_) std::fclose(file_);
  std::free(record_);
}

bool BzUpdateHelper::Open(VersionCode expectedVersion, const std::string& packageName, const std::string& packagePath) {
  expectedVersion_ = expectedVersion;
  packageName_ = packageName;
  file_ = platform::OpenStdFile(packagePath, "rb");
  if (!file_) {
    errorText_ = WithName("打开更新数据文件[%s]失败!\n请确认更新时游戏不在运行。", packageName_);
    return false;
  }
  if (std::fread(header_, sizeof header_, 1, file_) != 1) {
    errorText_ = WithName("读取 %s 文件头信息失败", packageName_);
    return false;
  }
  if (std::memcmp(header_, "ZBNR", 4) != 0) {
    errorText_ = WithName("%s 不是合法的更新文件", packageName_);
    return false;
  }
  if (ReadLe32(header_ + 4) != expectedVersion_) {
    errorText_ = WithName("%s 版本号不正确!", packageName_);
    return false;
  }
  std::unique_ptr<BzBodyStream> body(new BzBodyStream(threads_));
  const int status = body->Open(file_);
  if (status == BZ_OK) {
    body_ = std::move(body);
    return true;
  }
  const char* format;
  switch (status) {
    case BZ_CONFIG_ERROR:
      format = "%s BZ_CONFIG_ERROR!";
      break;
    case BZ_PARAM_ERROR:
      format = "%s BZ_PARAM_ERROR!";
      break;
    case BZ_IO_ERROR:
      format = "%s ferror(f) is nonzero!";
      break;
    case BZ_MEM_ERROR:
      format = "%s 解压内存不足!";
      break;
    default:
      format = "%s BZ_PARAM_ERROR!";
      break;
  }
  errorText_ = WithName(format, packageName_);
  return false;
}

bool BzUpdateHelper::Reserve(std::size_t size) {
  if (size <= recordCapacity_) return true;
  void* grown = std::realloc(record_, size);
  if (!grown) return false;
  record_ = static_cast<unsigned char*>(grown);
  recordCapacity_ = size;
  return true;
}

void BzUpdateHelper::Idle() {
  const auto now = std::chrono::steady_clock::now();
  if (!idle_ || now - lastIdle_ < kIdleEvery) return;
  lastIdle_ = now;
  idle_();
}

// Reads until count bytes came or the body reports anything but BZ_OK.
int BzUpdateHelper::ReadBody(unsigned char* to, std::size_t count, std::size_t* got) {
  *got = 0;
  int status = BZ_OK;
  while (*got < count) {
    std::size_t n = 0;
    status = body_->Read(to + *got, count - *got, &n, kIdleEvery);
    *got += n;
    Idle();
    if (status != BZ_OK) break;
  }
  return status;
}

int BzUpdateHelper::ReadInto(std::size_t at, std::uint32_t count, std::uint32_t* got) {
  *got = 0;
  int status = BZ_OK;
  const std::size_t want = at + count;
  while (*got < count) {
    const std::size_t pos = at + *got;
    std::uint32_t chunk = count - *got;
    std::size_t room = recordCapacity_ > pos ? recordCapacity_ - pos : 0;
    if (room < chunk && room < kGrowStep) {
      // Grow as the data arrives: a record that claims more than the stream holds costs only
      // what the stream really delivered.
      std::size_t next = recordCapacity_ * 2;
      if (next < pos + kGrowStep) next = pos + kGrowStep;
      if (next > want) next = want;
      if (!Reserve(next)) return BZ_MEM_ERROR;
      room = recordCapacity_ - pos;
    }
    if (chunk > room) chunk = static_cast<std::uint32_t>(room);
    if (chunk > kReadChunk) chunk = kReadChunk;
    std::size_t n = 0;
    status = ReadBody(record_ + pos, chunk, &n);
    *got += static_cast<std::uint32_t>(n);
    if (status != BZ_OK) break;
  }
  recordSize_ = at + *got;
  return status;
}

const unsigned char* BzUpdateHelper::Fail(int status, const char* memText, const char* text) {
  errorText_ = status == BZ_MEM_ERROR ? memText : text;
  return nullptr;
}

namespace {
const char kHeadMem[] = "内存不足, 读取UpdateSec头出错";
const char kHead[] = "读取UpdateSec头出错";
const char kLenMem[] = "内存不足, 读取UpdateSec 长度出错";
const char kLen[] = "读取UpdateSec 长度出错";
const char kDataMem[] = "内存不足, 读取UpdateSec Data出错";
const char kData[] = "读取UpdateSec Data出错";
}  // namespace

const unsigned char* BzUpdateHelper::ReadSection() {
  if (!ReadSectionHead()) return nullptr;
  return ReadSectionRest();
}

const unsigned char* BzUpdateHelper::ReadSectionHead() {
  // The previous record goes first: only one is ever held.
  std::free(record_);
  record_ = nullptr;
  recordCapacity_ = 0;
  recordSize_ = 0;
  dataLeft_ = 0;
  if (!body_) return Fail(BZ_OK, "", kHead);
  if (!Reserve(16)) return Fail(BZ_MEM_ERROR, kHeadMem, "");
  std::memset(record_, 0, 16);

  std::size_t n = 0;
  int status = ReadBody(record_, 13, &n);
  if (status == BZ_STREAM_END) {
    end_ = true;
    return nullptr;
  }
  if (status != BZ_OK || n < 13) return Fail(status, kHeadMem, kHead);

  // nameLength counts the NUL; below 1 there is no name at all.
  const std::int32_t nameLength = static_cast<std::int32_t>(ReadLe32(record_ + 8));
  if (nameLength < 1) return Fail(BZ_OK, kHeadMem, kHead);
  const std::uint32_t n32 = static_cast<std::uint32_t>(nameLength);

  std::uint32_t got = 0;
  status = ReadInto(13, n32 + 3, &got);
  if (status != BZ_OK || got != n32 + 3) return Fail(status, kLenMem, kLen);
  if (!std::memchr(record_ + 12, 0, n32)) return Fail(BZ_OK, kLenMem, kLen);

  const std::int32_t dataLength = static_cast<std::int32_t>(ReadLe32(record_ + 12 + n32));
  if (dataLength < 0) return Fail(BZ_OK, kLenMem, kLen);
  dataLeft_ = static_cast<std::uint32_t>(dataLength);
  return record_;
}

const unsigned char* BzUpdateHelper::ReadSectionRest() {
  const std::uint32_t d32 = dataLeft_;
  if (d32 > 0) {
    std::uint32_t got = 0;
    const int status = ReadInto(recordSize_, d32, &got);
    dataLeft_ = 0;
    if (got != d32) return Fail(status, kDataMem, kData);
  }
  return record_;
}

bool BzUpdateHelper::ReadSectionData(unsigned char* to, std::uint32_t count) {
  if (count > dataLeft_) count = dataLeft_;
  std::size_t got = 0;
  const int status = ReadBody(to, count, &got);
  dataLeft_ -= count;
  if (got != count) {
    dataLeft_ = 0;
    Fail(status, kDataMem, kData);
    return false;
  }
  return true;
}
