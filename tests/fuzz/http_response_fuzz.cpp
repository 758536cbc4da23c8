// The HTTP client's handling of an answer (status check, header end, de-chunking, gzip through a
// temporary file) on arbitrary bytes, with a transport that hands them over as received.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/simple_http.h"

namespace {

class CannedHttp : public NetModel::SimpleHttp {
 public:
  explicit CannedHttp(const std::string& answer)
      : SimpleHttp("127.0.0.1", "80", NetModel::TimeValue{1, 0}, NetModel::TimeValue{1, 0}), answer_(answer) {}

 protected:
  void Connect() override { socket_ = 0; }
  void Send() override {}
  void Receive() override {
    // Byte by byte through the framing check, as a transport that stops at a whole answer would.
    for (char c : answer_) {
      response_ += c;
      if (AnswerComplete()) break;
    }
  }
  void Close() override { socket_ = NetModel::kInvalidSocket; }

 private:
  std::string answer_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string answer(reinterpret_cast<const char*>(data), size);
  CannedHttp http(answer);
  http.Request("GET / HTTP/1.1\r\n\r\n");
  std::string body;
  const bool decoded = http.DecodeBody(&body);
  if (!http.IsOk() && (decoded || !body.empty())) std::abort();
  if (http.GetBody() != (decoded ? body : std::string())) std::abort();
  if (body.size() > NetModel::kMaxResponseBytes) std::abort();
  std::string plain;
  NetModel::Dechunk(answer, &plain);
  return 0;
}
