/* A host written in plain C99 against tarvenix/tarvenix.h alone: it loads
 * the native library with dlopen, gives the driver a line service of its
 * own that answers every frame itself, then opens line 1 and polls
 * dispenser 1 through the driver object's table.
 * Usage: c_host LIBRARY */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <tarvenix/tarvenix.h>

enum { kEot = 4, kStx = 2, kEtx = 3, kAck = 6 };

/* The line service object: the table first, then what its routines keep. */
typedef struct LineService {
  TarvenixObject object;
  TVM30_ReplyCheckHandler check;
  void* checkObject;
  TVM30_LineInitHandler init;
  uint8_t lineState;
  uint32_t lineError;
  uint32_t configured[3];
  int acknowledgements;
  char sequence[8]; /* the sequence digit of each frame, in order */
  int frames;
  int badFrames;
} LineService;

static LineService* Service(TarvenixObject* link) {
  return (LineService*)link; /* the object is the first member */
}

static int32_t TARVENIX_CALL FailResult(TarvenixObject* link, uint32_t line) {
  (void)link;
  (void)line;
  return -1;
}

static void TARVENIX_CALL SetLineError(TarvenixObject* link, uint32_t line, uint32_t code) {
  (void)line;
  Service(link)->lineError = code;
}

static void TARVENIX_CALL SetLineState(TarvenixObject* link, uint32_t line, uint32_t state) {
  (void)line;
  Service(link)->lineState = (uint8_t)state;
}

static uint8_t TARVENIX_CALL GetLineState(TarvenixObject* link, uint32_t line) {
  (void)line;
  return Service(link)->lineState;
}

static int32_t TARVENIX_CALL ConfigureLine(TarvenixObject* link, uint32_t line, uint32_t setting,
                                           uint32_t baud) {
  LineService* service = Service(link);
  service->configured[0] = line;
  service->configured[1] = setting;
  service->configured[2] = baud;
  return 0;
}

/* A reply: STX, a filler, the body, ETX and the XOR of all bytes before it. */
static size_t Reply(const char* body, uint8_t* out) {
  size_t length = 0;
  uint8_t bcc = 0;
  size_t i;
  out[length++] = kStx;
  out[length++] = '0';
  memcpy(out + length, body, strlen(body));
  length += strlen(body);
  out[length++] = kEtx;
  for (i = 0; i < length; ++i) {
    bcc ^= out[i];
  }
  out[length++] = bcc;
  return length;
}

/* A request frame: EOT, two address characters, STX, the sequence digit,
 * the command text, ETX, and the XOR of everything after EOT. */
static int FrameIsSound(const uint8_t* frame, uint32_t length) {
  uint8_t bcc = 0;
  uint32_t i;
  if (length < 7 || frame[0] != kEot || frame[3] != kStx || frame[length - 2] != kEtx) {
    return 0;
  }
  for (i = 1; i + 1 < length; ++i) {
    bcc ^= frame[i];
  }
  return bcc == frame[length - 1];
}

static int32_t TARVENIX_CALL Exchange(TarvenixObject* link, uint32_t line, uint32_t port,
                                      const uint8_t* request, uint32_t requestLen, uint8_t* reply,
                                      uint32_t expectedLen, uint32_t mode) {
  LineService* service = Service(link);
  uint8_t rxLen;
  uint8_t expected = (uint8_t)expectedLen;
  (void)port;
  (void)mode;
  if (expectedLen == 0) { /* the ACK or NAK after a reply */
    service->acknowledgements += requestLen == 1 && request[0] == kAck;
    return 0;
  }
  if (!FrameIsSound(request, requestLen) || service->frames == (int)sizeof service->sequence) {
    ++service->badFrames;
    return 1;
  }
  service->sequence[service->frames++] = (char)request[4];
  /* The line reset "S0" gets a state reply, a poll "P" a ready reply: both
   * report the state 225. */
  rxLen = (uint8_t)Reply(request[5] == 'S' ? "S0001000000" : "A0", reply);
  service->check(service->checkObject, line, reply, TARVENIX_REPLY_BUFFER_SIZE - 1, &rxLen,
                 &expected);
  return 0;
}

static void TARVENIX_CALL SetReplyCheck(TarvenixObject* link, uint32_t line,
                                        TVM30_ReplyCheckHandler routine, void* object) {
  (void)line;
  Service(link)->check = routine;
  Service(link)->checkObject = object;
}

static void TARVENIX_CALL SetLineInit(TarvenixObject* link, uint32_t line,
                                      TVM30_LineInitHandler routine, void* object) {
  (void)line;
  (void)object;
  Service(link)->init = routine;
}

static int failures = 0;

/* Held until the process ends, as the interface has no slot that frees a
 * driver object. */
static TarvenixObject* driver;

static void Expect(int condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "c_host: failed: %s\n", what);
    ++failures;
  }
}

int main(int argc, char** argv) {
  TarvenixCode table[TComLink_SLOT_COUNT] = {0};
  LineService service;
  void* library;
  void* symbol;
  Tarvenix_GetDI30 getDI30;
  uint8_t info[TARVENIX_DRIVER_INFO_SIZE];
  uint16_t state;

  if (argc != 2) {
    fprintf(stderr, "usage: %s LIBRARY\n", argv[0]);
    return 2;
  }
  library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  symbol = library == NULL ? NULL : dlsym(library, "GetDI30");
  if (symbol == NULL) {
    fprintf(stderr, "c_host: %s\n", dlerror());
    return 2;
  }
  /* dlsym gives an object pointer; POSIX guarantees it converts. */
  memcpy(&getDI30, &symbol, sizeof getDI30);

  table[TComLink_SLOT_FailResult] = (TarvenixCode)FailResult;
  table[TComLink_SLOT_SetLineError] = (TarvenixCode)SetLineError;
  table[TComLink_SLOT_SetLineState] = (TarvenixCode)SetLineState;
  table[TComLink_SLOT_GetLineState] = (TarvenixCode)GetLineState;
  table[TComLink_SLOT_ConfigureLine] = (TarvenixCode)ConfigureLine;
  table[TComLink_SLOT_Exchange] = (TarvenixCode)Exchange;
  table[TComLink_SLOT_SetReplyCheck] = (TarvenixCode)SetReplyCheck;
  table[TComLink_SLOT_SetLineInit] = (TarvenixCode)SetLineInit;
  memset(&service, 0, sizeof service);
  service.object.table = table;

  driver = (TarvenixObject*)getDI30(0, 0, &service.object);

  ((TVM30_GetDriverInfo)driver->table[TVM30_SLOT_GetDriverInfo])(info, driver);
  Expect(info[0] == 25 && memcmp(info + 1, "v2.50#", 6) == 0, "the driver information");

  ((TVM30_InitLine)driver->table[TVM30_SLOT_InitLine])(driver, 1);
  Expect(service.init != NULL, "InitLine installs the line init handler");
  Expect(service.configured[0] == 1 && service.configured[1] == 14 && service.configured[2] == 4800,
         "InitLine configures line 1 with 14, 4800");

  state = ((TVM30_PollState)driver->table[TVM30_SLOT_PollState])(driver, 1, 1);
  Expect(state == 225, "PollState reports the state 225, refreshed");
  Expect(((TVM30_GetLinkState)driver->table[TVM30_SLOT_GetLinkState])(driver, 1) == 1,
         "the line state is 1 (accepted)");

  /* The reset's frame and the poll after it, which carries the digit 0. */
  Expect(service.badFrames == 0 && service.frames == 2, "two sound frames");
  Expect(memcmp(service.sequence, "10", 2) == 0, "sequence digits 1, then 0 after the reset");
  Expect(service.acknowledgements == 2 && service.lineError == 0, "both replies acknowledged");

  printf("c_host: %s\n", failures == 0 ? "ok" : "FAILED");
  return failures == 0 ? 0 : 1;
}
