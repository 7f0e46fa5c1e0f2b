// A small HTTP client over Boost.Beast for the tests and the benchmark of
// tarvenixd's HTTP interface: one request per connection, or an event
// stream read event by event. Every wait is bounded.
#pragma once

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tarvenix::forecourt::testing {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;

inline constexpr auto kHttpTimeout = std::chrono::seconds(20);

struct HttpReply {
  unsigned status = 0;
  std::string contentType;
  std::string body;
  nlohmann::json Json() const { return nlohmann::json::parse(body, nullptr, false); }
};

// "http://HOST:PORT" -> host and port.
inline std::pair<std::string, std::string> HostPort(const std::string& url) {
  const std::string rest = url.substr(url.find("//") + 2);
  const auto colon = rest.rfind(':');
  return {rest.substr(0, colon), rest.substr(colon + 1)};
}

inline http::request<http::string_body> MakeRequest(
    const std::string& method, const std::string& target, const std::string& body,
    const std::string& token, const std::vector<std::pair<std::string, std::string>>& headers) {
  http::request<http::string_body> req(http::string_to_verb(method), target, 11);
  req.set(http::field::host, "localhost");
  if (!token.empty()) {
    req.set(http::field::authorization, "Bearer " + token);
  }
  for (const auto& [name, value] : headers) {
    req.set(name, value);
  }
  if (!body.empty()) {
    req.set(http::field::content_type, "application/json");
    req.body() = body;
  }
  req.prepare_payload();
  return req;
}

// One request; an event stream's reply is its header only.
inline HttpReply Call(const std::string& url, const std::string& method, const std::string& target,
                      const std::string& body = {}, const std::string& token = {},
                      const std::vector<std::pair<std::string, std::string>>& headers = {}) {
  net::io_context io;
  const auto [host, port] = HostPort(url);
  beast::tcp_stream stream(io);
  stream.expires_after(kHttpTimeout);
  stream.connect(net::ip::tcp::resolver(io).resolve(host, port));
  auto req = MakeRequest(method, target, body, token, headers);
  http::write(stream, req);
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(16 * 1024 * 1024);
  http::read_header(stream, buffer, parser);
  HttpReply reply{
      parser.get().result_int(), std::string(parser.get()[http::field::content_type]), {}};
  if (reply.contentType != "text/event-stream") {
    http::read(stream, buffer, parser);
    reply.body = parser.get().body();
  }
  beast::error_code ignored;
  stream.socket().shutdown(net::ip::tcp::socket::shutdown_both, ignored);
  return reply;
}

// The same over TLS, trusting any certificate (the test makes its own).
inline HttpReply CallTls(const std::string& url, const std::string& target) {
  net::io_context io;
  net::ssl::context tls(net::ssl::context::tls_client);
  tls.set_verify_mode(net::ssl::verify_none);
  const auto [host, port] = HostPort(url);
  beast::ssl_stream<beast::tcp_stream> stream(io, tls);
  beast::get_lowest_layer(stream).expires_after(kHttpTimeout);
  beast::get_lowest_layer(stream).connect(net::ip::tcp::resolver(io).resolve(host, port));
  stream.handshake(net::ssl::stream_base::client);
  auto req = MakeRequest("GET", target, {}, {}, {});
  http::write(stream, req);
  beast::flat_buffer buffer;
  http::response<http::string_body> res;
  http::read(stream, buffer, res);
  return {res.result_int(), std::string(res[http::field::content_type]), res.body()};
}

struct StreamEvent {
  std::uint64_t id = 0;
  std::string type;
  nlohmann::json data;
};

// An open event stream, read one event at a time.
class EventStream {
 public:
  EventStream(const std::string& url, const std::string& token = {},
              std::optional<std::uint64_t> lastEventId = std::nullopt,
              const std::string& target = "/api/v1/events", bool parseData = true)
      : stream_(io_), parseData_(parseData) {
    const auto [host, port] = HostPort(url);
    stream_.expires_after(kHttpTimeout);
    stream_.connect(net::ip::tcp::resolver(io_).resolve(host, port));
    std::vector<std::pair<std::string, std::string>> headers;
    if (lastEventId) {
      lastId_ = *lastEventId;
      headers.emplace_back("Last-Event-ID", std::to_string(*lastEventId));
    }
    auto req = MakeRequest("GET", target, {}, token, headers);
    http::write(stream_, req);
    http::response_parser<http::empty_body> parser;
    http::read_header(stream_, buffer_, parser);
    status_ = parser.get().result_int();
    pending_.assign(static_cast<const char*>(buffer_.data().data()), buffer_.size());
  }

  unsigned Status() const { return status_; }

  // The next event (comments skipped); raises on the timeout.
  StreamEvent Next() {
    for (;;) {
      std::size_t end = 0;
      while ((end = pending_.find("\n\n")) == std::string::npos) {
        char chunk[4096];
        stream_.expires_after(kHttpTimeout);
        pending_.append(chunk, stream_.read_some(net::buffer(chunk)));
      }
      const std::string text = pending_.substr(0, end + 2);
      pending_.erase(0, end + 2);
      StreamEvent event;
      bool any = false;
      std::size_t start = 0;
      while (start < text.size()) {
        const std::size_t nl = text.find('\n', start);
        const std::string line = text.substr(start, nl - start);
        start = nl + 1;
        if (line.starts_with("id: ")) {
          event.id = std::stoull(line.substr(4));
        } else if (line.starts_with("event: ")) {
          event.type = line.substr(7);
          any = true;
        } else if (line.starts_with("data: ") && parseData_) {
          // JSON, or a line of text (a trace)
          event.data = nlohmann::json::parse(line.substr(6), nullptr, false);
          if (event.data.is_discarded()) {
            event.data = line.substr(6);
          }
        }
      }
      if (any) {
        // Every event, once and in order: only a resync may skip ids.
        if (event.id != 0 && lastId_ != 0 && event.id != lastId_ + 1 && !resynced_) {
          throw std::runtime_error("event " + std::to_string(event.id) + " after " +
                                   std::to_string(lastId_));
        }
        resynced_ = event.type == "resync";
        lastId_ = event.id != 0 ? event.id : lastId_;
        return event;
      }
    }
  }

  // Reads until `match` accepts an event, and returns it.
  template <typename Match>
  StreamEvent Until(Match match) {
    for (;;) {
      StreamEvent event = Next();
      if (match(event)) {
        return event;
      }
    }
  }

 private:
  net::io_context io_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::string pending_;
  bool parseData_;
  unsigned status_ = 0;
  std::uint64_t lastId_ = 0;
  bool resynced_ = false;
};

}  // namespace tarvenix::forecourt::testing
