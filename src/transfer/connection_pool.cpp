#include "transfer/connection_pool.h"

#include <algorithm>

#include "platform/services.h"
#include "transfer/download.h"
#include "transfer/route.h"

// An idle connection. Whatever it hears while idle (the server's close, an error, a byte
// nobody asked for) makes it unfit: it is closed at once and let go of at the next sweep,
// never inside its own event.
struct ConnectionPool::Idle : SocketHandler {
  std::string way;
  std::unique_ptr<CSessionSocket> socket;
  DWORD since = 0;
  bool dead = false;
  void socketEvent(int, sockmsg::Event, int) override {
    dead = true;
    socket->Close();
  }
};

ConnectionPool::ConnectionPool(int idleMs) : m_idleMs(idleMs) {}

ConnectionPool::~ConnectionPool() = default;

std::string ConnectionPool::wayOf(const Download& d, const Route& route) {
  std::string server = std::string(d.m_secure ? "https://" : "http://") + d.m_server + ":" + std::to_string(d.m_port);
  if (!route.viaProxy) return server;
  std::string proxy = "proxy " + route.host + ":" + std::to_string(route.port) + " " + route.proxyUser;
  // A plain request names its server to the proxy; a tunnel goes to one server only.
  return d.m_secure ? proxy + " tunnel " + server : proxy;
}

void ConnectionPool::drop(std::size_t i) { m_idle.erase(m_idle.begin() + static_cast<std::ptrdiff_t>(i)); }

void ConnectionPool::sweep() {
  DWORD now = GetTickCount();
  std::erase_if(m_idle, [&](const std::unique_ptr<Idle>& c) {
    return c->dead || now - c->since >= static_cast<DWORD>(m_idleMs);
  });
  if (m_idle.empty()) m_sweep.stop();
}

std::unique_ptr<CSessionSocket> ConnectionPool::take(const std::string& way, SocketHandler* handler) {
  sweep();
  // The latest kept first: the least likely to have been given up by its server.
  for (std::size_t i = m_idle.size(); i-- > 0;) {
    if (m_idle[i]->way != way) continue;
    if (!m_idle[i]->socket->IdleAlive()) {
      drop(i);
      continue;
    }
    std::unique_ptr<CSessionSocket> s = std::move(m_idle[i]->socket);
    drop(i);
    s->setHandler(handler);
    return s;
  }
  return nullptr;
}

bool ConnectionPool::keep(const std::string& way, std::unique_ptr<CSessionSocket>& s) {
  if (!s || !s->IdleAlive() || s->buffered() > 0 || s->sendPending() || s->ended()) return false;
  sweep();
  auto sameWay = [&](const std::unique_ptr<Idle>& c) { return c->way == way; };
  if (static_cast<std::size_t>(std::count_if(m_idle.begin(), m_idle.end(), sameWay)) >= kPerWay)
    drop(static_cast<std::size_t>(std::find_if(m_idle.begin(), m_idle.end(), sameWay) - m_idle.begin()));
  if (m_idle.size() >= kTotal) drop(0);
  auto c = std::make_unique<Idle>();
  c->way = way;
  c->socket = std::move(s);
  c->since = GetTickCount();
  c->socket->setHandler(c.get());
  m_idle.push_back(std::move(c));
  if (!m_sweep.active()) m_sweep.start(std::min(1000, m_idleMs), [this] { sweep(); });
  return true;
}

std::size_t ConnectionPool::idle() {
  sweep();
  return m_idle.size();
}
