#include "library/structured_exceptions.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

#include "library/boundary.hpp"
#include "tarvenix/errors.hpp"

namespace tarvenix::library {
namespace {

static_assert(sizeof(void*) == 4, "the exception chain of fs:[0] exists on 32-bit Windows only");
static_assert(Fault::kMaxParameters == EXCEPTION_MAXIMUM_PARAMETERS);

// An entry of the thread's exception handler chain, whose head is fs:[0]:
// the previous entry and the handler the system calls while it searches the
// chain (and again while it unwinds it).
struct Registration {
  using Handler = EXCEPTION_DISPOSITION(__cdecl*)(EXCEPTION_RECORD* record, void* frame,
                                                  CONTEXT* context, void* dispatcher);
  Registration* next;
  Handler handler;
};

// CallProtected's entry, on its own stack frame.
struct ProtectedFrame {
  Registration registration;  // first: the chain points here
  void* resume[5];            // __builtin_setjmp's buffer
  Fault* fault;
};

Registration* ChainHead() {
  Registration* head;
  asm volatile("movl %%fs:0, %0" : "=r"(head)::"memory");
  return head;
}

void SetChainHead(Registration* head) {
  asm volatile("movl %0, %%fs:0" ::"r"(head) : "memory");
}

}  // namespace
}  // namespace tarvenix::library

extern "C" {

// After RtlUnwind has unwound every frame above the protected one, the
// protected frame heads the chain again: take it off and resume CallProtected
// where __builtin_setjmp returns the second time. Reached from
// tarvenix_unwind_and_resume only, with no register but the stack pointer to
// rely on: the system's RtlUnwind does not keep the callee-saved registers.
[[noreturn]] __attribute__((used)) void tarvenix_resume_protected() {
  using namespace tarvenix::library;
  auto* frame = reinterpret_cast<ProtectedFrame*>(ChainHead());
  SetChainHead(frame->registration.next);
  __builtin_longjmp(frame->resume, 1);
}

// tarvenix_unwind_and_resume(frame, record): RtlUnwind(frame, target,
// record, 0) calls the unwind handlers of every registration above `frame`
// (the host's frames between the protected call and the raise) and takes
// them off the chain; it then continues at `target`, right after the call,
// which is where the system returns to anyway.
void tarvenix_unwind_and_resume(void* frame, EXCEPTION_RECORD* record);
asm(".text\n"
    "_tarvenix_unwind_and_resume:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl $0\n"
    "  pushl 12(%ebp)\n"
    "  pushl $1f\n"
    "  pushl 8(%ebp)\n"
    "  call _RtlUnwind@16\n"
    "1:\n"
    "  call _tarvenix_resume_protected\n");

// The protected frame's handler. It takes every structured exception raised
// above it that reaches it in the search, copies the record and unwinds.
// Unwinding passes and nested dispatches are left alone.
EXCEPTION_DISPOSITION __cdecl tarvenix_protected_frame_handler(EXCEPTION_RECORD* record,
                                                               void* establisher,
                                                               CONTEXT* /*context*/,
                                                               void* /*dispatcher*/) {
  using namespace tarvenix::library;
  constexpr DWORD kNotForUs = EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND | EXCEPTION_NESTED_CALL;
  if ((record->ExceptionFlags & kNotForUs) != 0) {
    return ExceptionContinueSearch;
  }
  auto* frame = static_cast<ProtectedFrame*>(establisher);
  Fault& fault = *frame->fault;
  fault.code = record->ExceptionCode;
  fault.flags = record->ExceptionFlags & EXCEPTION_NONCONTINUABLE;
  fault.parameterCount = std::min<DWORD>(record->NumberParameters, Fault::kMaxParameters);
  std::copy_n(record->ExceptionInformation, fault.parameterCount, fault.parameters);
  tarvenix_unwind_and_resume(frame, record);
  return ExceptionContinueSearch;  // not reached
}

}  // extern "C"

namespace tarvenix::library {
namespace {

constexpr const char* kUnknownMessage = "Unknown exception";

// The message of the last failure raised on this thread. Only failures
// touch it, so the success path never pays for the thread's copy.
thread_local std::array<char, 256> lastMessage;

Fault MessageFault(std::uint32_t code, const char* message) {
  const std::size_t length = std::min(std::strlen(message), lastMessage.size() - 1);
  std::memcpy(lastMessage.data(), message, length);
  lastMessage[length] = '\0';
  Fault fault{.code = code, .parameterCount = 1};
  fault.parameters[TARVENIX_EXCEPTION_MESSAGE] =
      reinterpret_cast<std::uintptr_t>(lastMessage.data());
  return fault;
}

}  // namespace

__attribute__((noinline)) bool CallProtected(void (*routine)(void*), void* context,
                                             Fault& fault) noexcept {
  ProtectedFrame frame{};
  frame.fault = &fault;
  frame.registration.handler = &tarvenix_protected_frame_handler;
  frame.registration.next = ChainHead();
  if (__builtin_setjmp(frame.resume) != 0) {
    return false;  // resumed by tarvenix_resume_protected, already off the chain
  }
  SetChainHead(&frame.registration);
  routine(context);
  SetChainHead(frame.registration.next);
  return true;
}

Fault CurrentFault() noexcept {
  try {
    throw;
  } catch (const EHostException& e) {
    return e.fault();
  } catch (const std::out_of_range&) {
    return Fault{.code = TARVENIX_EXCEPTION_RANGE_ERROR};
  } catch (const ESerialIO& e) {
    return MessageFault(TARVENIX_EXCEPTION_SERIAL_IO, e.what());
  } catch (const EAbstractError& e) {
    return MessageFault(TARVENIX_EXCEPTION_ABSTRACT, e.what());
  } catch (const std::exception& e) {
    return MessageFault(TARVENIX_EXCEPTION_OTHER, e.what());
  } catch (...) {
    return MessageFault(TARVENIX_EXCEPTION_OTHER, kUnknownMessage);
  }
}

void Raise(const Fault& fault) noexcept {
  ULONG_PTR parameters[Fault::kMaxParameters];
  std::copy_n(fault.parameters, fault.parameterCount, parameters);
  RaiseException(fault.code, fault.flags, fault.parameterCount,
                 fault.parameterCount == 0 ? nullptr : parameters);
}

}  // namespace tarvenix::library
