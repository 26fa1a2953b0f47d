#include "http/transport/IdConnectThread.h"

#include <chrono>

TIdConnectThread::TIdConnectThread(TIdSocketHandle& binding) : binding_(binding) {}

TIdConnectThread::~TIdConnectThread() { WaitFor(); }

void TIdConnectThread::Start() { thread_ = std::thread([this] { Execute(); }); }

void TIdConnectThread::Execute() {
  std::string failureText;
  int32_t failureCode = 0;
  try {
    binding_.ConnectToPeer();
  } catch (const EIdSocketError& e) {
    // 10009 and 10038 mean the socket was released under the connect: abandoned, not failed.
    if (e.SocketErrorCode != Id_WSAEBADF && e.SocketErrorCode != Id_WSAENOTSOCK) {
      failureText = e.Message();
      failureCode = e.SocketErrorCode;
    }
  } catch (const Exception& e) {
    failureText = e.Message();
  } catch (const std::exception& e) {
    failureText = e.what();
  } catch (...) {
    failureText = "Connect failed.";
  }
  std::lock_guard<std::mutex> guard(lock_);
  FailureText = std::move(failureText);
  FailureCode = failureCode;
  terminated_ = true;
  ended_.notify_all();
}

void TIdConnectThread::Terminate() {
  std::lock_guard<std::mutex> guard(lock_);
  terminateRequested_ = true;
}

bool TIdConnectThread::TerminateRequested() const {
  std::lock_guard<std::mutex> guard(lock_);
  return terminateRequested_;
}

bool TIdConnectThread::Terminated() const {
  std::lock_guard<std::mutex> guard(lock_);
  return terminated_;
}

bool TIdConnectThread::WaitTerminated(int32_t ms) {
  std::unique_lock<std::mutex> guard(lock_);
  return ended_.wait_for(guard, std::chrono::milliseconds(ms > 0 ? ms : 0), [this] { return terminated_; });
}

void TIdConnectThread::WaitFor() {
  if (thread_.joinable()) thread_.join();
}
