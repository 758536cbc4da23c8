#include "engine/src/lumcommon/lum_new_delete.h"

#include <cinttypes>
#include <new>

namespace LumCommon {
namespace {

const char* FormLabel(bool isArray) { return isArray ? "[]" : "  "; }

// The same address text on every build: 0x and sixteen upper-case hex digits.
void PrintAddress(char* buf, std::size_t n, const void* p) {
  std::snprintf(buf, n, "0x%016" PRIXPTR, reinterpret_cast<std::uintptr_t>(p));
}

}  // namespace

LumNewDelete& LumNewDelete::Instance() {
  // Never destroyed: blocks may be reported until the very end of the process.
  static LumNewDelete* instance = new LumNewDelete();
  return *instance;
}

LumNewDelete::LumNewDelete() : tracking_(true), reporting_(true), output_(stdout) {}

void LumNewDelete::SetOutput(std::FILE* out) {
  std::lock_guard<std::mutex> guard(lock_);
  output_ = out;
}

void* LumNewDelete::TrackNew(void* block, const char* typeName, std::uint32_t count, std::uint32_t size,
                             const char* tag, const char* file, std::uint32_t line, bool isArray) {
  if (!tracking_) return block;
  std::lock_guard<std::mutex> guard(lock_);
  records_[block] = AllocationRecord{typeName, count, size, tag, file, line, isArray};
  return block;
}

void LumNewDelete::TrackDelete(void* block, bool isArray, const char* file, std::uint32_t line) {
  if (!tracking_) return;
  std::lock_guard<std::mutex> guard(lock_);
  char addr[40];
  PrintAddress(addr, sizeof addr, block);
  auto it = records_.find(block);
  if (it != records_.end()) {
    if (reporting_ && it->second.isArray != isArray) {
      std::fprintf(output_, "[LumNewDelete] 用 delete%s 释放 new%s 申请的内存: %s  %s (Ln:%u)\n", FormLabel(isArray),
                   FormLabel(it->second.isArray), addr, file, line);
      std::fprintf(output_, "               申请内存的文件 : %s (Ln:%u)\n", it->second.file, it->second.line);
      std::fflush(output_);
    }
    records_.erase(it);
  } else if (reporting_) {
    std::fprintf(output_, "[LumNewDelete] delete%s 无记录的地址: %s  %s (Ln:%u)\n", FormLabel(isArray), addr, file,
                 line);
    std::fflush(output_);
  }
}

std::size_t LumNewDelete::RecordCount() {
  std::lock_guard<std::mutex> guard(lock_);
  return records_.size();
}

bool LumNewDelete::FindRecord(const void* block, AllocationRecord* out) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = records_.find(block);
  if (it == records_.end()) return false;
  if (out) *out = it->second;
  return true;
}

}  // namespace LumCommon
