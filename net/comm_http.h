// The HTTP client's transport: a non-blocking TCP socket with a time budget (WinSock, or BSD sockets
// with the same error codes and texts).
#pragma once
#include "net/simple_http.h"

namespace NetModel {

class CommHttp : public SimpleHttp {
 public:
  using SimpleHttp::SimpleHttp;
  ~CommHttp() override = default;

  // The millisecond tick counter the budget is measured with (GetTickCount unless replaced).
  using TickSource = std::uint32_t (*)();

 protected:
  void Connect() override;
  void Send() override;
  void Receive() override;
  void Close() override;

 protected:
  // Appends the text of the last socket error (or text) and closes the socket.
  void Fail(const std::string& text);
  // Takes the measured wait off the budget; false ("Time Out!!!" appended, socket closed) when the
  // wait used the whole budget.
  bool Spend(const TimeValue& t0, const TimeValue& t1);
  // Waits until the socket can be written (or read) within the budget, noting the wait's start and
  // end; false (the request failed, the socket closed) when the wait failed or ran out.
  bool WaitReady(bool forWrite, TimeValue* t0, TimeValue* t1);
  // The tick counter as a TimeValue, from ticks_.
  void Now(TimeValue* out) const;

  TickSource ticks_ = nullptr;
};

}  // namespace NetModel
