// Writes the whole new content of an ADDF target, in pieces of any size. The content goes into a
// short-named temporary file in the target's folder, which Commit moves over the target in one step,
// so a killed run or a full disk never leaves a torn target, and the target keeps its permission
// bits. The target is written in place, as a plain create-and-write would, when no temporary file
// can be made there (a path at the system's length limit) or when the target may be written but not
// replaced (a game that holds it open sharing writes but not deletion). The program's own files are
// never written in place: their new content is flushed beside them and then takes their place as
// platform::ReplaceRunningFile puts it.
#pragma once
#include <cstdint>
#include <string>

#include "platform/file.h"
#include "update/name_rules.h"

class AddfWriter {
 public:
  AddfWriter() = default;
  ~AddfWriter();  // Abort()
  AddfWriter(const AddfWriter&) = delete;
  AddfWriter& operator=(const AddfWriter&) = delete;

  // Opens for writing target's new content; its folder must exist. False when neither the
  // temporary file nor the target itself could be opened; nothing is changed then.
  bool Open(const std::string& target);
  bool InPlace() const { return inPlace_; }
  // Before Open, for content that arrives in pieces and may still fail: where the target would be
  // written in place, the content goes to a file in the system's temporary folder, and only Commit
  // writes the target, in place, from there.
  void SpoolInPlace() { spoolInPlace_ = true; }
  // Commit then flushes the content before it takes the target's place, and the folder entry
  // after: for the one file whose change must reach the disk in a known order.
  void SetDurable() { durable_ = true; }

  // Raises platform::CFileException naming the target, after Abort().
  void Write(const void* data, std::uint32_t count);

  // Sets the length and puts the content in the target's place. False when the target is held
  // and can be neither replaced nor written: the content is kept, and Commit may be called again.
  // A failure to write raises platform::CFileException naming the target, after Abort().
  bool Commit();

  // Drops the temporary file; the target stays as it was (written in place: as far as it got).
  void Abort();

 private:
  [[noreturn]] void Fail(const platform::CFileException& e);
  bool WriteInPlaceFromTemp();
  bool OpenSpool();
  // One of the program's own files: the new content put in its place.
  bool ReplaceRunningTarget();

  std::string target_, temp_;
  platform::CFile file_;
  std::uint64_t length_ = 0;
  bool inPlace_ = false;
  bool closed_ = false;  // the temporary file is complete and closed
  bool spoolInPlace_ = false;
  bool spooled_ = false;  // temp_ is a spool elsewhere, copied in place by Commit
  bool durable_ = false;
  bool patcher_ = false;  // the target is one of the program's own files
};
