/*
 * Binary interface between an 8051 simulator host and a Pelto extension library.
 *
 * The host loads the extension and calls its one export, PeltoEntry. The extension looks up
 * the host services below by name in the host module (GetProcAddress on Windows, dlsym on
 * Linux) and calls them from inside the host's calls. Everything runs on the host's thread,
 * one call at a time.
 *
 * All functions have C linkage and the platform's default C calling convention (cdecl on
 * 32-bit Windows); no name decoration.
 */
#ifndef PELTO_PELTO_H
#define PELTO_PELTO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define PELTO_EXPORT __declspec(dllexport)
#else
#define PELTO_EXPORT __attribute__((visibility("default")))
#endif

/* Watch handlers and timer callbacks. */
typedef void (*PeltoHandler)(void);

/* Entry call codes, the first argument of PeltoEntry. */
enum {
    PELTO_ENTRY_CHECK = 0,
    PELTO_ENTRY_START = 1,
    PELTO_ENTRY_RESET = 3
};

/* Processor type of the 8051 family in the check record. */
#define PELTO_PROCESSOR_8051 0x1F73u

typedef struct PeltoCheckRecord {          /* ENTRY_CHECK */
    uint32_t processor_type;
} PeltoCheckRecord;

typedef struct PeltoStartupRecord {        /* ENTRY_START; 20 bytes on 32-bit Windows */
    uintptr_t host_module;                 /* HMODULE on Windows, dlsym handle on Linux */
    uint32_t  reserved[4];                 /* the host's; never read by the extension */
} PeltoStartupRecord;

typedef struct PeltoWindowDescriptor {     /* 36 bytes on 32-bit Windows */
    uint32_t  host_word1;
    uintptr_t window;                      /* HWND of the open status window, 0 if closed */
    uint32_t  host_word3;
    int32_t   saved_left, saved_top, saved_right, saved_bottom;
    void (*update)(void);
    void (*kill)(struct PeltoWindowDescriptor *descriptor);
} PeltoWindowDescriptor;

typedef struct PeltoMenuItem {             /* 24 bytes on 32-bit Windows */
    uint32_t    host_word1;
    const char *text;                      /* "&Flash" */
    void (*callback)(struct PeltoMenuItem *item);
    uint32_t    host_word4;
    uint32_t    identifier;                /* 200 */
    PeltoWindowDescriptor *descriptor;
} PeltoMenuItem;

/* The extension's one export: 0 check, 1 start, 3 reset. */
typedef uint32_t (*PeltoEntryFunction)(uint32_t code, void *record);
uint32_t PeltoEntry(uint32_t code, void *record);

/* Results of the entry and of the host services: 0 is failure, anything else success. */
#define PELTO_RESULT_FAILURE 0u
#define PELTO_RESULT_SUCCESS 1u

/* Watch access codes (the last argument of the watch services). */
#define PELTO_ACCESS_ON_READ     0u
#define PELTO_ACCESS_AFTER_WRITE 1u

/* PeltoSetTimer's cycle count that cancels the timer. */
#define PELTO_TIMER_DISARM 0xFFFFFFFFu

/*
 * The host services, one list. Each is looked up by its name ("Pelto" followed by the first
 * field); a start-up fails unless the host module exports every one of them.
 *
 * PELTO_CALLED_SERVICES(X): the services the extension calls, as X(name, result, (parameters),
 * (arguments)); a host's exports must have exactly these signatures.
 * PELTO_LOOKED_UP_SERVICES(X): the services it looks up but never calls, as X(name); their
 * signatures are the host's to choose.
 *
 * What every host guarantees:
 *  - A write watch on a register runs after each write of it by the program, by any
 *    instruction. During the call the last memory address is the register's identifier and the
 *    program counter the address of the writing instruction; ReadSFR's previous value is the
 *    value before that write.
 *  - A read watch on code memory runs on each MOVC data read of a watched byte, never on an
 *    instruction fetch; the last memory address is the host memory address read.
 *  - Writes made through WriteSFR or WriteMemory run no watch.
 *  - A timer set to n cycles while the count is T runs once, at the first instruction boundary
 *    where the count has reached T + n; during the callback GetStates() returns exactly T + n
 *    and the last memory address is 0, which agrees with no register.
 */
#define PELTO_CALLED_SERVICES(X)                                                                   \
    X(DefineVTR, uint32_t, (const char *name, uint32_t type_code, uint32_t initial),               \
      (name, type_code, initial))                                                                  \
    X(SetWatchOnSFR, uint32_t, (uint32_t sfr_id, PeltoHandler handler, uint32_t access),           \
      (sfr_id, handler, access))                                                                   \
    X(SetWatchOnMemory, uint32_t, (uint32_t first, uint32_t last, PeltoHandler handler, uint32_t access), \
      (first, last, handler, access))                                                              \
    X(CreateTimer, uint32_t, (PeltoHandler callback), (callback))                                  \
    X(SetTimer, uint32_t, (uint32_t timer, uint32_t cycles), (timer, cycles))                      \
    X(GetStates, uint64_t, (void), ())                                                             \
    X(DefineMenuItem, uint32_t, (PeltoMenuItem *item), (item))                                     \
    X(ReadSFR, uint32_t, (uint32_t sfr_id, uint32_t *value, uint32_t *previous, uint32_t mask),    \
      (sfr_id, value, previous, mask))                                                             \
    X(WriteSFR, uint32_t, (uint32_t sfr_id, uint32_t value, uint32_t mask), (sfr_id, value, mask)) \
    X(ReadMemory, uint32_t, (uint32_t address, uint32_t count, uint8_t *destination),              \
      (address, count, destination))                                                               \
    X(WriteMemory, uint32_t, (uint32_t address, uint32_t count, const uint8_t *source),            \
      (address, count, source))                                                                    \
    X(GetLastMemoryAddress, uint32_t, (void), ())                                                  \
    X(GetProgramCounter, uint32_t, (void), ())                                                     \
    X(HandleFocus, void, (uintptr_t window), (window))

#define PELTO_LOOKED_UP_SERVICES(X)                                                                \
    X(DefineSFR) X(DeclareInterrupt) X(SetWatchOnVTR) X(WriteVTR) X(ReadVTR) X(SetSFRReadValue)    \
    X(IsSimulatorAccess) X(IsInInterrupt) X(IsSleeping) X(StopSimulator) X(TriggerReset)           \
    X(UpdateWindows) X(GetExternalClockRate) X(GetInternalClockRate) X(GetClockFactor) X(Message)  \
    X(GetTargetKey) X(SetTargetKey) X(GetSymbolByName) X(GetSymbolByValue)

#define PELTO_DECLARE_SERVICE(name, result, parameters, arguments) result Pelto##name parameters;
PELTO_CALLED_SERVICES(PELTO_DECLARE_SERVICE)
#undef PELTO_DECLARE_SERVICE

/* Host memory address spaces (bits 31..24 of a host memory address). */
#define PELTO_SPACE_CODE  0xFF000000u
#define PELTO_SPACE_XDATA 0x01000000u
#define PELTO_SPACE_MASK  0xFF000000u

#ifdef __cplusplus
}
#endif

#if defined(__cplusplus) && defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(PeltoStartupRecord) == 20, "start-up record layout");
static_assert(sizeof(PeltoWindowDescriptor) == 36, "window descriptor layout");
static_assert(sizeof(PeltoMenuItem) == 24, "menu item layout");
#endif

#endif /* PELTO_PELTO_H */
