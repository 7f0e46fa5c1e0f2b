// A host that runs its dispensers on serial lines, built against an
// installed Tarvenix: the line services' headers at their installed paths,
// the last release's path beside them. A line whose device does not exist
// must refuse to open, without a dispenser in sight.
#include <cstdio>
#include <tarvenix/lines/serial_com_link.hpp>
#include <tarvenix/serial/serial_com_link.hpp>
#include <tarvenix/tvm30.hpp>

int main() {
  tarvenix::lines::SerialComLink lines;
  lines.AssignPort(1, {.device = "/nonexistent/tarvenix-consumer-port"});
  const std::int32_t opened = lines.ConfigureLine(1, 14, 4800);
  tarvenix::serial::SerialComLink old;  // the same class by its old name
  static_cast<void>(old);
  if (opened == tarvenix::lines::kResultOk) {
    std::puts("a missing device opened");
    return 1;
  }
  std::puts("lines consumer: a missing device refused");
  return 0;
}
