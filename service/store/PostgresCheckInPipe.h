// The PostgreSQL store's pipe for repeated check-ins (ICheckInPipe): a
// thread of its own with a connection of its own in pipeline mode. What the
// service's loop sent in one turn goes to the server at once as one
// transaction (the store's RecordCheckInAs statement for each, then one
// sync), and each check-in's done is told when it has committed. So a turn
// of check-ins costs the server one commit and the service one hand-over,
// where each check-in on a pooled connection costs one of each.
//
// A turn's statements go in the order of (account, node) names, so that
// instances sharing the database take the rows they update in one order and
// cannot deadlock each other; two check-ins of one node keep their order.
//
// A connection that fails loses the check-ins under way (done told nothing:
// the caller makes them the waiting way) and is made anew for the next
// turn; after a failed connect the pipe takes nothing (Send false) for a
// while, as the pool waits (TConnectBackoff).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/model/CheckInPipe.h"
#include "service/store/PostgresConnection.h"

class TPostgresCheckInPipe : public ICheckInPipe {
 public:
  // At most this many wait to go; more are not taken (Send false).
  static constexpr std::size_t MaxWaiting = 4096;
  // One transaction holds at most this many.
  static constexpr std::size_t MaxTurn = 256;
  // How the server shows the pipe's connection (pg_stat_activity).
  static constexpr const char* Application = "pinmark-service check-ins";

  explicit TPostgresCheckInPipe(std::string uri);
  // Drains what was sent.
  ~TPostgresCheckInPipe() override;

  bool Send(const TAccountRecord& expected, std::string_view node, std::string_view address, TServiceTime now,
            TDone done) override;
  void Flush() override;
  void Drain() override;

  // Transactions the pipe committed, and check-ins in them (for tests and the bench).
  std::size_t Turns() const;
  std::size_t CheckIns() const;

 private:
  struct TSent {
    TAccountRecord Expected;
    std::string Node, Address;
    TServiceTime Now = 0;
    TDone Done;
  };
  void Run();
  // Sends the turn in one transaction on c and tells each check-in its outcome.
  void Turn(std::vector<TSent>& turn, std::unique_ptr<TPostgresConnection>& c);
  // c, made anew when it is none or broken.
  TPostgresConnection& Connection(std::unique_ptr<TPostgresConnection>& c);

  const std::string uri_;
  mutable std::mutex lock_;
  std::condition_variable woken_, idle_;
  std::vector<TSent> waiting_;
  std::size_t flushed_ = 0;  // of waiting_, from its start: what may go
  bool busy_ = false, stopping_ = false;
  TConnectBackoff backoff_;
  std::size_t turns_ = 0, checkIns_ = 0;
  std::thread thread_;  // started by the first Send
};
