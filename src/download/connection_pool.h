// The kept connections of one call: https connections whose last response left them fit for
// another request, idle until a fetch to the same origin over the same route takes one. A call
// makes one pool and ends it before it returns; no connection ever carries two calls' requests.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "download/my_socket.h"
#include "platform/tls_session.h"

namespace rz {

class ConnectionPool {
 public:
  // Keeps at most `idleLimit` idle connections: one per fetch that may be in flight.
  explicit ConnectionPool(std::size_t idleLimit);
  // Closes every idle connection.
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // The route key of an https connection: the origin (host and port) and the route there, the
  // proxy of a tunnel with its credentials or none. Two requests share a connection only when
  // their keys are equal.
  static std::string KeyOf(const std::string& host, std::int32_t port, const std::string& proxy,
                           const std::string& proxyCredentials);

  // The most recently kept idle connection of `key`, or null. One that holds or waits on
  // anything (the server closed it meanwhile, or sent what nobody asked for) is closed instead.
  std::unique_ptr<MySocket> Take(const std::string& key);
  // Keeps `connection` idle for `key`. When the pool is full, the connection idle the longest is
  // closed to make room.
  void Give(const std::string& key, std::unique_ptr<MySocket> connection);

  // What the call's new TLS sessions share.
  platform::TlsSessionCache& sessions() { return sessions_; }

 private:
  // Closed outside the lock: a TLS close sends close_notify.
  static void CloseAll(std::deque<std::pair<std::string, std::unique_ptr<MySocket>>>& connections);

  const std::size_t idleLimit_;
  platform::TlsSessionCache sessions_;  // outlives every connection below
  std::mutex mutex_;
  std::deque<std::pair<std::string, std::unique_ptr<MySocket>>> idle_;  // oldest first
};

}  // namespace rz
