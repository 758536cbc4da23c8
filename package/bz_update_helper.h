// Reads an update package: a 12-byte header ("ZBNR", the version it leads to, a reserved word)
// and a bzip2 body of UpdateSec records, handed out one at a time, each whole in memory.
// It writes and shows nothing; the text of the last failure is kept for the caller.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "package/bz_body_stream.h"

#include "update/version.h"

class BzUpdateHelper {
 public:
  // threads: decoding threads for the body (BzBodyStream::DefaultThreads() unless given).
  BzUpdateHelper();
  explicit BzUpdateHelper(int threads);
  virtual ~BzUpdateHelper();
  BzUpdateHelper(const BzUpdateHelper&) = delete;
  BzUpdateHelper& operator=(const BzUpdateHelper&) = delete;

  // packageName serves only the failure texts.
  bool Open(VersionCode expectedVersion, const std::string& packageName, const std::string& packagePath);
  // The next record (16 + N + D bytes), valid until the next call; null at the end or on failure.
  const unsigned char* ReadSection();
  // The same in two steps, so that a large record's data need not be held: the head (16 + N bytes:
  // kind, fileLength, nameLength, name, dataLength), valid until the next call, null at the end or
  // on failure; then either the whole record (ReadSectionRest) or its data piece by piece
  // (ReadSectionData, false on failure, which fails as the whole read would).
  const unsigned char* ReadSectionHead();
  const unsigned char* ReadSectionRest();
  bool ReadSectionData(unsigned char* to, std::uint32_t count);
  std::uint32_t DataLeft() const { return dataLeft_; }
  bool IsEnd() const { return end_; }
  const std::string& GetErrorText() const { return errorText_; }
  // Called every kIdleEvery or so while a long read waits or decodes, on the reader's thread.
  void SetIdle(std::function<void()> idle) { idle_ = std::move(idle); }
  static constexpr std::chrono::milliseconds kIdleEvery{50};

 private:
  // Reads count bytes to offset at of the record, growing it only as data arrives.
  int ReadInto(std::size_t at, std::uint32_t count, std::uint32_t* got);
  bool Reserve(std::size_t size);
  const unsigned char* Fail(int status, const char* memText, const char* text);
  int ReadBody(unsigned char* to, std::size_t count, std::size_t* got);
  void Idle();

  VersionCode expectedVersion_;
  std::FILE* file_;
  std::unique_ptr<BzBodyStream> body_;
  unsigned char header_[12];
  std::string packageName_;
  std::string errorText_;
  unsigned char* record_;
  std::size_t recordSize_;
  std::size_t recordCapacity_;
  bool end_;
  std::uint32_t dataLeft_ = 0;
  int threads_;
  std::function<void()> idle_;
  std::chrono::steady_clock::time_point lastIdle_;
};
