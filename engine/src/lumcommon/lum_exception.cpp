#include "engine/src/lumcommon/lum_exception.h"

#include <cstdio>

namespace LumCommon {

CLumException::CLumException(const std::string& message, const std::string& file, const std::string& date,
                             const std::string& time, const std::string& function)
    : message_(message), file_(file), date_(date), time_(time), function_(function) {
  std::fwrite(message_.data(), 1, message_.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

CLumException::~CLumException() = default;

const char* CLumException::what() const noexcept { return message_.c_str(); }

}  // namespace LumCommon
