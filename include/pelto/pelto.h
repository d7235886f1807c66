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

/* Host services that the extension calls. */
uint32_t PeltoDefineVTR(const char *name, uint32_t type_code, uint32_t initial);
uint32_t PeltoSetWatchOnSFR(uint32_t sfr_id, PeltoHandler handler, uint32_t access);
uint32_t PeltoSetWatchOnMemory(uint32_t first, uint32_t last, PeltoHandler handler, uint32_t access);
uint32_t PeltoCreateTimer(PeltoHandler callback);
uint32_t PeltoSetTimer(uint32_t timer, uint32_t cycles);
uint64_t PeltoGetStates(void);
uint32_t PeltoDefineMenuItem(PeltoMenuItem *item);
uint32_t PeltoReadSFR(uint32_t sfr_id, uint32_t *value, uint32_t *previous, uint32_t mask);
uint32_t PeltoWriteSFR(uint32_t sfr_id, uint32_t value, uint32_t mask);
uint32_t PeltoReadMemory(uint32_t address, uint32_t count, uint8_t *destination);
uint32_t PeltoWriteMemory(uint32_t address, uint32_t count, const uint8_t *source);
uint32_t PeltoGetLastMemoryAddress(void);
uint32_t PeltoGetProgramCounter(void);
void     PeltoHandleFocus(uintptr_t window);

/* Host services that the extension looks up but never calls; signatures are the host's. */
uint32_t PeltoDefineSFR(const char *name, uint32_t sfr_id, uint32_t reset_value);
uint32_t PeltoDeclareInterrupt(uint32_t vector, uint32_t priority);
uint32_t PeltoSetWatchOnVTR(uint32_t vtr, PeltoHandler handler, uint32_t access);
uint32_t PeltoWriteVTR(uint32_t vtr, uint32_t value);
uint32_t PeltoReadVTR(uint32_t vtr, uint32_t *value);
uint32_t PeltoSetSFRReadValue(uint32_t sfr_id, uint32_t value);
uint32_t PeltoIsSimulatorAccess(void);
uint32_t PeltoIsInInterrupt(void);
uint32_t PeltoIsSleeping(void);
uint32_t PeltoStopSimulator(void);
uint32_t PeltoTriggerReset(void);
uint32_t PeltoUpdateWindows(void);
uint32_t PeltoGetExternalClockRate(void);
uint32_t PeltoGetInternalClockRate(void);
uint32_t PeltoGetClockFactor(void);
uint32_t PeltoMessage(const char *text);
uint32_t PeltoGetTargetKey(void);
uint32_t PeltoSetTargetKey(uint32_t key);
uint32_t PeltoGetSymbolByName(const char *name, uint32_t *value);
uint32_t PeltoGetSymbolByValue(uint32_t value, char *name, uint32_t size);

/* Host memory address spaces (bits 31..24 of a host memory address). */
#define PELTO_SPACE_CODE  0xFF000000u
#define PELTO_SPACE_XDATA 0x01000000u

#ifdef __cplusplus
}
#endif

#if defined(__cplusplus) && defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(PeltoStartupRecord) == 20, "start-up record layout");
static_assert(sizeof(PeltoWindowDescriptor) == 36, "window descriptor layout");
static_assert(sizeof(PeltoMenuItem) == 24, "menu item layout");
#endif

#endif /* PELTO_PELTO_H */
