/* The Tarvenix binary interface, for host programs in C, C++ or any language
 * with a C foreign-function interface. C99 and C++.
 *
 * A host loads the library (Tarvenix.dll on 32-bit Windows, libTarvenix.so
 * elsewhere), calls a factory with its line service object, and from then on
 * calls the returned driver object's operations through its table. The
 * driver in turn calls the line service's operations through that object's
 * table. docs/binary-interface.md describes every operation; this header
 * states the types.
 *
 * Objects: both the driver object and the host's line service object start
 * with one word, the address of their operation table, slot n at index n
 * (TarvenixObject). The host may put a table of its own into a driver object
 * to wrap slots; the driver's operations call each other through the table
 * the object holds at the time of the call.
 *
 * Parameters: one per stack word on 32-bit Windows, where every routine is
 * __stdcall (arguments pushed right to left, removed by the callee); a
 * double takes two words. Elsewhere the platform's C convention applies,
 * with the same parameters in the same order. A "byte" parameter arrives as
 * a whole uint32_t word of which only the low byte is read; an int32_t is
 * read whole. Line and Addr are 1..32 everywhere. The words given in each
 * typedef's comment are what the routine removes from the stack on 32-bit
 * Windows, object or result address included.
 *
 * Lifetime: a driver object lives until the process ends (no slot frees
 * it), and the driver never frees or withdraws anything from the line
 * service, which must outlive every driver object made for it.
 *
 * Failures: natively, C++ exceptions (tarvenix::ESerialIO,
 * tarvenix::ERangeError, std::logic_error for Abstract0; see
 * tarvenix/errors.hpp). On 32-bit Windows, structured exceptions with the
 * codes below, raised by the routine the host called; if a handler of the
 * host continues one, the routine returns a zero result and writes nothing
 * more.
 */
#ifndef TARVENIX_TARVENIX_H
#define TARVENIX_TARVENIX_H

#include <stdint.h>

#if defined(_WIN32) && (defined(_M_IX86) || defined(__i386__))
#define TARVENIX_CALL __stdcall
#elif defined(_WIN32)
#error "Tarvenix.dll is a 32-bit (i686) library"
#else
#define TARVENIX_CALL
#endif

/* The factories are exported by name, undecorated (GetDI30, not
 * _GetDI30@12). */
#if defined(_WIN32)
#define TARVENIX_API
#elif defined(__GNUC__)
#define TARVENIX_API __attribute__((visibility("default")))
#else
#define TARVENIX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* --- Objects and tables. */

/* An entry of an operation table: a code address, cast to the slot's own
 * routine type below before it is called. */
typedef void (*TarvenixCode)(void);

/* Any object of the interface. The host's line service object is one: its
 * first word is the address of its table, whatever follows is the host's. */
typedef struct TarvenixObject {
  const TarvenixCode* table;
} TarvenixObject;

/* --- The factories. Each makes a new, independent driver object bound to
 * `link` and returns it; no line is opened and no dispenser contacted. A
 * null `link` is the range error. */

/* 3 words. `x` is not read; `appHandle` is the host application's window
 * handle, kept but unused. */
TARVENIX_API void* TARVENIX_CALL GetDI30(uint32_t x, uint32_t appHandle, TarvenixObject* link);
/* 8 words: GetDI30's three and five that are not read. */
TARVENIX_API void* TARVENIX_CALL GetDriver25(uint32_t x, uint32_t appHandle, TarvenixObject* link,
                                             uint32_t, uint32_t, uint32_t, uint32_t, uint32_t);

/* As found with GetProcAddress or dlsym. */
typedef void*(TARVENIX_CALL* Tarvenix_GetDI30)(uint32_t x, uint32_t appHandle,
                                               TarvenixObject* link);
typedef void*(TARVENIX_CALL* Tarvenix_GetDriver25)(uint32_t x, uint32_t appHandle,
                                                   TarvenixObject* link, uint32_t, uint32_t,
                                                   uint32_t, uint32_t, uint32_t);

/* --- The driver object's table: 24 slots. */

enum TVM30Slot {
  TVM30_SLOT_Abstract0 = 0,
  TVM30_SLOT_GetDriverInfo = 1,
  TVM30_SLOT_SetLinkState = 2,
  TVM30_SLOT_GetLinkState = 3,
  TVM30_SLOT_StopPump = 4,
  TVM30_SLOT_Nop5 = 5,
  TVM30_SLOT_ReadLiveRepeated = 6,
  TVM30_SLOT_ReadTotals = 7,
  TVM30_SLOT_Nop8 = 8,
  TVM30_SLOT_ReadLive = 9,
  TVM30_SLOT_PollState = 10,
  TVM30_SLOT_SetUnitPrice = 11,
  TVM30_SLOT_Nop12 = 12,
  TVM30_SLOT_SetDoseVolume = 13,
  TVM30_SLOT_SetDoseMoney = 14,
  TVM30_SLOT_StartPump = 15,
  TVM30_SLOT_InitLine = 16,
  TVM30_SLOT_ReadParam = 17,
  TVM30_SLOT_WriteParam = 18,
  TVM30_SLOT_StartPump2 = 19,
  TVM30_SLOT_QueryCapability = 20,
  TVM30_SLOT_GetStateRecord = 21,
  TVM30_SLOT_StopPump2 = 22,
  TVM30_SLOT_StopPump3 = 23,
  TVM30_SLOT_COUNT = 24
};

/* What GetDriverInfo writes: a length byte (25) and 25 Windows-1251
 * characters, "v2.50#Протокол к Tarvenix". */
#define TARVENIX_DRIVER_INFO_SIZE 26

/* The host's 16-byte record that GetStateRecord fills in place. */
typedef struct TStateRecord {
  uint8_t state;        /* the state code, as PollState's low byte */
  uint8_t notRefreshed; /* 0: the poll's reply was accepted; 1: refused, `state` is the old one */
  uint8_t host[12];     /* left as the host left them */
  uint8_t stateLow;     /* state AND 7 */
  uint8_t zero;         /* 0 */
} TStateRecord;

/* The routine of each slot; `self` is the driver object. Results: a byte or
 * Boolean as uint8_t, the 16-bit state as uint16_t, a real as double (in
 * ST(0) on 32-bit Windows). Pointer parameters must not be null: a null
 * result address or record is the range error and nothing is written. */

/* 1 word. Has no implementation: always fails ("Abstract error"). */
typedef void(TARVENIX_CALL* TVM30_Abstract0)(void* self);
/* 2 words. The result address comes first; it must hold
 * TARVENIX_DRIVER_INFO_SIZE bytes, and the rest of it is left alone. */
typedef void(TARVENIX_CALL* TVM30_GetDriverInfo)(uint8_t* result, void* self);
/* 3 words. line, value: bytes. */
typedef void(TARVENIX_CALL* TVM30_SetLinkState)(void* self, uint32_t line, uint32_t value);
/* 2 words. line: byte. The line state of the last exchange (1 on a new object). */
typedef uint8_t(TARVENIX_CALL* TVM30_GetLinkState)(void* self, uint32_t line);
/* 4 words. The last word is not read. */
typedef void(TARVENIX_CALL* TVM30_StopPump)(void* self, int32_t line, int32_t addr,
                                            uint32_t unread);
/* 2 words. Does nothing. */
typedef void(TARVENIX_CALL* TVM30_Nop5)(void* self, uint32_t);
/* 5 words. Writes both doubles. */
typedef void(TARVENIX_CALL* TVM30_ReadLiveRepeated)(void* self, int32_t line, int32_t addr,
                                                    double* volume, double* money);
/* 8 words. Writes 0.0 to both doubles first, then the counters; the last
 * two words are not read. */
typedef void(TARVENIX_CALL* TVM30_ReadTotals)(void* self, int32_t line, int32_t addr,
                                              int32_t selector, double* volume, double* money,
                                              uint32_t, uint32_t);
/* 8 words. Does nothing. */
typedef void(TARVENIX_CALL* TVM30_Nop8)(void* self, uint32_t, uint32_t, uint32_t, uint32_t,
                                        uint32_t, uint32_t, uint32_t);
/* 4 words. Returns the live volume and writes the live money. */
typedef double(TARVENIX_CALL* TVM30_ReadLive)(void* self, int32_t line, int32_t addr,
                                              double* money);
/* 3 words. line, addr: bytes. The state code in the low byte; the high byte
 * is 0 when the reply was accepted, 1 when it was refused. */
typedef uint16_t(TARVENIX_CALL* TVM30_PollState)(void* self, uint32_t line, uint32_t addr);
/* 8 words (the price takes two). Three words not read. */
typedef void(TARVENIX_CALL* TVM30_SetUnitPrice)(void* self, int32_t line, int32_t addr, uint32_t,
                                                uint32_t, uint32_t, double price);
/* 4 words. Does nothing. */
typedef void(TARVENIX_CALL* TVM30_Nop12)(void* self, uint32_t, uint32_t, uint32_t);
/* 7 words (the dose takes two). Two words not read. */
typedef void(TARVENIX_CALL* TVM30_SetDoseVolume)(void* self, int32_t line, int32_t addr, uint32_t,
                                                 uint32_t, double volume);
/* 7 words (the dose takes two). Two words not read. */
typedef void(TARVENIX_CALL* TVM30_SetDoseMoney)(void* self, int32_t line, int32_t addr, uint32_t,
                                                uint32_t, double money);
/* 4 words. */
typedef void(TARVENIX_CALL* TVM30_StartPump)(void* self, int32_t line, int32_t addr,
                                             int32_t startMode);
/* 2 words. line: byte; the whole word goes on to the line service. */
typedef void(TARVENIX_CALL* TVM30_InitLine)(void* self, uint32_t line);
/* 4 words. Returns 0..255. */
typedef int32_t(TARVENIX_CALL* TVM30_ReadParam)(void* self, int32_t line, int32_t addr,
                                                int32_t paramNo);
/* 5 words. */
typedef void(TARVENIX_CALL* TVM30_WriteParam)(void* self, int32_t line, int32_t addr,
                                              int32_t paramNo, int32_t paramValue);
/* 5 words. The last word is not read. */
typedef void(TARVENIX_CALL* TVM30_StartPump2)(void* self, int32_t line, int32_t addr,
                                              int32_t startMode, uint32_t);
/* 3 words. True (1) for kinds 1..5, which set *value; false for any other
 * kind, which leaves it alone. */
typedef uint8_t(TARVENIX_CALL* TVM30_QueryCapability)(void* self, uint32_t kind, int32_t* value);
/* 5 words. The record comes first; line, addr: bytes; the last word is not
 * read. Writes state, notRefreshed, stateLow and zero; a failure writes
 * nothing. */
typedef void(TARVENIX_CALL* TVM30_GetStateRecord)(TStateRecord* record, void* self, uint32_t line,
                                                  uint32_t addr, uint32_t);
/* 5 words. hostByte (a byte) is passed on as StopPump's last word. */
typedef void(TARVENIX_CALL* TVM30_StopPump2)(void* self, int32_t line, int32_t addr, uint32_t,
                                             uint32_t hostByte);
/* 5 words. As StopPump2. */
typedef void(TARVENIX_CALL* TVM30_StopPump3)(void* self, int32_t line, int32_t addr, uint32_t,
                                             uint32_t hostByte);

/* --- The handlers the driver installs with the line service. Each travels
 * as two words, the routine and the driver object it is bound to; the line
 * service calls the routine with that object first. */

/* 6 words. Judges the bytes received so far: `buffer` up to `highIndex`
 * (its highest valid index), `*rxLen` bytes received, `*expectedLen` as the
 * driver gave Exchange. Calls SetLineState then SetLineError once each and
 * returns 1 when it accepts the reply. */
typedef uint8_t(TARVENIX_CALL* TVM30_ReplyCheckHandler)(void* object, uint32_t line,
                                                        const uint8_t* buffer, int32_t highIndex,
                                                        const uint8_t* rxLen,
                                                        const uint8_t* expectedLen);
/* 2 words. Configures the line and resets dispenser 1 on it, as InitLine
 * does; it may fail like InitLine. */
typedef void(TARVENIX_CALL* TVM30_LineInitHandler)(void* object, uint32_t line);

/* --- The host's line service: the slots the driver calls. Its table must
 * have at least TComLink_SLOT_COUNT slots; the others are never read. */

enum TComLinkSlot {
  TComLink_SLOT_FailResult = 1,
  TComLink_SLOT_SetLineError = 2,
  TComLink_SLOT_SetLineState = 3,
  TComLink_SLOT_GetLineState = 4,
  TComLink_SLOT_ConfigureLine = 17,
  TComLink_SLOT_Exchange = 18,
  TComLink_SLOT_SetReplyCheck = 19,
  TComLink_SLOT_SetLineInit = 21,
  TComLink_SLOT_COUNT = 22
};

/* The reply buffer Exchange receives into: 31 bytes, 51 for the parameter
 * commands (ReadParam, WriteParam). Its size is not passed. */
#define TARVENIX_REPLY_BUFFER_SIZE 31
#define TARVENIX_PARAM_BUFFER_SIZE 51

/* `link` is the line service object; line, codes, states, lengths and modes
 * are bytes passed as whole words. */

/* 2 words. What a command gets when Exchange or GetLineState failed;
 * non-zero fails the operation. */
typedef int32_t(TARVENIX_CALL* TComLink_FailResult)(TarvenixObject* link, uint32_t line);
/* 3 words. code: 0, 209 (no ETX), 219 (wrong length), 222 (bad check byte)
 * or 223 (bad first byte). */
typedef void(TARVENIX_CALL* TComLink_SetLineError)(TarvenixObject* link, uint32_t line,
                                                   uint32_t code);
/* 3 words. state: 1 accepted, 3 rejected. */
typedef void(TARVENIX_CALL* TComLink_SetLineState)(TarvenixObject* link, uint32_t line,
                                                   uint32_t state);
/* 2 words. 1 after an exchange whose reply the reply check accepted. */
typedef uint8_t(TARVENIX_CALL* TComLink_GetLineState)(TarvenixObject* link, uint32_t line);
/* 4 words. Always (line, 14, 4800); the result is ignored. */
typedef int32_t(TARVENIX_CALL* TComLink_ConfigureLine)(TarvenixObject* link, uint32_t line,
                                                       uint32_t setting, uint32_t baud);
/* 8 words. `port` is the line again. Sends the request and leaves the reply
 * from reply[0], judged by the installed reply check; 0 = success. For the
 * ACK (6) or NAK (21) after a reply: requestLen 1, expectedLen 0, mode 0,
 * request == reply, and nothing may be received into the buffer. */
typedef int32_t(TARVENIX_CALL* TComLink_Exchange)(TarvenixObject* link, uint32_t line,
                                                  uint32_t port, const uint8_t* request,
                                                  uint32_t requestLen, uint8_t* reply,
                                                  uint32_t expectedLen, uint32_t mode);
/* 4 words. In force for the following exchanges on the line. */
typedef void(TARVENIX_CALL* TComLink_SetReplyCheck)(TarvenixObject* link, uint32_t line,
                                                    TVM30_ReplyCheckHandler routine, void* object);
/* 4 words. The handler may be called at any later time. */
typedef void(TARVENIX_CALL* TComLink_SetLineInit)(TarvenixObject* link, uint32_t line,
                                                  TVM30_LineInitHandler routine, void* object);

/* --- Structured exceptions the 32-bit Windows build raises (flags 0,
 * continuable). A message is NUL-terminated Windows-1251 text that stays
 * valid at least until the thread's next call into the driver. A structured
 * exception of the line service that the driver does not end is raised
 * again with the host's own code, flags and parameters. */

/* A line, address or value out of range, or a null address: no parameters.
 * EXCEPTION_ARRAY_BOUNDS_EXCEEDED, which host runtimes map to their
 * range-check error. */
#define TARVENIX_EXCEPTION_RANGE_ERROR 0xC000008Cu
/* ESerialIO, an exchange failed: 1 parameter, the message. */
#define TARVENIX_EXCEPTION_SERIAL_IO 0xE0534552u
/* Abstract0 was called: 1 parameter, the message "Abstract error". */
#define TARVENIX_EXCEPTION_ABSTRACT 0xE0414253u
/* Any other failure (such as out of memory): 1 parameter, a message. */
#define TARVENIX_EXCEPTION_OTHER 0xE0455252u
/* The index of the message among the exception's parameters. */
#define TARVENIX_EXCEPTION_MESSAGE 0

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TARVENIX_TARVENIX_H */
