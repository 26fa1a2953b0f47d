// One socket with its local and remote endpoint: allocate, bind, connect,
// send, receive, wait and release. Owned by the I/O handler.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "http/transport/IdSocketList.h"
#include "http/transport/IdStackRegistry.h"

class TIdSocketHandle {
 public:
  TIdSocketHandle();
  ~TIdSocketHandle();
  TIdSocketHandle(const TIdSocketHandle&) = delete;
  TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

  // Local endpoint: what to bind to, and after binding or connecting what the system chose.
  std::string IP;
  int32_t Port = 0;
  // Peer: set before connecting, read back after a successful connect.
  std::string RemoteIP;
  int32_t RemotePort = 0;
  // Optional range of local ports to try when binding (both 0: none).
  int32_t ClientPortMin = 0;
  int32_t ClientPortMax = 0;
  bool Overlapped = false;

  TIdStackSocketHandle OsSocket() const { return osSocket_; }
  bool Allocated() const { return allocated_; }
  TIdIPVersion IPVersion() const { return ipVersion_; }
  // Raises EIdCannotSetIPVersionWhenConnected when changed while a socket is held.
  void SetIPVersion(TIdIPVersion version);
  // The set holding just this socket, or nullptr when none is held.
  TIdSocketList* WaitSet() const { return waitSet_.get(); }

  // Orders closing against the endpoint refresh after a connect on another thread.
  std::mutex StateLock;

  // Releases any socket held, then creates a new one of the current IPVersion.
  void AllocateHandle(int32_t type = Id_SOCK_STREAM, int32_t protocol = 0);
  // Closes the socket. A connect blocked on another thread is woken and fails
  // with 10038 before the socket goes away.
  void ReleaseHandle();
  // Clears both endpoints (and optionally the local one only).
  void Reset(bool resetLocal = true);
  // Binds to (IP, Port), or to the first free port of the client port range
  // tried from the top. Raises EIdCouldNotBindSocket, EIdInvalidPortRange or
  // EIdCanNotBindPortInRange.
  void BindLocal();
  void SetPeer(const std::string& ip, int32_t port, TIdIPVersion version = Id_IPv4);
  // Blocks until connected; safe to call on one thread while another releases the socket.
  void ConnectToPeer();
  int32_t SendBytes(const TIdBytes& bytes, int32_t offset = 0, int32_t count = -1);
  int32_t ReceiveBytes(TIdBytes& area);
  // Raises EIdConnClosedGracefully when no socket is held.
  bool WaitReadable(int32_t timeout);
  // Room to write, or an error a send will report; raises as WaitReadable.
  bool WaitWritable(int32_t timeout);
  void UpdateBindingLocal();
  void UpdateBindingPeer();

 private:
  TIdStackUser stackUser_;
  TIdStackSocketHandle osSocket_ = Id_INVALID_SOCKET;
  bool allocated_ = false;
  TIdIPVersion ipVersion_ = Id_IPv4;
  std::unique_ptr<TIdSocketList> waitSet_;
  // Set while ConnectToPeer waits; ReleaseHandle writes to cancelFd_ and waits
  // on connectEnded_ until the connect has let go of the socket.
  bool connecting_ = false;
  int cancelFd_ = -1;
  std::condition_variable connectEnded_;

  bool TryBind();
};
