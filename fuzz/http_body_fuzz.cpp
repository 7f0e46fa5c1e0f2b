// The HTTP interface's request bodies and queries on any bytes: every
// route's parser must refuse with a 400 and its reason, or accept a value in
// range, and never crash.
//
// Input: [parser][text]; the low three bits of the first byte pick the
// parser (seeds use the digits '0'..'7'). Each run parses with one of them
// only: a query is no JSON body and the other way round, and running all
// of them on every input spent most of each run where nothing was to find.
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
  if (size == 0) {
    return 0;
  }
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] & 7) {
    case 0: {
      const auto authorise = api::ParseAuthorise(text);
      Check(authorise);
      if (const auto* body = std::get_if<api::AuthoriseBody>(&authorise)) {
        if (!(body->preset > 0) || body->client.empty() || body->client.size() > 64) {
          __builtin_trap();
        }
      }
      break;
    }
    case 1:
      Check(api::ParsePrice(text));
      break;
    case 2:
      Check(api::ParseParameterValue(text));
      break;
    case 3:
      Check(api::ParseClient(text));
      break;
    case 4:
      Check(api::ParseTransactionQuery(text));
      break;
    case 5:
      static_cast<void>(api::ParseRfc3339(text));
      break;
    case 6:
      static_cast<void>(api::Match("POST", text));
      break;
    default:
      static_cast<void>(api::Match("GET", text));
      break;
  }
  return 0;
}
