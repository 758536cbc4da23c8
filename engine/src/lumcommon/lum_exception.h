// The common library's one exception type: a message and where it was raised.
// Constructing one writes the message to standard output, so it is seen even if nobody catches it.
#pragma once
#include <exception>
#include <string>

namespace LumCommon {

class CLumException : public std::exception {
 public:
  CLumException(const std::string& message, const std::string& file, const std::string& date, const std::string& time,
                const std::string& function);
  ~CLumException() override;
  const char* what() const noexcept override;

  const std::string& File() const { return file_; }
  const std::string& Date() const { return date_; }
  const std::string& Time() const { return time_; }
  const std::string& Function() const { return function_; }

 private:
  std::string message_;
  std::string file_;
  std::string date_;
  std::string time_;
  std::string function_;
};

}  // namespace LumCommon

using LumCommon::CLumException;
