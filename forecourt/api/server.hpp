// The HTTP server of the forecourt service: Boost.Beast over Asio, with a
// few I/O threads, each serving the connections it accepted for their whole
// life. Every request is answered on its I/O thread; one that waits on a
// dispenser or a journal write holds no thread meanwhile: the outcome is
// posted back to the connection's thread, so that a slow line or disk holds
// neither the I/O threads nor another line's requests. Event streams are fed by one
// thread that waits on the event ring and wakes each I/O thread's streams.
#pragma once

#include <memory>
#include <string>

#include "forecourt/api/api.hpp"
#include "forecourt/log.hpp"

namespace tarvenix::forecourt::api {

struct ServerOptions {
  std::string listen = "127.0.0.1:8080";  // HOST:PORT; port 0 takes a free one
  std::string tlsCertificate;             // PEM; both or neither
  std::string tlsKey;
  std::string staticDir;   // files served at / when set
  unsigned ioThreads = 0;  // 0: one per core, up to 8
};

class Server {
 public:
  // Binds the address; raises std::runtime_error when it cannot, or when
  // the certificate or key cannot be read.
  Server(Api& api, Log& log, ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // "http://127.0.0.1:PORT" (https with TLS), with the port bound.
  std::string Url() const;
  void Start();
  // Closes the listener: no new connection is taken; the open ones are
  // still served, so that requests in progress get their answers.
  void StopAccepting();
  // Closes the listener and every connection, and joins the threads.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tarvenix::forecourt::api
