#include "forecourt/api/server.hpp"

#include <fmt/core.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "forecourt/thread_name.hpp"
#include "trace/trace.hpp"

namespace tarvenix::forecourt::api {
namespace {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr auto kIdleTimeout = std::chrono::seconds(60);
constexpr std::size_t kEventsPerWrite = 256;
constexpr std::size_t kRunsPerWrite = 64;
constexpr auto kPingInterval = std::chrono::seconds(15);

// A stream, woken on its own connection's I/O thread.
struct Subscriber {
  virtual ~Subscriber() = default;
  // Writes what was published since the last write.
  virtual void Wake() = 0;
  // Writes a comment, so that idle streams pass proxies and a client that
  // vanished without closing is found by a failed write.
  virtual void Ping() = 0;
};

// Events as event-stream text, rendered once for every stream: a run of
// events published together, and where each event's text begins.
struct Rendered {
  std::uint64_t first = 0;  // the sequence number of the first event
  std::uint64_t last = 0;
  std::string text;
  std::vector<std::size_t> starts;
};
using RenderedRuns = std::vector<std::shared_ptr<const Rendered>>;

std::string StreamText(const Event& event, std::string_view name) {
  return fmt::format("id: {}\nevent: {}\ndata: {}\n\n", event.seq, name, event.data);
}

// Wakes the streams of one ring. New events are rendered once and shared,
// so that a stream that keeps up writes them without copying; a stream that
// resumes from further back reads the ring itself. The service's ring has a
// thread that waits on it; a trace ring is notified by its publisher.
class EventHub {
 public:
  // `trace`: the events are a line's exchanges.
  EventHub(EventRing& ring, bool trace)
      : ring_(ring), trace_(trace), renderedUpTo_(ring.LastSeq()) {}

  void Start() {
    thread_ = std::thread([this] {
      NameThisThread("tvx-events");
      Run();
    });
  }
  void Stop() {
    stopping_ = true;
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  // Before Start, and before any stream: the I/O threads' executors.
  void Attach(const std::vector<net::any_io_executor>& threads) {
    for (const auto& executor : threads) {
      fanouts_.push_back(std::make_unique<Fanout>(executor));
    }
  }
  // Called on I/O thread `thread`, where the stream lives.
  void Add(std::size_t thread, std::weak_ptr<Subscriber> subscriber) {
    fanouts_[thread]->subscribers.push_back(std::move(subscriber));
    ++count_;
  }
  bool Watched() const { return count_.load() > 0; }
  EventRing& Ring() { return ring_; }
  std::string_view NameOf(const Event& event) const {
    return trace_ ? "exchange" : Name(event.kind);
  }

  // The rendered runs holding the events after `after`, at most `maxRuns`,
  // into `runs`; false when `after` is older than the runs kept, so the
  // ring must be read.
  bool RenderedAfter(std::uint64_t after, std::size_t maxRuns, RenderedRuns& runs) const {
    runs.clear();
    std::lock_guard lock(renderMutex_);
    if (rendered_.empty() || after + 1 < rendered_.front()->first) {
      return false;
    }
    // Runs are in order and adjacent: skip those that end at or before `after`.
    auto it = std::partition_point(rendered_.begin(), rendered_.end(),
                                   [after](const auto& run) { return run->last <= after; });
    for (; it != rendered_.end() && runs.size() < maxRuns; ++it) {
      runs.push_back(*it);
    }
    return true;
  }

  // Renders what the ring published since the last call, then wakes every
  // stream (or pings them): one task for each I/O thread, which writes to
  // its streams in turn. A wake-up already waiting carries the new events.
  void Notify(bool ping = false) {
    if (!ping) {
      Render();
    }
    for (const auto& fanout : fanouts_) {
      if (ping || !fanout->pending.exchange(true)) {
        net::post(fanout->executor, [this, fanout = fanout.get(), ping] { Wake(*fanout, ping); });
      }
    }
  }

 private:
  static constexpr std::size_t kRunsKept = 1024;

  // The streams that live on one I/O thread, touched on that thread only.
  struct Fanout {
    explicit Fanout(net::any_io_executor e) : executor(std::move(e)) {}
    net::any_io_executor executor;
    std::vector<std::weak_ptr<Subscriber>> subscribers;
    std::atomic<bool> pending{false};
  };

  void Wake(Fanout& fanout, bool ping) {
    if (!ping) {
      fanout.pending = false;
    }
    std::erase_if(fanout.subscribers, [this, ping](const std::weak_ptr<Subscriber>& weak) {
      const auto subscriber = weak.lock();
      if (!subscriber) {
        --count_;
        return true;
      }
      if (ping) {
        subscriber->Ping();
      } else {
        subscriber->Wake();
      }
      return false;
    });
  }

  void Render() {
    std::lock_guard lock(renderMutex_);
    auto batch = ring_.Since(renderedUpTo_);
    if (batch.gap) {
      // Published faster than rendered: the runs kept no longer join up.
      rendered_.clear();
    }
    if (batch.events.empty()) {
      return;
    }
    auto run = std::make_shared<Rendered>();
    run->first = batch.events.front().seq;
    run->last = batch.events.back().seq;
    renderedUpTo_ = run->last;
    for (const Event& event : batch.events) {
      run->starts.push_back(run->text.size());
      run->text += StreamText(event, NameOf(event));
    }
    rendered_.push_back(std::move(run));
    if (rendered_.size() > kRunsKept) {
      rendered_.pop_front();
    }
  }

  void Run() {
    std::uint64_t seen = ring_.LastSeq();
    auto pinged = std::chrono::steady_clock::now();
    while (!stopping_) {
      const auto batch = ring_.WaitSince(seen, std::chrono::milliseconds(100), 1);
      if (batch.events.empty() && !batch.gap) {
        if (std::chrono::steady_clock::now() - pinged > kPingInterval) {
          pinged = std::chrono::steady_clock::now();
          Notify(true);
        }
        continue;
      }
      seen = ring_.LastSeq();
      Notify();
    }
  }

  EventRing& ring_;
  const bool trace_;
  std::atomic<bool> stopping_{false};
  std::vector<std::unique_ptr<Fanout>> fanouts_;
  std::atomic<std::size_t> count_{0};
  mutable std::mutex renderMutex_;
  std::deque<std::shared_ptr<const Rendered>> rendered_;
  std::uint64_t renderedUpTo_;
  std::thread thread_;
};

// The exchanges of each line, decoded as `tarvenix --trace` prints them,
// kept for the line's trace streams while somebody watches.
class TraceHub final : public lines::LineMonitor {
 public:
  static constexpr std::size_t kKept = 1000;

  explicit TraceHub(std::size_t lines) {
    for (std::size_t i = 0; i < lines; ++i) {
      rings_.push_back(std::make_unique<EventRing>(kKept));
      hubs_.push_back(std::make_unique<EventHub>(*rings_.back(), true));
    }
  }

  void Attach(const std::vector<net::any_io_executor>& threads) {
    for (const auto& hub : hubs_) {
      hub->Attach(threads);
    }
  }

  EventHub* Line(std::size_t number) {
    return number >= 1 && number <= hubs_.size() ? hubs_[number - 1].get() : nullptr;
  }

  void OnLineEvent(const lines::LineEvent& event) override {
    EventHub* hub = Line(event.line);
    if (hub == nullptr || !hub->Watched()) {
      return;
    }
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    if (out == nullptr) {
      return;
    }
    trace::TraceMonitor(out).OnLineEvent(event);
    std::fclose(out);
    std::string line(text, size);
    std::free(text);
    while (!line.empty() && line.back() == '\n') {
      line.pop_back();
    }
    std::replace(line.begin(), line.end(), '\n', ' ');
    hub->Ring().Publish(EventKind::kLine, std::move(line), 0);
    hub->Notify();
  }

 private:
  std::vector<std::unique_ptr<EventRing>> rings_;
  std::vector<std::unique_ptr<EventHub>> hubs_;
};

// Lets lines and the journal post a request's outcome to its connection's
// thread while the server runs; once it stops they post nothing, so that
// nothing reaches an I/O context that is gone.
struct Gate {
  std::mutex mutex;
  bool open = true;
};

struct Shared {
  Api& api;
  Log& log;
  EventHub& hub;
  TraceHub& traces;
  std::shared_ptr<Gate> gate;
  std::string staticDir;
};

std::string_view ContentTypeOf(const std::filesystem::path& path) {
  const std::string ext = path.extension().string();
  if (ext == ".html") {
    return "text/html; charset=utf-8";
  }
  if (ext == ".js") {
    return "text/javascript; charset=utf-8";
  }
  if (ext == ".css") {
    return "text/css; charset=utf-8";
  }
  if (ext == ".json") {
    return "application/json";
  }
  if (ext == ".svg") {
    return "image/svg+xml";
  }
  if (ext == ".png") {
    return "image/png";
  }
  return "application/octet-stream";
}

// A file of the static folder, or nothing; never a path outside it.
std::optional<Reply> StaticFile(const std::string& dir, std::string_view target) {
  std::string_view path = target.substr(0, target.find('?'));
  // "//etc/passwd" would make an absolute path that replaces the folder.
  if (dir.empty() || !path.starts_with('/') || path.find("..") != std::string_view::npos ||
      path.find("//") != std::string_view::npos || path.find('\\') != std::string_view::npos) {
    return std::nullopt;
  }
  std::error_code ec;
  const std::filesystem::path root = std::filesystem::canonical(dir, ec);
  std::filesystem::path file =
      std::filesystem::weakly_canonical(root / std::string(path.substr(1)), ec);
  if (ec || root.empty()) {
    return std::nullopt;
  }
  if (std::filesystem::is_directory(file, ec)) {
    file /= "index.html";
  }
  // Nothing outside the folder, a link leading out of it included.
  const auto [rootEnd, fileAt] = std::mismatch(root.begin(), root.end(), file.begin(), file.end());
  if (rootEnd != root.end() || !std::filesystem::is_regular_file(file, ec)) {
    return std::nullopt;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  std::ostringstream body;
  body << in.rdbuf();
  return Reply{.status = 200, .body = body.str(), .contentType = std::string(ContentTypeOf(file))};
}

template <typename Stream>
class Session : public Subscriber, public std::enable_shared_from_this<Session<Stream>> {
  static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

 public:
  // `thread`: the I/O thread whose context the stream is on.
  Session(Stream stream, Shared& shared, std::size_t thread)
      : stream_(std::move(stream)),
        shared_(shared),
        thread_(thread),
        waitEnd_(stream_.get_executor()) {}
  ~Session() override {
    if (streaming_) {
      --shared_.api.streamClients;
    }
    if (beating_) {
      shared_.api.Service().Fallback().StreamClosed();
    }
  }

  void Start() {
    if constexpr (kTls) {
      Lowest().expires_after(kIdleTimeout);
      stream_.async_handshake(ssl::stream_base::server,
                              [self = this->shared_from_this()](beast::error_code ec) {
                                if (ec) {
                                  self->Close();
                                } else {
                                  self->Read();
                                }
                              });
    } else {
      Read();
    }
  }

  void Wake() override { PumpEvents(); }

  void Ping() override {
    if (!writing_) {
      head_ += ": ping\n\n";
      PumpEvents();
    }
  }

 private:
  auto& Lowest() { return beast::get_lowest_layer(stream_); }

  void Read() {
    parser_.emplace();
    parser_->body_limit(kBodyLimit);
    parser_->header_limit(16 * 1024);
    Lowest().expires_after(kIdleTimeout);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = this->shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
  }

  void OnRead(beast::error_code ec) {
    // Nothing a request does may end an I/O thread.
    try {
      Serve(ec);
    } catch (const std::exception& e) {
      keepAlive_ = false;
      Send(Error(500, "internal", e.what()), "internal");
    }
  }

  void Serve(beast::error_code ec) {
    started_ = Clock::now();
    headOnly_ = false;
    if (ec == http::error::body_limit) {
      keepAlive_ = false;
      Send(Error(413, "too-large", fmt::format("the body exceeds {} bytes", kBodyLimit)),
           "too-large");
      return;
    }
    if (ec == http::error::end_of_stream || ec) {
      if (ec != http::error::end_of_stream && ec != net::error::operation_aborted &&
          ec != beast::error::timeout && ec != net::error::eof &&
          ec != net::error::connection_reset) {
        keepAlive_ = false;
        Send(Error(400, "bad-request", ec.message()), "bad-request");
        return;
      }
      Close();
      return;
    }
    auto& req = parser_->get();
    keepAlive_ = req.keep_alive();
    // A HEAD is answered as its GET, without the body: a keep-alive client
    // reads no body after a HEAD answer.
    headOnly_ = req.method() == http::verb::head;
    if (req.version() >= 11 && req.count(http::field::host) != 1) {
      keepAlive_ = false;
      Send(Error(400, "bad-request", "an HTTP/1.1 request carries exactly one Host header"),
           "bad-request");
      return;
    }
    Request request{.method = headOnly_ ? std::string("GET") : std::string(req.method_string()),
                    .target = std::string(req.target()),
                    .body = std::move(req.body()),
                    .authorization = std::string(req[http::field::authorization]),
                    .accept = std::string(req[http::field::accept])};
    Route route;
    if (auto refused = shared_.api.Admit(request, route)) {
      if (refused->status == 404 && request.method == "GET") {
        if (auto file = StaticFile(shared_.staticDir, request.target)) {
          Send(std::move(*file), "static");
          return;
        }
      }
      Send(std::move(*refused), route.name.empty() ? "unmatched" : route.name);
      return;
    }
    if (route.stream && headOnly_) {
      Send({.status = 200, .contentType = "text/event-stream"}, route.name);
      return;
    }
    if (route.stream) {
      StartEvents(std::string(req["Last-Event-ID"]), request.target);
      if (streaming_ && !trace_ && shared_.api.HeartbeatStream(request.authorization)) {
        beating_ = true;
        shared_.api.Service().Fallback().StreamOpened();
      }
      return;
    }
    // A request that waits on a line or the journal holds no thread: its
    // outcome is posted back here, and the wait ends on this thread's timer.
    shared_.api.Handle(
        request, route,
        {.post =
             [gate = shared_.gate, executor = stream_.get_executor()](std::function<void()> work) {
               std::lock_guard lock(gate->mutex);
               if (gate->open) {
                 net::post(executor, std::move(work));
               }
             },
         .after =
             [this](std::chrono::milliseconds wait, std::function<void()> work) {
               waitEnd_.expires_after(wait);
               waitEnd_.async_wait([work = std::move(work)](beast::error_code ended) {
                 if (!ended) {
                   work();
                 }
               });
             },
         .respond = [self = this->shared_from_this(),
                     name = route.name](Reply reply) { self->Send(std::move(reply), name); }});
  }

  void Send(Reply reply, const std::string& routeName) {
    waitEnd_.cancel();
    auto res = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(reply.status), 11);
    res->set(http::field::server, "tarvenixd");
    res->set(http::field::content_type, reply.contentType);
    for (const auto& [field, value] : reply.headers) {
      res->set(field, value);
    }
    res->body() = std::move(reply.body);
    res->keep_alive(keepAlive_);
    res->prepare_payload();
    if (headOnly_) {
      res->body().clear();  // Content-Length still tells what a GET would get
    }
    shared_.api.CountRequest(
        routeName, reply.status,
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started_));
    http::async_write(stream_, *res,
                      [self = this->shared_from_this(), res](beast::error_code ec, std::size_t) {
                        if (ec || !res->keep_alive()) {
                          self->Close();
                        } else {
                          self->Read();
                        }
                      });
  }

  void StartEvents(const std::string& lastEventId, std::string_view target) {
    hub_ = &shared_.hub;
    if (target.find("/trace") != std::string_view::npos) {
      const std::string_view number = target.substr(std::string_view("/api/v1/lines/").size());
      std::size_t n = 0;
      std::from_chars(number.data(), number.data() + number.size(), n);
      hub_ = shared_.traces.Line(n);
      if (hub_ == nullptr) {
        Send(Error(404, "not-found", fmt::format("no line {}", number.substr(0, number.find('/')))),
             "GET /api/v1/lines/{n}/trace");
        return;
      }
      trace_ = true;
    }
    EventRing& ring = hub_->Ring();
    const std::uint64_t last = ring.LastSeq();
    next_ = last;
    std::string head =
        "HTTP/1.1 200 OK\r\nServer: tarvenixd\r\nContent-Type: text/event-stream\r\n"
        "Cache-Control: no-cache\r\nConnection: close\r\n\r\n: tarvenixd events\n\n";
    if (!lastEventId.empty()) {
      std::uint64_t id = 0;
      const auto [end, ec] =
          std::from_chars(lastEventId.data(), lastEventId.data() + lastEventId.size(), id);
      if (ec == std::errc{} && end == lastEventId.data() + lastEventId.size() && id <= last) {
        next_ = id;
      } else {
        // An id this service never gave: the client must read the state again.
        head += ResyncEvent();
      }
    }
    streaming_ = true;
    ++shared_.api.streamClients;
    Lowest().expires_never();
    if constexpr (!kTls) {
      beast::error_code ignored;
      Lowest().socket().non_blocking(true, ignored);
    }
    head_ = std::move(head);
    hub_->Add(thread_, this->weak_from_this());
    WatchClose();
    PumpEvents();
  }

  static std::string ResyncEvent() {
    return "event: resync\ndata: {\"message\":\"events were missed: read the state again\"}\n\n";
  }

  // A stream's client sends nothing more; a read ends when it goes away.
  void WatchClose() {
    stream_.async_read_some(net::buffer(discard_),
                            [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                              if (ec) {
                                self->Close();
                              } else {
                                self->WatchClose();
                              }
                            });
  }

  void PumpEvents() {
    if (writing_ || closed_) {
      return;
    }
    // Both kept across writes, so that a stream that keeps up allocates
    // nothing.
    std::vector<net::const_buffer>& buffers = buffers_;
    buffers.clear();
    if (!head_.empty()) {
      out_ = std::move(head_);
      head_.clear();
      buffers.push_back(net::buffer(out_));
    }
    if (hub_->RenderedAfter(next_, kRunsPerWrite, sending_)) {
      // Up to date: the shared text from the first event not yet sent.
      for (const auto& run : sending_) {
        const std::size_t from = next_ < run->first ? 0 : run->starts[next_ + 1 - run->first];
        buffers.push_back(net::buffer(run->text.data() + from, run->text.size() - from));
        next_ = run->last;
      }
    } else {
      // Resuming from further back than the shared text reaches.
      const auto batch = hub_->Ring().Since(next_, kEventsPerWrite);
      if (batch.gap) {
        out_ += ResyncEvent();
      }
      for (const Event& event : batch.events) {
        out_ += StreamText(event, hub_->NameOf(event));
        next_ = event.seq;
      }
      buffers.assign(1, net::buffer(out_));
    }
    if (net::buffer_size(buffers) == 0) {
      return;
    }
    if constexpr (!kTls) {
      // The socket's buffer takes most writes whole, at once: then there is
      // no handler to run. The rest goes by an asynchronous write.
      beast::error_code ec;
      std::size_t written = Lowest().socket().write_some(buffers, ec);
      if (ec && ec != net::error::would_block) {
        Close();
        return;
      }
      if (written == net::buffer_size(buffers)) {
        out_.clear();
        sending_.clear();
        PumpEvents();
        return;
      }
      auto unsent = buffers.begin();
      for (; written >= unsent->size(); ++unsent) {
        written -= unsent->size();
      }
      *unsent += written;
      buffers.erase(buffers.begin(), unsent);
    }
    writing_ = true;
    net::async_write(stream_, buffers,
                     [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                       self->writing_ = false;
                       self->out_.clear();
                       self->sending_.clear();
                       if (ec) {
                         self->Close();
                       } else {
                         self->PumpEvents();
                       }
                     });
  }

  void Close() {
    if (closed_) {
      return;
    }
    closed_ = true;
    beast::error_code ignored;
    Lowest().socket().shutdown(tcp::socket::shutdown_both, ignored);
    Lowest().socket().close(ignored);
  }

  Stream stream_;
  Shared& shared_;
  std::size_t thread_;
  net::steady_timer waitEnd_;  // the end of a request's wait on a line or the journal
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  bool keepAlive_ = true;
  bool headOnly_ = false;  // the request in hand is a HEAD
  Clock::time_point started_ = Clock::now();
  bool streaming_ = false;
  bool beating_ = false;  // an open stream that keeps the heartbeat (fallback.hpp)
  EventHub* hub_ = nullptr;
  bool trace_ = false;
  bool writing_ = false;
  bool closed_ = false;
  std::uint64_t next_ = 0;
  std::string head_;      // a text to send before the next events
  std::string out_;       // what is being sent of the session's own
  RenderedRuns sending_;  // and of the shared text
  std::vector<net::const_buffer> buffers_;
  char discard_[256];
};

tcp::endpoint Resolve(net::io_context& io, const std::string& listen) {
  const auto colon = listen.rfind(':');
  if (colon == std::string::npos) {
    throw std::runtime_error("the listen address must be HOST:PORT, not '" + listen + "'");
  }
  std::string host = listen.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  tcp::resolver resolver(io);
  beast::error_code ec;
  const auto results = resolver.resolve(host, listen.substr(colon + 1), ec);
  if (ec || results.empty()) {
    throw std::runtime_error("cannot resolve '" + listen + "': " + ec.message());
  }
  return results.begin()->endpoint();
}

}  // namespace

struct Server::Impl {
  Impl(Api& a, Log& l, ServerOptions o)
      : api(a),
        log(l),
        options(std::move(o)),
        hub(a.Service().Events(), false),
        traces(a.Service().Lines().size()),
        shared{api, log, hub, traces, std::make_shared<Gate>(), options.staticDir},
        tls(ssl::context::tls_server) {
    const unsigned count = options.ioThreads != 0
                               ? options.ioThreads
                               : std::clamp(std::thread::hardware_concurrency(), 1U, 8U);
    for (unsigned i = 0; i < count; ++i) {
      contexts.push_back(std::make_unique<net::io_context>(1));
      // A thread with no connection yet keeps running.
      idle.push_back(net::make_work_guard(*contexts.back()));
    }
    std::vector<net::any_io_executor> executors;
    for (const auto& context : contexts) {
      executors.emplace_back(context->get_executor());
    }
    hub.Attach(executors);
    traces.Attach(executors);
  }

  // Every I/O thread accepts from the one listening socket, so that a
  // connection is taken and served on the same thread, whichever is free
  // first. Everything a connection does happens on its thread: its handlers
  // need no strand, and waking a stream wakes that thread only.
  void Listen(const tcp::endpoint& endpoint, beast::error_code& ec) {
    tcp::acceptor& listener = acceptors.emplace_back(*contexts.front());
    listener.open(endpoint.protocol(), ec);
    if (!ec) {
      listener.set_option(net::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
      listener.bind(endpoint, ec);
    }
    if (!ec) {
      listener.listen(net::socket_base::max_listen_connections, ec);
    }
    for (std::size_t i = 1; i < contexts.size() && !ec; ++i) {
      const int copy = ::dup(acceptors.front().native_handle());
      if (copy < 0) {
        ec.assign(errno, boost::system::system_category());
        return;
      }
      acceptors.emplace_back(*contexts[i]).assign(endpoint.protocol(), copy, ec);
      if (ec) {
        ::close(copy);
      }
    }
  }

  void Accept(std::size_t thread) {
    acceptors[thread].async_accept([this, thread](beast::error_code ec, tcp::socket socket) {
      if (ec) {
        if (ec != net::error::operation_aborted) {
          Accept(thread);
        }
        return;
      }
      // Events are small writes to clients that never answer: Nagle's
      // algorithm would hold each one until the client's delayed ACK.
      beast::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      if (useTls) {
        std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(
            beast::ssl_stream<beast::tcp_stream>(beast::tcp_stream(std::move(socket)), tls), shared,
            thread)
            ->Start();
      } else {
        std::make_shared<Session<beast::tcp_stream>>(beast::tcp_stream(std::move(socket)), shared,
                                                     thread)
            ->Start();
      }
      Accept(thread);
    });
  }

  Api& api;
  Log& log;
  ServerOptions options;
  EventHub hub;
  TraceHub traces;
  Shared shared;
  ssl::context tls;
  bool useTls = false;
  // Declared last: destroyed first, with the sessions their handlers hold.
  std::vector<std::unique_ptr<net::io_context>> contexts;
  std::vector<net::executor_work_guard<net::io_context::executor_type>> idle;
  std::vector<tcp::acceptor> acceptors;  // one for each context
  std::vector<std::thread> threads;
  bool stopped = false;
};

Server::Server(Api& api, Log& log, ServerOptions options)
    : impl_(std::make_unique<Impl>(api, log, std::move(options))) {
  Impl& s = *impl_;
  if (!s.options.tlsCertificate.empty()) {
    beast::error_code ec;
    s.tls.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                      ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
    s.tls.use_certificate_chain_file(s.options.tlsCertificate, ec);
    if (!ec) {
      s.tls.use_private_key_file(s.options.tlsKey, ssl::context::pem, ec);
    }
    if (ec) {
      throw std::runtime_error("TLS: cannot use the certificate " + s.options.tlsCertificate +
                               " with the key " + s.options.tlsKey + ": " + ec.message());
    }
    s.useTls = true;
  }
  const tcp::endpoint endpoint = Resolve(*s.contexts.front(), s.options.listen);
  beast::error_code ec;
  s.Listen(endpoint, ec);
  if (ec) {
    throw std::runtime_error("cannot listen on " + s.options.listen + ": " + ec.message());
  }
}

Server::~Server() {
  Stop();
}

std::string Server::Url() const {
  const tcp::endpoint endpoint = impl_->acceptors.front().local_endpoint();
  const auto address = endpoint.address();
  const std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  return fmt::format("{}://{}:{}", impl_->useTls ? "https" : "http", host, endpoint.port());
}

void Server::Start() {
  Impl& s = *impl_;
  s.hub.Start();
  s.api.Service().SetLineListener(&s.traces);
  for (std::size_t thread = 0; thread < s.contexts.size(); ++thread) {
    s.Accept(thread);
  }
  for (const auto& context : s.contexts) {
    s.threads.emplace_back([&context = *context] {
      NameThisThread("tvx-http");
      context.run();
    });
  }
}

void Server::StopAccepting() {
  for (tcp::acceptor& acceptor : impl_->acceptors) {
    net::post(acceptor.get_executor(), [&acceptor] {
      beast::error_code ignored;
      acceptor.close(ignored);
    });
  }
}

void Server::Stop() {
  Impl& s = *impl_;
  if (s.stopped) {
    return;
  }
  s.stopped = true;
  s.api.Service().SetLineListener(nullptr);
  StopAccepting();
  s.hub.Stop();
  {
    std::lock_guard lock(s.shared.gate->mutex);
    s.shared.gate->open = false;
  }
  for (const auto& context : s.contexts) {
    context->stop();
  }
  for (std::thread& thread : s.threads) {
    thread.join();
  }
}

}  // namespace tarvenix::forecourt::api
