#include "net/simple_http.h"

#include <zlib.h>

#include <cstdio>

#include "platform/codepage.h"
#include "platform/stdio_file.h"
#include "platform/temp_file.h"

namespace NetModel {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::string LowerText(const std::string& s) {
  std::string r = s;
  for (char& c : r) c = Lower(c);
  return r;
}

// True when a header line "Transfer-Encoding: ...chunked..." is in the header block.
bool IsChunked(const std::string& headers) {
  std::size_t pos = 0;
  while (pos < headers.size()) {
    std::size_t end = headers.find('\n', pos);
    if (end == std::string::npos) end = headers.size();
    std::string line = LowerText(headers.substr(pos, end - pos));
    pos = end + 1;
    const std::string name = "transfer-encoding:";
    if (line.compare(0, name.size(), name) == 0 && line.find("chunked", name.size()) != std::string::npos) return true;
  }
  return false;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The size on a chunk-size line in[pos, eol); false when the line is no chunk-size line.
bool ParseChunkSize(const std::string& in, std::size_t pos, std::size_t eol, std::uint64_t* size) {
  *size = 0;
  std::size_t i = pos;
  int digits = 0;
  for (; i < eol; ++i) {
    int d = HexDigit(in[i]);
    if (d < 0) break;
    if (++digits > 15) return false;
    *size = *size * 16 + static_cast<unsigned>(d);
  }
  if (digits == 0) return false;
  // After the digits only blanks, a chunk extension or the carriage return may follow.
  return i == eol || in[i] == ';' || in[i] == '\r' || in[i] == ' ' || in[i] == '\t';
}

// Where the next chunk-size line starts after size data bytes from pos: 0 while its line end has not
// arrived yet, npos when the framing is broken.
std::size_t AfterChunkData(const std::string& in, std::size_t pos, std::uint64_t size) {
  if (size > in.size() - pos) return 0;
  std::size_t end = pos + static_cast<std::size_t>(size);
  if (end >= in.size()) return 0;
  if (in[end] == '\n') return end + 1;
  if (in[end] != '\r') return std::string::npos;
  if (end + 1 >= in.size()) return 0;
  return in[end + 1] == '\n' ? end + 2 : std::string::npos;
}

std::string Decimal(std::uint64_t v) { return std::to_string(static_cast<unsigned long long>(v)); }

}  // namespace

bool FindHeader(const std::string& headers, const std::string& name, std::string* value) {
  const std::string wanted = LowerText(name) + ":";
  std::size_t pos = 0;
  while (pos < headers.size()) {
    std::size_t end = headers.find('\n', pos);
    if (end == std::string::npos) end = headers.size();
    const std::string line = headers.substr(pos, end - pos);
    pos = end + 1;
    if (LowerText(line.substr(0, wanted.size())) != wanted) continue;
    std::size_t b = wanted.size(), e = line.size();
    while (b < e && (line[b] == ' ' || line[b] == '\t')) ++b;
    while (e > b && (line[e - 1] == ' ' || line[e - 1] == '\t' || line[e - 1] == '\r')) --e;
    *value = line.substr(b, e - b);
    return true;
  }
  return false;
}

bool ParseContentLength(const std::string& value, std::uint64_t* length) {
  if (value.empty() || value.size() > 18) return false;
  std::uint64_t n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  *length = n;
  return true;
}

SimpleHttp::SimpleHttp(const std::string& host, const std::string& port, TimeValue connectLimit, TimeValue receiveLimit)
    : host_(host),
      port_(port),
      budget_(connectLimit),
      receiveLimit_(receiveLimit),
      socket_(kInvalidSocket),
      ok_(false) {}

SimpleHttp::~SimpleHttp() {
  if (socket_ != kInvalidSocket) CloseSocketHandle(socket_);
}

void SimpleHttp::Request(const std::string& text) {
  request_ = text;
  Execute();
}

void SimpleHttp::Execute() {
  Connect();
  if (socket_ == kInvalidSocket) return;
  if (receiveLimit_.seconds != 0 || receiveLimit_.microseconds != 0) budget_ = receiveLimit_;
  Send();
  if (socket_ == kInvalidSocket) return;
  Receive();
  if (socket_ == kInvalidSocket) return;
  Close();
  CheckStatus();
}

bool SimpleHttp::AnswerComplete() {
  if (framing_ == Framing::kUntilClose) return false;
  if (framing_ == Framing::kUnknown) {
    // Only what arrived since the last look is searched (less the three bytes a split mark may need).
    const std::size_t end = response_.find("\r\n\r\n", headerScan_);
    if (end == std::string::npos) {
      headerScan_ = response_.size() > 3 ? response_.size() - 3 : 0;
      return false;
    }
    const std::string headers = response_.substr(0, end);
    bodyStart_ = end + 4;
    std::string value;
    if (IsChunked(headers)) {
      framing_ = Framing::kChunked;
      nextChunk_ = bodyStart_;
    } else if (FindHeader(headers, "Content-Length", &value) && ParseContentLength(value, &contentLength_)) {
      framing_ = Framing::kLength;
    } else {
      framing_ = Framing::kUntilClose;
      return false;
    }
  }
  if (framing_ == Framing::kLength) return response_.size() - bodyStart_ >= contentLength_;
  for (;;) {
    const std::size_t eol = response_.find('\n', nextChunk_);
    if (eol == std::string::npos) {
      // No chunk-size line is that long: broken framing.
      if (response_.size() - nextChunk_ > 4096) framing_ = Framing::kUntilClose;
      return false;
    }
    std::uint64_t size = 0;
    if (!ParseChunkSize(response_, nextChunk_, eol, &size)) {
      // Broken framing: read on until the server closes; decoding then says what is wrong.
      framing_ = Framing::kUntilClose;
      return false;
    }
    if (size == 0) return true;  // the last chunk; trailers carry nothing we use
    const std::size_t next = AfterChunkData(response_, eol + 1, size);
    if (next == 0) return false;
    if (next == std::string::npos) {
      framing_ = Framing::kUntilClose;
      return false;
    }
    nextChunk_ = next;
  }
}

bool SimpleHttp::CheckStatus() {
  const std::size_t nl = response_.find('\n');
  const std::string mark = "200 OK";
  std::size_t found = response_.rfind(mark, nl);  // npos searches from the end
  if (found != std::string::npos) {
    ok_ = true;
    return true;
  }
  const std::size_t sp = response_.find(' ');
  if (sp != std::string::npos && nl != std::string::npos && sp + 1 < nl) error_ = response_.substr(sp, nl - 1 - sp);
  ok_ = false;
  return false;
}

std::string SimpleHttp::GetBody() {
  std::string body;
  if (!DecodeBody(&body)) return std::string();
  return body;
}

bool SimpleHttp::DecodeBody(std::string* out) {
  out->clear();
  if (!ok_) return false;
  const std::size_t end = response_.find("\r\n\r\n");
  if (end == std::string::npos) {
    error_ = "no end of headers in the answer";
    return false;
  }
  const std::string headers = response_.substr(0, end);
  std::string body = response_.substr(end + 4);
  if (IsChunked(headers)) {
    std::string plain;
    if (!Dechunk(body, &plain)) {
      error_ = "broken chunked body";
      return false;
    }
    body.swap(plain);
  } else {
    // An answer shorter than its Content-Length was cut off on the way: a cut list is no list.
    std::string value;
    std::uint64_t length = 0;
    if (FindHeader(headers, "Content-Length", &value) && ParseContentLength(value, &length)) {
      if (body.size() < length) {
        error_ = "answer cut short: " + Decimal(body.size()) + " of " + Decimal(length) + " bytes arrived";
        return false;
      }
      body.resize(static_cast<std::size_t>(length));
    }
  }
  if (headers.find("Content-Encoding: gzip") == std::string::npos) {
    out->swap(body);
    return true;
  }
  if (!GunzipThroughFile(body, out, maxResponse_)) {
    out->clear();
    error_ = "gzip body could not be decoded";
    return false;
  }
  return true;
}

bool Dechunk(const std::string& in, std::string* out) {
  out->clear();
  std::size_t pos = 0;
  for (;;) {
    std::size_t eol = in.find('\n', pos);
    if (eol == std::string::npos) return false;
    std::uint64_t size = 0;
    if (!ParseChunkSize(in, pos, eol, &size)) return false;
    pos = eol + 1;
    if (size == 0) return true;  // trailers, if any, carry nothing we use
    if (size > in.size() - pos || out->size() + size > kMaxResponseBytes) return false;
    std::size_t next = AfterChunkData(in, pos, size);
    if (next == 0 || next == std::string::npos) return false;
    out->append(in, pos, static_cast<std::size_t>(size));
    pos = next;
  }
}

bool GunzipThroughFile(const std::string& in, std::string* out, std::size_t limit) {
  out->clear();
  const std::string name = platform::CreateTempFile("gp");
  if (name.empty()) return false;
  std::FILE* f = platform::OpenStdFile(name, "wb");
  if (!f) {
    platform::RemoveTempFile(name);
    return false;
  }
  const bool written = in.empty() || std::fwrite(in.data(), 1, in.size(), f) == in.size();
  if (std::fclose(f) != 0 || !written) {
    platform::RemoveTempFile(name);
    return false;
  }
  gzFile gz = gzopen(platform::HostPath(name).c_str(), "rb");
  if (!gz) {
    platform::RemoveTempFile(name);
    return false;
  }
  char buf[4096];
  int n;
  bool tooLarge = false;
  while ((n = gzread(gz, buf, sizeof buf)) > 0) {
    if (out->size() + static_cast<std::size_t>(n) > limit) {
      tooLarge = true;
      break;
    }
    out->append(buf, static_cast<std::size_t>(n));
  }
  // zlib reads a cut-off stream as a short one and only notes it; a cut list is no list.
  int zerr = Z_OK;
  gzerror(gz, &zerr);
  gzclose(gz);
  platform::RemoveTempFile(name);
  if (n < 0 || tooLarge || zerr != Z_OK) {
    out->clear();
    return false;
  }
  return true;
}

}  // namespace NetModel
