#include "package/patched_copy.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "package/update_sec.h"

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

}  // namespace

bool WritePatchedCopy(const std::string& source, const unsigned char* runs, std::uint32_t length,
                      std::uint64_t fileLength, AddfWriter* out) {
  if (!CheckPatchRuns(runs, length)) return false;
  platform::CFile in;
  // Others keep every right they have: the running program holds its own file.
  if (!in.Open(source, platform::CFile::modeRead | platform::CFile::shareDenyNone)) return false;
  PatchedOutput copy(&in, fileLength, out);
  for (std::uint64_t i = 0; i < length;) {
    const std::uint32_t skip = ReadLe32(runs + i), count = ReadLe32(runs + i + 4);
    i += 8;
    copy.Keep(skip);
    copy.Put(runs + i, count);
    i += count;
  }
  if (copy.Position() < fileLength) copy.Keep(fileLength - copy.Position());
  in.Close();
  return true;
}
