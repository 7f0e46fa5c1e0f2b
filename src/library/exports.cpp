// The library's two exported functions. Both build a new driver object for
// the host's line service object and return its address; GetDriver25 takes
// five more words, which it does not read. Neither contacts a dispenser: the
// host opens each line with InitLine.
//
// The object lives as long as the process: its table has no slot to destroy
// it, and the driver never frees the line service.

#include "library/abi.hpp"
#include "library/boundary.hpp"
#include "library/driver_object.hpp"

#if defined(_WIN32)
#define TARVENIX_EXPORT  // exported by name through Tarvenix.def
#else
#define TARVENIX_EXPORT __attribute__((visibility("default")))
#endif

using tarvenix::library::Word;

namespace {

void* NewDriver(Word appHandle, void* link) {
  using namespace tarvenix::library;
  return Boundary<void*>([&]() -> void* {
    auto* instance = new Instance(*static_cast<BinaryObject*>(link), appHandle);
    return &instance->object;
  });
}

}  // namespace

extern "C" {

TARVENIX_EXPORT void* TARVENIX_CALL GetDI30(Word /*unread*/, Word appHandle, void* link) {
  return NewDriver(appHandle, link);
}

TARVENIX_EXPORT void* TARVENIX_CALL GetDriver25(Word /*unread*/, Word appHandle, void* link, Word,
                                                Word, Word, Word, Word) {
  return NewDriver(appHandle, link);
}

}  // extern "C"
