// The call's idle https connections, oldest first, under one lock.
#include "download/connection_pool.h"

#include <string>

namespace rz {

ConnectionPool::ConnectionPool(std::size_t idleLimit) : idleLimit_(idleLimit) {}

ConnectionPool::~ConnectionPool() { CloseAll(idle_); }

std::string ConnectionPool::KeyOf(const std::string& host, std::int32_t port,
                                  const std::string& proxy, const std::string& proxyCredentials) {
  // NUL never occurs in a host, a proxy's name or its credentials as the route reads them.
  std::string key = host;
  key.append(1, '\0').append(std::to_string(port)).append(1, '\0').append(proxy);
  key.append(1, '\0').append(proxyCredentials);
  return key;
}

std::unique_ptr<MySocket> ConnectionPool::Take(const std::string& key) {
  std::deque<std::pair<std::string, std::unique_ptr<MySocket>>> stale;
  std::unique_ptr<MySocket> taken;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = idle_.end(); it != idle_.begin() && !taken;) {
      --it;
      if (it->first != key) continue;
      if (it->second->Idle()) {
        taken = std::move(it->second);
      } else {
        stale.push_back(std::move(*it));
      }
      it = idle_.erase(it);
    }
  }
  CloseAll(stale);
  return taken;
}

void ConnectionPool::Give(const std::string& key, std::unique_ptr<MySocket> connection) {
  std::deque<std::pair<std::string, std::unique_ptr<MySocket>>> evicted;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    idle_.emplace_back(key, std::move(connection));
    while (idle_.size() > idleLimit_) {
      evicted.push_back(std::move(idle_.front()));
      idle_.pop_front();
    }
  }
  CloseAll(evicted);
}

void ConnectionPool::CloseAll(
    std::deque<std::pair<std::string, std::unique_ptr<MySocket>>>& connections) {
  for (auto& entry : connections) {
    if (entry.second) entry.second->Close();
  }
  connections.clear();
}

}  // namespace rz
