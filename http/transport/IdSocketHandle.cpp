#include "http/transport/IdSocketHandle.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include "http/transport/IdStackRegistry.h"
#include "runtime/SysUtils.h"

using namespace IdStackStrings;

namespace {

class EventFd {
 public:
  EventFd() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~EventFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  EventFd(const EventFd&) = delete;
  EventFd& operator=(const EventFd&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

TIdSocketHandle::TIdSocketHandle() = default;

TIdSocketHandle::~TIdSocketHandle() { ReleaseHandle(); }

void TIdSocketHandle::SetIPVersion(TIdIPVersion version) {
  if (version == ipVersion_) return;
  if (allocated_) throw EIdCannotSetIPVersionWhenConnected(RSCannotSetIPVersionWhenConnected);
  ipVersion_ = version;
}

void TIdSocketHandle::AllocateHandle(int32_t type, int32_t protocol) {
  ReleaseHandle();
  TIdStackSocketHandle socket = GStack()->CreateSocket(type, protocol, Overlapped, ipVersion_);
  std::lock_guard<std::mutex> guard(StateLock);
  osSocket_ = socket;
  allocated_ = true;
  waitSet_ = std::make_unique<TIdSocketList>();
  waitSet_->Add(socket);
}

void TIdSocketHandle::ReleaseHandle() {
  std::unique_lock<std::mutex> guard(StateLock);
  if (!allocated_) return;
  if (connecting_) {
    // Closing alone would not wake the connect, and the descriptor number could be
    // reused under it; wake it and let it finish with the socket first.
    uint64_t one = 1;
    if (::write(cancelFd_, &one, sizeof one) < 0) {
      // The counter cannot overflow with one write per release; nothing else can fail here.
    }
    connectEnded_.wait(guard, [this] { return !connecting_; });
  }
  allocated_ = false;
  GStack()->CloseSocketHandle(osSocket_);
  osSocket_ = Id_INVALID_SOCKET;
  waitSet_.reset();
}

void TIdSocketHandle::Reset(bool resetLocal) {
  if (resetLocal) {
    IP.clear();
    Port = 0;
  }
  RemoteIP.clear();
  RemotePort = 0;
}

bool TIdSocketHandle::TryBind() {
  try {
    GStack()->BindSocket(osSocket_, IP, ipVersion_, Port);
    UpdateBindingLocal();
    return true;
  } catch (const Exception&) {
    return false;
  }
}

void TIdSocketHandle::BindLocal() {
  if (Port != 0 || ClientPortMin == 0 || ClientPortMax == 0) {
    if (!TryBind()) throw EIdCouldNotBindSocket(RSCouldNotBindSocket);
    return;
  }
  if (ClientPortMax < ClientPortMin)
    throw EIdInvalidPortRange(Format(RSInvalidPortRange, ClientPortMin, ClientPortMax));
  for (int32_t port = ClientPortMax; port >= ClientPortMin; --port) {
    Port = port;
    if (TryBind()) return;
  }
  throw EIdCanNotBindPortInRange(Format(RSCannotBindRange, ClientPortMin, ClientPortMax));
}

void TIdSocketHandle::SetPeer(const std::string& ip, int32_t port, TIdIPVersion version) {
  RemoteIP = ip;
  RemotePort = port;
  SetIPVersion(version);
}

void TIdSocketHandle::ConnectToPeer() {
  EventFd cancel;
  if (cancel.fd() < 0) GStack()->RaiseLastSocketError();
  TIdStackSocketHandle socket;
  {
    std::lock_guard<std::mutex> guard(StateLock);
    if (!allocated_) GStack()->RaiseSocketError(Id_WSAENOTSOCK);
    socket = osSocket_;
    connecting_ = true;
    cancelFd_ = cancel.fd();
  }
  struct EndConnect {
    TIdSocketHandle& self;
    ~EndConnect() {
      std::lock_guard<std::mutex> guard(self.StateLock);
      self.connecting_ = false;
      self.cancelFd_ = -1;
      self.connectEnded_.notify_all();
    }
  } endConnect{*this};
  GStack()->ConnectSocket(socket, RemoteIP, ipVersion_, RemotePort, cancel.fd());
  std::lock_guard<std::mutex> guard(StateLock);
  if (allocated_) {
    UpdateBindingLocal();
    UpdateBindingPeer();
  }
}

int32_t TIdSocketHandle::SendBytes(const TIdBytes& bytes, int32_t offset, int32_t count) {
  return GStack()->SendData(osSocket_, bytes, offset, count);
}

int32_t TIdSocketHandle::ReceiveBytes(TIdBytes& area) { return GStack()->ReceiveData(osSocket_, area); }

bool TIdSocketHandle::WaitReadable(int32_t timeout) {
  if (!allocated_) throw EIdConnClosedGracefully(RSConnectionClosedGracefully);
  return waitSet_->PollReadable(timeout);
}

bool TIdSocketHandle::WaitWritable(int32_t timeout) {
  if (!allocated_) throw EIdConnClosedGracefully(RSConnectionClosedGracefully);
  return waitSet_->PollWritable(timeout);
}

void TIdSocketHandle::UpdateBindingLocal() { GStack()->LocalEndpoint(osSocket_, IP, Port); }

void TIdSocketHandle::UpdateBindingPeer() { GStack()->PeerEndpoint(osSocket_, RemoteIP, RemotePort); }
