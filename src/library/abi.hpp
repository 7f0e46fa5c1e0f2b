// The binary interface's building blocks: the calling convention, stack
// words, and objects that start with the address of their operation table.
//
// On 32-bit Windows every routine is __stdcall: arguments are pushed right
// to left, one 32-bit stack word each (a double takes two), and the callee
// removes them. Elsewhere the platform's C convention applies, with the same
// parameters in the same order. A byte argument arrives as a whole word of
// which only the low byte counts.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && defined(__i386__)
#define TARVENIX_CALL __attribute__((stdcall))
// Failures cross the boundary as Windows structured exceptions.
#define TARVENIX_STRUCTURED_EXCEPTIONS 1
#else
#define TARVENIX_CALL
// Failures cross the boundary as C++ exceptions.
#define TARVENIX_STRUCTURED_EXCEPTIONS 0
#endif

namespace tarvenix::library {

// One stack word: a byte argument, a line or length passed as a word, or a
// word that is not read.
using Word = std::uint32_t;

// An entry of an operation table: the address of a routine, whatever its
// signature. It is converted back to the slot's own type to be called.
using Code = void (*)();

// Any object of the binary interface: its first word is the address of its
// operation table, slot n at index n.
struct BinaryObject {
  const Code* table;
};

template <typename Routine>
Routine SlotOf(const BinaryObject& object, std::size_t slot) {
  return reinterpret_cast<Routine>(object.table[slot]);
}

inline std::uint8_t LowByte(Word word) {
  return static_cast<std::uint8_t>(word & 0xFF);
}

}  // namespace tarvenix::library
