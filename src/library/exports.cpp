// The library's two exported functions, as tarvenix.h declares them. Both
// build a new driver object for the host's line service object and return
// its address; GetDriver25 takes five more words, which it does not read.
// Neither contacts a dispenser: the host opens each line with InitLine.
//
// The object lives as long as the process: its table has no slot to destroy
// it, and the driver never frees the line service.

#include "library/abi.hpp"
#include "library/boundary.hpp"
#include "library/driver_object.hpp"

using tarvenix::library::Word;

namespace {

// A null line service is the range error: no object is made.
void* NewDriver(Word appHandle, TarvenixObject* link) {
  using namespace tarvenix::library;
  return Boundary<void*>([&]() -> void* {
    auto* instance = new Instance(Checked(link), appHandle);
    return &instance->object;
  });
}

}  // namespace

extern "C" {

void* TARVENIX_CALL GetDI30(Word /*unread*/, Word appHandle, TarvenixObject* link) {
  return NewDriver(appHandle, link);
}

void* TARVENIX_CALL GetDriver25(Word /*unread*/, Word appHandle, TarvenixObject* link, Word, Word,
                                Word, Word, Word) {
  return NewDriver(appHandle, link);
}

}  // extern "C"
