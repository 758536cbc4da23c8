// One HTTP/1.1 exchange over a fresh connection: connect, send the caller's request, read until the
// answer is complete (its Content-Length, its last chunk, or the server's close), check for "200 OK",
// hand out the body (de-chunked, gzip decoded). The transport is left to a derived class.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/time_value.h"

namespace NetModel {

typedef std::uintptr_t SocketHandle;
const SocketHandle kInvalidSocket = ~static_cast<SocketHandle>(0);

// Answers larger than this fail instead of exhausting memory; decoded bodies are held to it too.
const std::size_t kMaxResponseBytes = 64u * 1024u * 1024u;

// Closes a socket of the platform's socket library.
void CloseSocketHandle(SocketHandle socket);

class SimpleHttp {
 public:
  // receiveLimit {0, 0}: sending and receiving go on with what the connect phase left.
  SimpleHttp(const std::string& host, const std::string& port, TimeValue connectLimit, TimeValue receiveLimit);
  virtual ~SimpleHttp();
  SimpleHttp(const SimpleHttp&) = delete;
  SimpleHttp& operator=(const SimpleHttp&) = delete;

  // Sets the raw request text and runs one exchange.
  void Request(const std::string& text);
  void Execute();
  // Sets ok from the status line; on failure the rest of the status line becomes the error text.
  bool CheckStatus();
  bool IsOk() const { return ok_; }
  // The body, or an empty text when not ok or when it cannot be decoded.
  std::string GetBody();
  // The body into *body; false (with the reason in the error text) when not ok or when the answer has
  // no header end, a broken chunked framing, or a gzip body that does not decode.
  bool DecodeBody(std::string* body);
  std::string GetError() const { return error_; }
  const std::string& GetResponse() const { return response_; }

  // When *stop becomes true, a wait under way gives up within a fraction of a second and the
  // exchange fails ("stopped"). The flag must outlive the exchange.
  void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }

  // A smaller limit than kMaxResponseBytes for the answer and its decoded body, set before Request.
  void SetMaxResponseBytes(std::size_t limit) { maxResponse_ = limit; }
  // What is left of the time budget after the exchange, for a request that must share it.
  TimeValue RemainingBudget() const { return budget_; }

  // True once response holds a whole answer by its own framing: the header block and then
  // Content-Length body bytes, or a chunked body up to its last chunk. An answer framed by neither
  // is complete only when the server closes. Looks only at what arrived since its last call.
  bool AnswerComplete();

 protected:
  virtual void Connect() = 0;
  virtual void Send() = 0;
  virtual void Receive() = 0;
  virtual void Close() = 0;

  std::string host_;
  std::string port_;
  TimeValue budget_;
  TimeValue receiveLimit_;
  std::string request_;
  std::string response_;
  SocketHandle socket_;
  std::string error_;
  bool ok_;
  const std::atomic<bool>* stop_ = nullptr;
  std::size_t maxResponse_ = kMaxResponseBytes;

 private:
  enum class Framing { kUnknown, kLength, kChunked, kUntilClose };
  Framing framing_ = Framing::kUnknown;
  std::size_t headerScan_ = 0;  // where the search for the header end goes on
  std::size_t bodyStart_ = 0;
  std::uint64_t contentLength_ = 0;
  std::size_t nextChunk_ = 0;  // where the next chunk-size line starts
};

// The value of the first header line of that name (case-insensitive) in a header block, without the
// blanks around it; false when there is none.
bool FindHeader(const std::string& headers, const std::string& name, std::string* value);
// A Content-Length value: decimal digits only; false for anything else.
bool ParseContentLength(const std::string& value, std::uint64_t* length);

// Removes chunked transfer coding; false when the framing is broken or ends early.
bool Dechunk(const std::string& in, std::string* out);
// Decodes a gzip body through a temporary file named "gp..." with zlib's gzip file functions; a body
// without a gzip header comes back as it is. False when decoding fails or gives more than limit bytes.
bool GunzipThroughFile(const std::string& in, std::string* out, std::size_t limit = kMaxResponseBytes);

}  // namespace NetModel
