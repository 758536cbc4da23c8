// The process-wide allocation tracker. The library announces its heap blocks when it allocates
// them and again just before it frees them; a block freed with the other form of delete, or one
// never recorded, is reported on standard output. It never fails its caller.
#pragma once
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <unordered_map>

namespace LumCommon {

struct AllocationRecord {
  const char* typeName;
  std::uint32_t count;
  std::uint32_t size;
  const char* tag;
  const char* file;
  std::uint32_t line;
  bool isArray;
};

class LumNewDelete {
 public:
  static LumNewDelete& Instance();

  void* TrackNew(void* block, const char* typeName, std::uint32_t count, std::uint32_t size, const char* tag,
                 const char* file, std::uint32_t line, bool isArray);
  void TrackDelete(void* block, bool isArray, const char* file, std::uint32_t line);

  // Where reports go; standard output unless a test points it elsewhere.
  void SetOutput(std::FILE* out);
  // Number of live records, and the record of a block (for tests and diagnostics).
  std::size_t RecordCount();
  bool FindRecord(const void* block, AllocationRecord* out);

 private:
  LumNewDelete();

  bool tracking_;
  bool reporting_;
  std::FILE* output_;
  std::mutex lock_;
  std::unordered_map<const void*, AllocationRecord> records_;
};

}  // namespace LumCommon

// Allocation helpers in the library's style: the block goes through the tracker at once.
#define LUM_NEW_ARRAY(Type, n, tagText)                                                                             \
  static_cast<Type*>(::LumCommon::LumNewDelete::Instance().TrackNew(                                                \
      new Type[(n)], #Type, static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(sizeof(Type) * (n)), tagText, \
      __FILE__, __LINE__, true))
#define LUM_NEW(Type, tagText)                                       \
  static_cast<Type*>(::LumCommon::LumNewDelete::Instance().TrackNew( \
      new Type, #Type, 1u, static_cast<std::uint32_t>(sizeof(Type)), tagText, __FILE__, __LINE__, false))
#define LUM_DELETE_ARRAY(p)                                                           \
  do {                                                                                \
    ::LumCommon::LumNewDelete::Instance().TrackDelete((p), true, __FILE__, __LINE__); \
    delete[](p);                                                                      \
  } while (0)
#define LUM_DELETE(p)                                                                  \
  do {                                                                                 \
    ::LumCommon::LumNewDelete::Instance().TrackDelete((p), false, __FILE__, __LINE__); \
    delete (p);                                                                        \
  } while (0)
