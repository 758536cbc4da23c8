#include "package/addf_writer.h"

#include <vector>

#include "package/obsolete_files.h"
#include "package/program_files.h"
#include "platform/durable.h"
#include "platform/file_system.h"
#include "platform/os_error.h"
#include "platform/temp_file.h"
#include "platform/running_program.h"

namespace {

// The folder part of a GBK path with its last separator; a trail byte of 0x5C is no separator.
std::string FolderOf(const std::string& path) {
  std::string::size_type end = 0;
  for (std::string::size_type i = 0; i < path.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (c >= 0x81 && c <= 0xFE && i + 1 < path.size()) {
      ++i;
    } else if (c == '/' || c == '\\') {
      end = i + 1;
    }
  }
  return path.substr(0, end);
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::string::size_type i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

const unsigned kCreateFlags =
    platform::CFile::modeCreate | platform::CFile::modeWrite | platform::CFile::shareDenyWrite;
const unsigned kTempFlags = platform::CFile::modeCreate | platform::CFile::modeWrite | platform::CFile::shareDenyNone;

}  // namespace

AddfWriter::~AddfWriter() { Abort(); }

bool AddfWriter::Open(const std::string& target) {
  Abort();
  target_ = target;
  length_ = 0;
  closed_ = false;
  spooled_ = false;
  patcher_ = IsPatcherFile(target);
  const std::string folder = FolderOf(target);
  // The program before this one wrote its copy beside the target under the target's own name.
  platform::DeleteFile(target + kOldCopySuffix);
  temp_ = folder + kAddfTempName;
  if (!SameNameIgnoringCase(target.substr(folder.size()), kAddfTempName)) {
    // Nothing else opens the temporary file, so it takes no lock; its attributes matter only
    // when a copy left behind cannot be opened.
    platform::CFileException error;
    if (file_.Open(temp_, kTempFlags, &error) ||
        (platform::SetFileAttributesNormal(temp_) && file_.Open(temp_, kTempFlags, &error))) {
      inPlace_ = false;
      return true;
    }
    // A full disk is no reason to give up the safe way: the caller asks the player instead.
    if (error.m_lOsError == platform::kErrorDiskFull || error.m_lOsError == platform::kErrorHandleDiskFull) {
      temp_.clear();
      return false;
    }
  }
  temp_.clear();
  // The program's files are never written in place: a kill there would leave no program to start.
  if (patcher_) return false;
  if (spoolInPlace_) return OpenSpool();
  inPlace_ = true;
  return file_.Open(target_, kCreateFlags);
}

bool AddfWriter::OpenSpool() {
  inPlace_ = false;
  temp_ = platform::CreateTempFile("nolk");
  if (temp_.empty()) return false;
  if (!file_.Open(temp_, kTempFlags)) {
    Abort();
    return false;
  }
  spooled_ = true;
  return true;
}

void AddfWriter::Fail(const platform::CFileException& e) {
  platform::CFileException named(e.m_cause, e.m_lOsError, target_);
  Abort();
  throw named;
}

void AddfWriter::Write(const void* data, std::uint32_t count) {
  try {
    file_.Write(data, count);
  } catch (const platform::CFileException& e) {
    Fail(e);
  }
  length_ += count;
}

bool AddfWriter::WriteInPlaceFromTemp() {
  platform::CFile out;
  if (!out.Open(target_, kCreateFlags)) return false;
  try {
    platform::CFile in;
    if (!in.Open(temp_, platform::CFile::modeRead | platform::CFile::shareDenyWrite))
      throw platform::CFileException(platform::CFileException::OsErrorToException(platform::LastOsError()),
                                     platform::LastOsError(), target_);
    std::vector<unsigned char> buffer(1 << 20);
    for (;;) {
      std::uint32_t got = in.Read(buffer.data(), static_cast<std::uint32_t>(buffer.size()));
      if (got == 0) break;
      out.Write(buffer.data(), got);
    }
    in.Close();
    out.SetLength(length_);
    if (durable_) out.Flush();
    out.Close();
  } catch (const platform::CFileException& e) {
    out.Abort();
    Fail(e);
  }
  platform::DeleteFile(temp_);
  temp_.clear();
  platform::NoteWritten(target_);
  return true;
}

bool AddfWriter::Commit() {
  if (!closed_) {
    try {
      file_.SetLength(length_);
      // No flush per file: the rename keeps a dying process or a full disk from tearing the
      // target, and the apply phase's one barrier per package keeps a power cut from it.
      if (durable_ || patcher_) file_.Flush();
      file_.Close();
    } catch (const platform::CFileException& e) {
      Fail(e);
    }
    closed_ = true;
    if (inPlace_) {
      platform::NoteWritten(target_);
      return true;
    }
  }
  if (inPlace_) return true;
  if (spooled_) return WriteInPlaceFromTemp();
  if (patcher_) return ReplaceRunningTarget();
  // The target must be free for writing, as when it is opened in place.
  // Its attributes were cleared before the record was begun.
  if (platform::GetPathKind(target_) != platform::PathKind::kNone) {
    platform::CFile check;
    if (!check.Open(target_, platform::CFile::modeWrite | platform::CFile::shareDenyWrite)) return false;
    check.Abort();
  }
  if (platform::ReplaceFileWith(temp_, target_)) {
    temp_.clear();
    platform::NoteWritten(target_);
    try {
      if (durable_) platform::FlushFolder(FolderOf(target_));
    } catch (const platform::CFileException& e) {
      Fail(e);
    }
    return true;
  }
  // Writable but not replaceable: a game holds it, sharing writes but not deletion.
  return WriteInPlaceFromTemp();
}

bool AddfWriter::ReplaceRunningTarget() {
  // A folder under either scratch name would make every self-update fail; nothing of the
  // program's own lies in one.
  for (const char* suffix : {kSetAsideSuffix, kPendingSuffix})
    if (platform::GetPathKind(target_ + suffix) == platform::PathKind::kDirectory) DeletePathTree(target_ + suffix);
  if (!platform::ReplaceRunningFile(temp_, target_, target_ + kSetAsideSuffix, target_ + kPendingSuffix)) return false;
  temp_.clear();
  // Windows: the running file is as it was, its new content waits under the pending name.
  platform::NoteWritten(platform::NewestProgramContent(target_, target_ + kPendingSuffix));
  return true;
}

void AddfWriter::Abort() {
  file_.Abort();
  if (!temp_.empty()) platform::DeleteFile(temp_);
  temp_.clear();
}
