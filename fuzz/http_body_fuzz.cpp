// The HTTP interface's request bodies and queries on any bytes: every
// route's parser must refuse with a 400 and its reason, or accept a value in
// range, and never crash. All of them read the same input.
#include <cstdint>
#include <string_view>
#include <variant>

#include "forecourt/api/api.hpp"

namespace api = tarvenix::forecourt::api;

namespace {

template <typename T>
void Check(const api::Parsed<T>& parsed) {
  if (const auto* refused = std::get_if<api::Reply>(&parsed)) {
    const auto body = nlohmann::json::parse(refused->body);
    if (refused->status != 400 || !body["error"].is_string() || !body["message"].is_string()) {
      __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto authorise = api::ParseAuthorise(text);
  Check(authorise);
  if (const auto* body = std::get_if<api::AuthoriseBody>(&authorise)) {
    if (!(body->preset > 0) || body->client.empty() || body->client.size() > 64) {
      __builtin_trap();
    }
  }
  Check(api::ParsePrice(text));
  Check(api::ParseParameterValue(text));
  Check(api::ParseClient(text));
  Check(api::ParseTransactionQuery(text));
  static_cast<void>(api::ParseRfc3339(text));
  static_cast<void>(api::Match("POST", text));
  return 0;
}
