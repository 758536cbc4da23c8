#include "package/patched_copy.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "package/update_sec.h"
#include "platform/os_error.h"

namespace {

class PatchedOutput {
 public:
  PatchedOutput(platform::CFile* in, std::uint64_t fileLength, AddfWriter* out)
      : in_(in), fileLength_(fileLength), out_(out), buffer_(1u << 20) {}

  // Bytes the record writes at the current position; what lies past the record's length is dropped.
  void Put(const unsigned char* data, std::uint64_t count) {
    const std::uint64_t keep = pos_ < fileLength_ ? std::min(count, fileLength_ - pos_) : 0;
    for (std::uint64_t done = 0; done < keep;) {
      const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(keep - done, 1u << 30));
      out_->Write(data + done, n);
      done += n;
    }
    pos_ += count;
    if (count) in_->Seek(static_cast<std::int64_t>(count), platform::CFile::current);
  }

  // The old bytes from the current position on.
  void Keep(std::uint64_t count) {
    if (pos_ >= fileLength_) {
      pos_ += count;
      return;
    }
    count = std::min(count, fileLength_ - pos_);
    while (count > 0) {
      const std::uint32_t want = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, buffer_.size()));
      std::uint32_t got = in_->Read(buffer_.data(), want);
      std::memset(buffer_.data() + got, 0, want - got);
      out_->Write(buffer_.data(), want);
      if (got < want) in_->Seek(static_cast<std::int64_t>(want - got), platform::CFile::current);
      pos_ += want;
      count -= want;
    }
  }

  std::uint64_t Position() const { return pos_; }

 private:
  platform::CFile* in_;
  std::uint64_t fileLength_;
  AddfWriter* out_;
  std::vector<unsigned char> buffer_;
  std::uint64_t pos_ = 0;
};

// The runs handed out in order: next(n) gives the next n bytes (n at most kPiece).
const std::uint32_t kPiece = 1u << 20;
using NextBytes = std::function<const unsigned char*(std::uint32_t)>;

bool CopyWithRuns(const std::string& source, std::uint64_t length, std::uint64_t fileLength, const NextBytes& next,
                  AddfWriter* out) {
  platform::CFile in;
  // Others keep every right they have: the running program holds its own file.
  if (!in.Open(source, platform::CFile::modeRead | platform::CFile::shareDenyNone)) return false;
  PatchedOutput copy(&in, fileLength, out);
  for (std::uint64_t i = 0; i < length;) {
    const unsigned char* head = next(8);
    const std::uint32_t skip = ReadLe32(head), count = ReadLe32(head + 4);
    i += 8;
    copy.Keep(skip);
    for (std::uint32_t left = count; left > 0;) {
      const std::uint32_t n = std::min(left, kPiece);
      copy.Put(next(n), n);
      left -= n;
    }
    i += count;
  }
  if (copy.Position() < fileLength) copy.Keep(fileLength - copy.Position());
  in.Close();
  return true;
}

}  // namespace

bool WritePatchedCopy(const std::string& source, const unsigned char* runs, std::uint32_t length,
                      std::uint64_t fileLength, AddfWriter* out) {
  if (!CheckPatchRuns(runs, length)) return false;
  std::uint64_t at = 0;
  return CopyWithRuns(
      source, length, fileLength,
      [&](std::uint32_t n) {
        const unsigned char* p = runs + at;
        at += n;
        return p;
      },
      out);
}

bool WritePatchedCopyFromFile(const std::string& source, const std::string& runsPath, std::uint64_t length,
                              std::uint64_t fileLength, AddfWriter* out) {
  platform::CFile runs;
  platform::CFileException error;
  if (!runs.Open(runsPath, platform::CFile::modeRead | platform::CFile::shareDenyWrite, &error))
    throw platform::CFileException(error.m_cause, error.m_lOsError, runsPath);
  std::vector<unsigned char> piece(kPiece);
  return CopyWithRuns(
      source, length, fileLength,
      [&](std::uint32_t n) {
        if (runs.Read(piece.data(), n) != n)
          throw platform::CFileException(platform::CFileException::endOfFile, platform::kErrorHandleEof, runsPath);
        return piece.data();
      },
      out);
}
