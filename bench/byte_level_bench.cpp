// The byte-level work of one exchange: building a frame, judging a reply and
// decoding it. No line service, no allocation.
#include <benchmark/benchmark.h>

#include <array>
#include <string_view>
#include <vector>

#include "decode/reply_decoder.hpp"
#include "link/frame.hpp"
#include "link/reply_check.hpp"

namespace tarvenix {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Reply(std::string_view body) {
  Bytes reply(body.size() + 3);
  reply[0] = 0x02;
  reply[1] = '0';
  std::copy(body.begin(), body.end(), reply.begin() + 2);
  reply.back() = 0x03;
  std::uint8_t bcc = 0;
  for (std::uint8_t b : reply) {
    bcc ^= b;
  }
  reply.push_back(bcc);
  return reply;
}

void BM_BuildFrame(benchmark::State& state) {
  link::LinkTables tables;
  link::FrameBuffer frame;
  const std::array<std::uint8_t, 16> start{'E', '0', '0', '0', '0', '0', '4', '5',
                                           '3', '0', '0', '2', '0', '0', '1', 'A'};
  const auto length = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(link::BuildFrame(tables, 1, 1, std::span(start).first(length), frame));
    benchmark::DoNotOptimize(frame.data());
  }
}
BENCHMARK(BM_BuildFrame)->Arg(1)->Arg(16);

void BM_JudgeReply(benchmark::State& state) {
  std::array<std::uint8_t, 31> buffer{};
  const Bytes reply = Reply("T00001234560012345670");
  std::copy(reply.begin(), reply.end(), buffer.begin());
  const auto expected = static_cast<std::uint8_t>(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(link::JudgeReply(buffer, 25, expected));
  }
}
BENCHMARK(BM_JudgeReply)->Arg(25)->Arg(1);

void BM_DecodeReply(benchmark::State& state, std::string_view body) {
  decode::DispenserTables dispensers;
  link::LinkTables links;
  dispensers.At(1, 1).unitPrice = 5290;
  std::array<std::uint8_t, 31> buffer{};
  const Bytes reply = Reply(body);
  std::copy(reply.begin(), reply.end(), buffer.begin());
  for (auto _ : state) {
    dispensers.At(1, 1).pumpState = 217;
    decode::DecodeReply(dispensers, links, 1, 1, buffer);
    benchmark::DoNotOptimize(dispensers.At(1, 1));
  }
}
BENCHMARK_CAPTURE(BM_DecodeReply, S, "S0003000000");
BENCHMARK_CAPTURE(BM_DecodeReply, D, "D0432103516500");
BENCHMARK_CAPTURE(BM_DecodeReply, F, "F05472001125400000");
BENCHMARK_CAPTURE(BM_DecodeReply, T, "T00001234560012345670");
BENCHMARK_CAPTURE(BM_DecodeReply, p, "p00042");
BENCHMARK_CAPTURE(BM_DecodeReply, A, "A0");

}  // namespace
}  // namespace tarvenix
