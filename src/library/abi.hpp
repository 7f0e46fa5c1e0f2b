// The binary interface's building blocks as the library sees them. The
// calling convention, slot numbers and routine types are those of the public
// C header, tarvenix/tarvenix.h; this adds what only the library needs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tarvenix/errors.hpp"
#include "tarvenix/tarvenix.h"

#if defined(_WIN32)
// Failures cross the boundary as Windows structured exceptions.
#define TARVENIX_STRUCTURED_EXCEPTIONS 1
#else
// Failures cross the boundary as C++ exceptions.
#define TARVENIX_STRUCTURED_EXCEPTIONS 0
#endif

namespace tarvenix::library {

// One stack word: a byte argument, a line or length passed as a word, or a
// word that is not read.
using Word = std::uint32_t;

// An entry of an operation table, converted back to its slot's routine type
// to be called.
using Code = TarvenixCode;

// Any object of the binary interface: its first word is the address of its
// operation table.
using BinaryObject = TarvenixObject;

template <typename Routine>
Routine SlotOf(const BinaryObject& object, std::size_t slot) {
  return reinterpret_cast<Routine>(object.table[slot]);
}

inline std::uint8_t LowByte(Word word) {
  return static_cast<std::uint8_t>(word & 0xFF);
}

// A host's pointer that the driver reads or writes through: null is the
// range error, found before anything is written.
template <typename T>
T& Checked(T* pointer) {
  if (pointer == nullptr) {
    throw ERangeError();
  }
  return *pointer;
}

}  // namespace tarvenix::library
