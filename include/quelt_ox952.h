/*
 * quelt_ox952: user-mode access to OX952, OX9162 and EP4GXA PCI cards.
 *
 * One flat C interface. Family functions (OX952_, OX9162_, EP4GXA_) address a
 * family's cards by position 0..31 and return a result code (QUELT_OK or one
 * single-bit failure value, see QUELT_RESULT_CODES below). Device-level
 * functions (Ox...) work on one attached device handle at a time.
 *
 * Threads: every function may be called from any thread. Functions that block
 * say so. A card must not be closed while another thread still uses its mapped
 * addresses; interrupt waits are the exception and are ended by the close.
 */
#ifndef QUELT_OX952_H
#define QUELT_OX952_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define QUELT_CALL __stdcall
#if defined(QUELT_BUILDING_LIBRARY)
#define QUELT_API __declspec(dllexport)
#else
#define QUELT_API __declspec(dllimport)
#endif
#else
#define QUELT_CALL
#if defined(QUELT_BUILDING_LIBRARY)
#define QUELT_API __attribute__((visibility("default")))
#else
#define QUELT_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------- */
/* Result codes of the family functions.                                      */
/* ------------------------------------------------------------------------- */

/* The values are fixed; every failure is exactly one of these bits. */
#define QUELT_OK 0x0u                /* success */
#define QUELT_NO_CARD 0x2u           /* position 32 or more, or no card of the family there */
#define QUELT_REFUSED 0x4u           /* connection refused by the card's other connections */
#define QUELT_OPEN_FAILED 0x8u       /* opening the card's device failed */
#define QUELT_NO_IRQ_LINE 0x20u      /* interrupts requested but the card has no interrupt */
#define QUELT_NOT_OPEN 0x40u         /* card not open in this process, or the operation failed */
#define QUELT_NO_REGION 0x80u        /* the requested memory region is not available */
#define QUELT_IRQ_NOT_ENABLED 0x100u /* the card was opened without interrupts */
#define QUELT_WAIT_ENDED 0x200u      /* the wait was discarded or the card was closed */
#define QUELT_NULL_POINTER 0x400u    /* a pointer argument is null, or a needed record is missing */
#define QUELT_WAIT_FAILED 0x800u     /* the driver's interrupt wait request failed */
#define QUELT_TIMEOUT 0x1000u        /* the interrupt wait timed out */
#define QUELT_NO_BAR3 0x2000u        /* OX9162_BAR3_BaseAdr: region not available */
#define QUELT_NO_BAR11 0x4000u       /* OX952_BAR11_BaseAdr: region not available */
#define QUELT_NO_BAR13 0x8000u       /* OX952_BAR13_BaseAdr: region not available */
#define QUELT_NO_FUNCTION1 0x20000u  /* OX952: second function missing or ambiguous */
#define QUELT_ALREADY_OPEN 0x40000u  /* the card is already open in this process */
#define QUELT_BAD_OFFSET 0x40000000u /* register offset outside region 0 or misaligned */
#define QUELT_OLD_DRIVER 0x80000000u /* the card driver is older than version 109 */

/* Every code with its text. The switch below rejects a code listed twice, and
 * the mask check below rejects a code left out. */
#define QUELT_RESULT_CODES(X)                                               \
    X(QUELT_OK, "success")                                                  \
    X(QUELT_NO_CARD, "no such card at this position")                       \
    X(QUELT_REFUSED, "connection refused by the card's other connections")  \
    X(QUELT_OPEN_FAILED, "opening the card's device failed")                \
    X(QUELT_NO_IRQ_LINE, "interrupts requested but the card has none")      \
    X(QUELT_NOT_OPEN, "card not open in this process, or operation failed") \
    X(QUELT_NO_REGION, "memory region not available")                       \
    X(QUELT_IRQ_NOT_ENABLED, "card was opened without interrupts")          \
    X(QUELT_WAIT_ENDED, "interrupt wait discarded or card closed")          \
    X(QUELT_NULL_POINTER, "null pointer argument or missing record")        \
    X(QUELT_WAIT_FAILED, "the driver's interrupt wait request failed")      \
    X(QUELT_TIMEOUT, "interrupt wait timed out")                            \
    X(QUELT_NO_BAR3, "OX9162 BAR3 region not available")                    \
    X(QUELT_NO_BAR11, "OX952 function 1 first region not available")        \
    X(QUELT_NO_BAR13, "OX952 function 1 second region not available")       \
    X(QUELT_NO_FUNCTION1, "OX952 second function missing or ambiguous")     \
    X(QUELT_ALREADY_OPEN, "card already open in this process")              \
    X(QUELT_BAD_OFFSET, "register offset outside region 0 or misaligned")   \
    X(QUELT_OLD_DRIVER, "card driver older than version 109")

#define QUELT_ALL_CODES_                                                                                   \
    (QUELT_NO_CARD | QUELT_REFUSED | QUELT_OPEN_FAILED | QUELT_NO_IRQ_LINE | QUELT_NOT_OPEN |              \
     QUELT_NO_REGION | QUELT_IRQ_NOT_ENABLED | QUELT_WAIT_ENDED | QUELT_NULL_POINTER | QUELT_WAIT_FAILED | \
     QUELT_TIMEOUT | QUELT_NO_BAR3 | QUELT_NO_BAR11 | QUELT_NO_BAR13 | QUELT_NO_FUNCTION1 |                \
     QUELT_ALREADY_OPEN | QUELT_BAD_OFFSET | QUELT_OLD_DRIVER)
#define QUELT_CODE_BIT_(name, text) | (name)
#if (0u QUELT_RESULT_CODES(QUELT_CODE_BIT_)) != QUELT_ALL_CODES_
#error "QUELT_RESULT_CODES must list every result code"
#endif
#undef QUELT_CODE_BIT_

/* A short English text for a result code; "unknown result code" for any
 * value that is not one of the codes above. Never null, never a shared
 * buffer. */
static inline const char* quelt_result_text(uint32_t code) {
#define QUELT_TEXT_CASE_(name, text) \
    case name:                       \
        return text;
    switch (code) {
        QUELT_RESULT_CODES(QUELT_TEXT_CASE_)
        default:
            return "unknown result code";
    }
#undef QUELT_TEXT_CASE_
}

/* The interface version every *_InterfaceVersion function reports. */
#define QUELT_INTERFACE_VERSION 318u

/* ------------------------------------------------------------------------- */
/* Device-level records.                                                      */
/* ------------------------------------------------------------------------- */

/* An attached device. Opaque: pass it back to the Ox functions. */
typedef struct DeviceHandle DeviceHandle;

/* One mapped memory region: its address in this process and its length. */
typedef struct OxRegion {
    void* address;
    uint64_t length;
} OxRegion;

/* What the card driver delivers when a device is attached (336 bytes).
 * Valid until the handle is closed. */
typedef struct DeviceResources {
    int32_t regionCount;   /*   0: valid entries in regions[]            */
    uint32_t reserved0;    /*   4                                        */
    OxRegion regions[16];  /*   8                                        */
    uint8_t reserved1[8];  /* 264                                        */
    uint32_t bus;          /* 272: PCI bus number                        */
    uint32_t slot;         /* 276: slot number, 0 when unknown           */
    uint32_t vendorId;     /* 280                                        */
    uint32_t deviceId;     /* 284                                        */
    uint32_t pciAddress;   /* 288: upper 16 bits: device number on bus   */
    uint8_t irqLine;       /* 292: 0 when the card has no interrupt      */
    uint8_t reserved2[11]; /* 293                                        */
    void* statusBlock;     /* 304: the card's shared status block, or 0  */
    uint64_t dmaKey;       /* 312: non-zero while a DMA buffer is held   */
    uint64_t dmaSize;      /* 320: DMA buffer size in bytes              */
    uint64_t dmaBase;      /* 328: DMA buffer base                       */
} DeviceResources;

#if defined(__cplusplus)
#define QUELT_STATIC_ASSERT_(cond, msg) static_assert(cond, msg)
#else
#define QUELT_STATIC_ASSERT_(cond, msg) _Static_assert(cond, msg)
#endif
QUELT_STATIC_ASSERT_(sizeof(void*) == 8, "quelt_ox952 is a 64-bit library");
QUELT_STATIC_ASSERT_(sizeof(DeviceResources) == 336, "DeviceResources is 336 bytes");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, regions) == 8, "regions at 8");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, bus) == 272, "bus at 272");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, slot) == 276, "slot at 276");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, vendorId) == 280, "vendorId at 280");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, deviceId) == 284, "deviceId at 284");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, pciAddress) == 288, "pciAddress at 288");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, irqLine) == 292, "irqLine at 292");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, statusBlock) == 304, "statusBlock at 304");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, dmaKey) == 312, "dmaKey at 312");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, dmaSize) == 320, "dmaSize at 320");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, dmaBase) == 328, "dmaBase at 328");

/* ------------------------------------------------------------------------- */
/* Device-level functions.                                                    */
/* ------------------------------------------------------------------------- */

/* Attaches the index-th (1-based) present card whose description contains
 * name (null or "" matches every card) and admits a connection of the given
 * kind (0 normal, 1 multi, 2 diagnostic; other values are admitted and
 * recorded nowhere). Returns the handle, or null when no such card exists, the
 * device cannot be opened or attached, or the connection is refused. */
QUELT_API DeviceHandle* QUELT_CALL OxOpenDevice(const char* name, int32_t index, int32_t kind);

/* Detaches and releases the handle. Null is accepted. Does not release the
 * connection bookkeeping of the card's status block. If OxWaitForIrq calls of
 * this process still use the handle, returns once they have left it. */
QUELT_API void QUELT_CALL OxCloseDevice(DeviceHandle* handle);

/* The device's description (at most 255 characters), or null for null. Valid
 * until the handle is closed. */
QUELT_API const char* QUELT_CALL OxGetBoardName(DeviceHandle* handle);

/* The device's resources, or null for null. Valid until the handle is closed. */
QUELT_API DeviceResources* QUELT_CALL OxGetDeviceResources(DeviceHandle* handle);

/* Kept for compatibility: does nothing and returns -100. */
QUELT_API int32_t QUELT_CALL OxInOut(uintptr_t a, int32_t b, uintptr_t c, int32_t d);

/* Results of OxWaitForIrq. */
#define OX_WAIT_IRQ 0            /* an interrupt came during the wait */
#define OX_WAIT_REQUEST_FAILED 1 /* the driver's wait request failed */
#define OX_WAIT_ALREADY_CAME 2   /* an interrupt had come before the call: no wait */
#define OX_WAIT_TIMED_OUT 3      /* the time-out passed without an interrupt */
#define OX_WAIT_ENDED 4          /* *slot emptied, its handle being closed, or the wait discarded */
#define OX_WAIT_REFUSED 5        /* null slot, no status block, waitFlag 0, or no open handle */

/* Waits for the next interrupt of the card whose handle is held in *slot.
 * Blocks for up to timeoutMs (0: no limit), asking the driver in slices of at
 * most 5000 ms and reading *slot again after every slice, so another thread
 * ends the wait by setting *slot to null before it closes the handle. A
 * negative time-out makes one request of that many milliseconds, at most
 * 5000, and then returns OX_WAIT_TIMED_OUT. Returns one of the OX_WAIT_
 * results. */
QUELT_API int32_t QUELT_CALL OxWaitForIrq(DeviceHandle** slot, int32_t timeoutMs, uint8_t waitFlag);

/* Ends every interrupt wait pending on the handle's card, in any process. */
QUELT_API void QUELT_CALL OxDiscardWaitForIrq(DeviceHandle* handle);

/* The card's interrupt counter; 0 for null or a handle without status block. */
QUELT_API uint32_t QUELT_CALL OxGetIrqCounter(DeviceHandle* handle);

/* The driver's count of interrupt waits on the card (all handles); 0 for null.
 * Queues behind a wait pending on the same handle. */
QUELT_API uint32_t QUELT_CALL OxGetIrqWaits(DeviceHandle* handle);

/* Asks the driver for its version (cached once 100 or more). Returns it, 99
 * when the request gave no answer, 100 when no card could be opened. May show
 * the incompatible-driver message once per process. */
QUELT_API uint32_t QUELT_CALL OxDriverVersion(void);

/* Results of OxAllocateDMAmem and OxReleaseDMAmem. */
#define OX_DMA_OK 0
#define OX_DMA_NULL_HANDLE (-1)
#define OX_DMA_WRONG_STATE (-2)    /* allocate: a buffer is already held; release: none is held */
#define OX_DMA_REQUEST_FAILED (-3) /* the driver refused; on release the buffer stays held */
#define OX_DMA_SHORT_REPLY (-4)    /* allocate: the driver's reply was too short */

/* Allocates a DMA buffer for the handle; its fields appear in the handle's
 * DeviceResources. Returns OX_DMA_OK, OX_DMA_NULL_HANDLE, OX_DMA_WRONG_STATE,
 * OX_DMA_REQUEST_FAILED or OX_DMA_SHORT_REPLY. Blocks for one driver request. */
QUELT_API int32_t QUELT_CALL OxAllocateDMAmem(DeviceHandle* handle, uint32_t size);

/* Releases the handle's DMA buffer. Returns OX_DMA_OK, OX_DMA_NULL_HANDLE,
 * OX_DMA_WRONG_STATE or OX_DMA_REQUEST_FAILED (the buffer stays held). Blocks
 * for one driver request. */
QUELT_API int32_t QUELT_CALL OxReleaseDMAmem(DeviceHandle* handle);

/* ------------------------------------------------------------------------- */
/* Family functions: one declaration per export, with every result it can    */
/* return. Positions are 0..31 (32 or more gives QUELT_NO_CARD). Calls that   */
/* need an open card never scan: before the first call that names cards     */
/* (CardsInSystem, the identity queries, Open, Close, ClearConnections and   */
/* the OX9162/EP4GXA Card_OpenCount), they find no card.                     */
/* ------------------------------------------------------------------------- */

/* --- OX952 --- */

/* Stores the card driver's version (OxDriverVersion). QUELT_OK;
 * QUELT_NULL_POINTER; QUELT_OLD_DRIVER below 109 (version still stored).
 * Blocks for driver requests until the version is known; may show the
 * incompatible-driver message once per process. */
QUELT_API uint32_t QUELT_CALL OX952_DriverVersion(uint32_t* version);

/* Returns QUELT_INTERFACE_VERSION. Does not block. */
QUELT_API uint32_t QUELT_CALL OX952_InterfaceVersion(void);

/* Counts the family's cards. QUELT_OK; QUELT_NULL_POINTER. The first call
 * that names cards scans them (driver requests). */
QUELT_API uint32_t QUELT_CALL OX952_CardsInSystem(uint32_t* count);

/* The card's PCI device id. QUELT_OK; QUELT_NO_CARD; QUELT_NULL_POINTER
 * (value checked first). Needs no open card; may scan as CardsInSystem. */
QUELT_API uint32_t QUELT_CALL OX952_Card_DID(uint32_t position, uint32_t* deviceId);

/* The card's PCI bus. Results as OX952_Card_DID (value checked after the position). */
QUELT_API uint32_t QUELT_CALL OX952_Card_BUS(uint32_t position, uint32_t* bus);

/* The card's slot number. Results as OX952_Card_DID (value checked after the position). */
QUELT_API uint32_t QUELT_CALL OX952_Card_SLOT(uint32_t position, uint32_t* slot);

/* A normal connection, refused while any other non-diagnostic connection
 * to the card exists in any process.
 * Both functions of the card open together, in this kind.
 * QUELT_OK; QUELT_NO_CARD (position 32 or more); QUELT_OLD_DRIVER;
 * QUELT_ALREADY_OPEN; QUELT_NO_IRQ_LINE (lone function 1 only);
 * QUELT_OPEN_FAILED (also a position without a card); QUELT_NO_FUNCTION1
 * (second function missing or ambiguous); QUELT_REFUSED.
 * irq non-zero asks for the interrupt. Blocks for the attach and admission requests. */
QUELT_API uint32_t QUELT_CALL OX952_Open(uint32_t position, uint32_t irq);

/* A multi connection, refused while another running process holds the
 * card normally.
 * QUELT_OK; QUELT_NO_CARD (position 32 or more); QUELT_OLD_DRIVER;
 * QUELT_ALREADY_OPEN; QUELT_NO_IRQ_LINE (lone function 1 only);
 * QUELT_OPEN_FAILED (also a position without a card); QUELT_NO_FUNCTION1
 * (second function missing or ambiguous); QUELT_REFUSED.
 * irq non-zero asks for the interrupt. Blocks for the attach and admission requests. */
QUELT_API uint32_t QUELT_CALL OX952_OpenMulti(uint32_t position, uint32_t irq);

/* A diagnostic connection, never refused.
 * QUELT_OK; QUELT_NO_CARD (position 32 or more); QUELT_OLD_DRIVER;
 * QUELT_ALREADY_OPEN; QUELT_NO_IRQ_LINE (lone function 1 only);
 * QUELT_OPEN_FAILED (also a position without a card); QUELT_NO_FUNCTION1
 * (second function missing or ambiguous).
 * irq non-zero asks for the interrupt. Blocks for the attach and admission requests. */
QUELT_API uint32_t QUELT_CALL OX952_OpenDiagnostic(uint32_t position, uint32_t irq);

/* QUELT_OK; QUELT_NO_CARD; QUELT_NOT_OPEN (not open in this process; also
 * a position without a card).
 * Ends this process's interrupt waits on the card and blocks until
 * they have left it. */
QUELT_API uint32_t QUELT_CALL OX952_Close(uint32_t position);

/* Connections to the card (all processes) that are not diagnostic.
 * QUELT_OK; QUELT_NO_CARD; QUELT_NULL_POINTER; QUELT_NOT_OPEN (not open
 * in this process). Does not block. The larger count of the two functions. */
QUELT_API uint32_t QUELT_CALL OX952_Card_OpenCount(uint32_t position, uint32_t* count);

/* Closes the card here if open, then wipes the card's connection
 * records for every process. QUELT_OK; QUELT_NO_CARD; QUELT_OPEN_FAILED;
 * QUELT_NULL_POINTER (the card has no status block). Blocks as Close
 * and for driver requests. */
QUELT_API uint32_t QUELT_CALL OX952_ClearConnections(uint32_t position);

/* The shared area of the card's status block, the same memory in every
 * process. QUELT_OK; QUELT_NO_CARD; QUELT_NOT_OPEN; QUELT_NULL_POINTER
 * (null output, or no usable status block). Does not block. */
QUELT_API uint32_t QUELT_CALL OX952_SHARED_BaseAdr(uint32_t position, void** address, uint32_t* length);

/* Function 0, region 0: its mapped address and length. QUELT_OK; QUELT_NO_CARD;
 * QUELT_NOT_OPEN; QUELT_NULL_POINTER; QUELT_NO_REGION. Takes no lock, makes no
 * driver request. */
QUELT_API uint32_t QUELT_CALL OX952_BAR05_BaseAdr(uint32_t position, void** address, uint32_t* length);

/* Function 1, region 0: its mapped address and length. QUELT_OK; QUELT_NO_CARD;
 * QUELT_NOT_OPEN; QUELT_NULL_POINTER; QUELT_NO_BAR11. Takes no lock, makes no
 * driver request. */
QUELT_API uint32_t QUELT_CALL OX952_BAR11_BaseAdr(uint32_t position, void** address, uint32_t* length);

/* Function 1, region 1 (the EEPROM region): its mapped address and length. QUELT_OK; QUELT_NO_CARD;
 * QUELT_NOT_OPEN; QUELT_NULL_POINTER; QUELT_NO_BAR13. Takes no lock, makes no
 * driver request. */
QUELT_API uint32_t QUELT_CALL OX952_BAR13_BaseAdr(uint32_t position, void** address, uint32_t* length);

/* Blocks until the card's next interrupt (function 1), the time-out of
 * IRQ_SetTimeout (0: none) or a Close; *count (may be null) receives the
 * interrupts since Open. QUELT_OK; QUELT_NO_CARD; QUELT_NOT_OPEN;
 * QUELT_IRQ_NOT_ENABLED; QUELT_WAIT_ENDED (closed or discarded);
 * QUELT_NULL_POINTER (no status block); QUELT_WAIT_FAILED; QUELT_TIMEOUT. */
QUELT_API uint32_t QUELT_CALL OX952_IRQ_Wait(uint32_t position, uint32_t* count);

/* Interrupts of function 1 since Open; 0 when not open. Reads shared memory only. */
QUELT_API uint32_t QUELT_CALL OX952_IRQ_Count(uint32_t position);

/* Interrupts of function 0 since Open; 0 when not open. Reads shared
 * memory only. */
QUELT_API uint32_t QUELT_CALL OX952_IRQ_CountF0(uint32_t position);

/* Stores the wait time-out in ms (0: none; negative: one driver wait of
 * at most 5000 ms). QUELT_OK; QUELT_NO_CARD; QUELT_NOT_OPEN;
 * QUELT_IRQ_NOT_ENABLED (stored all the same). Does not block. */
QUELT_API uint32_t QUELT_CALL OX952_IRQ_SetTimeout(uint32_t position, int32_t timeoutMs);

/* One byte at base + offset; base comes from a BaseAdr function. No checks. */
QUELT_API void QUELT_CALL OX952_MemWrite(void* base, uint32_t offset, uint8_t value);

/* As MemWrite, reading. */
QUELT_API uint8_t QUELT_CALL OX952_MemRead(void* base, uint32_t offset);

/* Serial EEPROM: one 16-bit word of the card's 64-word EEPROM (on OX952_BAR13_BaseAdr);
 * the address is taken modulo 64. Calls on one card are serialised within the
 * process; processes sharing a card must not use its EEPROM at the same time. */

/* QUELT_NULL_POINTER (value, checked first); QUELT_NO_CARD; QUELT_NOT_OPEN
 * (also: the region has no address); QUELT_NO_BAR13; QUELT_OK. Does not block. */
QUELT_API uint32_t QUELT_CALL OX952_EEPROM_RD(uint32_t position, uint32_t address, uint16_t* value);

/* QUELT_NO_CARD; QUELT_NOT_OPEN (also: no address, or the part never
 * became ready); QUELT_NO_BAR13; QUELT_OK. Blocks 1 to 51 ms while the part programs. */
QUELT_API uint32_t QUELT_CALL OX952_EEPROM_WR(uint32_t position, uint32_t address, uint16_t value);

/* Sets the word to 0xFFFF; results and blocking as OX952_EEPROM_WR. */
QUELT_API uint32_t QUELT_CALL OX952_EEPROM_Erase(uint32_t position, uint32_t address);

/* --- OX9162 --- */

/* Stores the card driver's version (OxDriverVersion). QUELT_OK;
 * QUELT_NULL_POINTER; QUELT_OLD_DRIVER below 109 (version still stored).
 * Blocks for driver requests until the version is known; may show the
 * incompatible-driver message once per process. */
QUELT_API uint32_t QUELT_CALL OX9162_DriverVersion(uint32_t* version);

/* Returns QUELT_INTERFACE_VERSION. Does not block. */
QUELT_API uint32_t QUELT_CALL OX9162_InterfaceVersion(void);

/* Counts the family's cards. QUELT_OK; QUELT_NULL_POINTER. The first call
 * that names cards scans them (driver requests). */
QUELT_API uint32_t QUELT_CALL OX9162_CardsInSystem(uint32_t* count);

/* The card's PCI device id. QUELT_OK; QUELT_NO_CARD; QUELT_NULL_POINTER
 * (value checked last). Needs no open card; may scan as CardsInSystem. */
QUELT_API uint32_t QUELT_CALL OX9162_Card_DID(uint32_t position, uint32_t* deviceId);

/* The card's PCI bus. Results as OX9162_Card_DID (value checked last). */
QUELT_API uint32_t QUELT_CALL OX9162_Card_BUS(uint32_t position, uint32_t* bus);

/* The card's slot number. Results as OX9162_Card_DID (value checked last). */
QUELT_API uint32_t QUELT_CALL OX9162_Card_SLOT(uint32_t position, uint32_t* slot);

/* A normal connection, refused while any other non-diagnostic connection
 * to the card exists in any process.
 * QUELT_OK; QUELT_NO_CARD; QUELT_OLD_DRIVER; QUELT_NO_IRQ_LINE (tested before
 * QUELT_ALREADY_OPEN); QUELT_ALREADY_OPEN; QUELT_OPEN_FAILED; QUELT_REFUSED.
 * irq non-zero asks for the interrupt. Blocks for the attach and admission requests. */
QUELT_API uint32_t QUELT_CALL OX9162_Open(uint32_t position, uint32_t irq);

/* A multi connection, refused while another running process holds the
 * card normally.
 * QUELT_OK; QUELT_NO_CARD; QUELT_OLD_DRIVER; QUELT_NO_IRQ_LINE (tested before
 * QUELT_ALREADY_OPEN); QUELT_ALREADY_OPEN; QUELT_OPEN_FAILED; QUELT_REFUSED.
 * irq non-zero asks for the interrupt. Blocks for the attach and admission requests. */
QUELT_API uint32_t QUELT_CALL OX9162_OpenMulti(uint32_t position, uint32_t irq);

/* A diagnostic connection, never refused.
 * QUELT_OK; QUELT_NO_CARD; QUELT_OLD_DRIVER; QUELT_NO_IRQ_LINE (tested before
 * QUELT_ALREADY_OPEN); QUELT_ALREADY_OPEN; QUELT_OPEN_FAILED.
 * irq non-zero asks for the interrupt. Blocks for the attach and admission requests. */
QUELT_API uint32_t QUELT_CALL OX9162_OpenDiagnostic(uint32_t position, uint32_t irq);

/* QUELT_OK; QUELT_NO_CARD; QUELT_NOT_OPEN (not open in this process).
 * Ends this process's interrupt waits on the card and blocks until
 * they have left it. */
QUELT_API uint32_t QUELT_CALL OX9162_Close(uint32_t position);

/* Connections to the card (all processes) that are not diagnostic.
 * QUELT_OK; QUELT_NO_CARD; QUELT_NULL_POINTER; QUELT_NOT_OPEN (not open
 * in this process). Does not block. */
QUELT_API uint32_t QUELT_CALL OX9162_Card_OpenCount(uint32_t position, uint32_t* count);

/* Closes the card here if open, then wipes the card's connection
 * records for every process. QUELT_OK; QUELT_NO_CARD; QUELT_OPEN_FAILED;
 * QUELT_NULL_POINTER (the card has no status block). Blocks as Close
 * and for driver requests. */
QUELT_API uint32_t QUELT_CALL OX9162_ClearConnections(uint32_t position);

/* The shared area of the card's status block, the same memory in every
 * process. QUELT_OK; QUELT_NO_CARD; QUELT_NOT_OPEN; QUELT_NULL_POINTER
 * (null output, or no usable status block). Does not block. */
QUELT_API uint32_t QUELT_CALL OX9162_SHARED_BaseAdr(uint32_t position, void** address, uint32_t* length);

/* Region 0: its mapped address and length. QUELT_OK; QUELT_NO_CARD;
 * QUELT_NOT_OPEN; QUELT_NULL_POINTER; QUELT_NO_BAR3. Takes no lock, makes no
 * driver request. */
QUELT_API uint32_t QUELT_CALL OX9162_BAR3_BaseAdr(uint32_t position, void** address, uint32_t* length);

/* Region 1: its mapped address and length. QUELT_OK; QUELT_NO_CARD;
 * QUELT_NOT_OPEN; QUELT_NULL_POINTER; QUELT_NO_REGION. Takes no lock, makes no
 * driver request. */
QUELT_API uint32_t QUELT_CALL OX9162_BAR4_BaseAdr(uint32_t position, void** address, uint32_t* length);

/* Blocks until the card's next interrupt, the time-out of
 * IRQ_SetTimeout (0: none) or a Close; *count (may be null) receives the
 * interrupts since Open. QUELT_OK; QUELT_NO_CARD; QUELT_NOT_OPEN;
 * QUELT_IRQ_NOT_ENABLED; QUELT_WAIT_ENDED (closed or discarded);
 * QUELT_NULL_POINTER (no status block); QUELT_WAIT_FAILED; QUELT_TIMEOUT. */
QUELT_API uint32_t QUELT_CALL OX9162_IRQ_Wait(uint32_t position, uint32_t* count);

/* Interrupts since Open; 0 when not open. Reads shared memory only. */
QUELT_API uint32_t QUELT_CALL OX9162_IRQ_Count(uint32_t position);

/* Stores the wait time-out in ms (0: none; negative: one driver wait of
 * at most 5000 ms). QUELT_OK; QUELT_NO_CARD; QUELT_NOT_OPEN;
 * QUELT_IRQ_NOT_ENABLED (stored all the same). Does not block. */
QUELT_API uint32_t QUELT_CALL OX9162_IRQ_SetTimeout(uint32_t position, int32_t timeoutMs);

/* The driver's count of interrupt waits on the card; 0 when not open.
 * One driver request, through a temporary handle while a thread of
 * this process waits on the card. */
QUELT_API uint32_t QUELT_CALL OX9162_GetIrqWaits(uint32_t position);

/* One byte at base + offset; base comes from a BaseAdr function. No checks. */
QUELT_API void QUELT_CALL OX9162_MemWrite(void* base, uint32_t offset, uint8_t value);

/* As MemWrite, reading. */
QUELT_API uint8_t QUELT_CALL OX9162_MemRead(void* base, uint32_t offset);

/* Serial EEPROM: one 16-bit word of the card's 64-word EEPROM (on the card's first region);
 * the address is taken modulo 64. Calls on one card are serialised within the
 * process; processes sharing a card must not use its EEPROM at the same time. */

/* QUELT_NULL_POINTER (value, checked first); QUELT_NO_CARD; QUELT_NOT_OPEN
 * (also: the region has no address); QUELT_OK. Does not block. */
QUELT_API uint32_t QUELT_CALL OX9162_EEPROM_RD(uint32_t position, uint32_t address, uint16_t* value);

/* QUELT_NO_CARD; QUELT_NOT_OPEN (also: no address, or the part never
 * became ready); QUELT_OK. Blocks 1 to 51 ms while the part programs. */
QUELT_API uint32_t QUELT_CALL OX9162_EEPROM_WR(uint32_t position, uint32_t address, uint16_t value);

/* Sets the word to 0xFFFF; results and blocking as OX9162_EEPROM_WR. */
QUELT_API uint32_t QUELT_CALL OX9162_EEPROM_Erase(uint32_t position, uint32_t address);

/* --- EP4GXA --- */

/* Stores the card driver's version (OxDriverVersion). QUELT_OK;
 * QUELT_NULL_POINTER; QUELT_OLD_DRIVER below 109 (version still stored).
 * Blocks for driver requests until the version is known; may show the
 * incompatible-driver message once per process. */
QUELT_API uint32_t QUELT_CALL EP4GXA_DriverVersion(uint32_t* version);

/* Returns QUELT_INTERFACE_VERSION. Does not block. */
QUELT_API uint32_t QUELT_CALL EP4GXA_InterfaceVersion(void);

/* Counts the family's cards. QUELT_OK; QUELT_NULL_POINTER. The first call
 * that names cards scans them (driver requests). */
QUELT_API uint32_t QUELT_CALL EP4GXA_CardsInSystem(uint32_t* count);

/* The card's PCI device id. QUELT_OK; QUELT_NO_CARD; QUELT_NULL_POINTER
 * (value checked last). Needs no open card; may scan as CardsInSystem. */
QUELT_API uint32_t QUELT_CALL EP4GXA_Card_DID(uint32_t position, uint32_t* deviceId);

/* The card's PCI bus. Results as EP4GXA_Card_DID (value checked last). */
QUELT_API uint32_t QUELT_CALL EP4GXA_Card_BUS(uint32_t position, uint32_t* bus);

/* The card's slot number. Results as EP4GXA_Card_DID (value checked last). */
QUELT_API uint32_t QUELT_CALL EP4GXA_Card_SLOT(uint32_t position, uint32_t* slot);

/* The card's identity word, read from region 0 when the cards were
 * scanned. QUELT_OK; QUELT_NO_CARD; QUELT_NULL_POINTER (checked after
 * the position). May scan as CardsInSystem. */
QUELT_API uint32_t QUELT_CALL EP4GXA_Card_ID(uint32_t position, uint32_t* id);

/* The card's serial number word; results as EP4GXA_Card_ID. */
QUELT_API uint32_t QUELT_CALL EP4GXA_Card_SerNr(uint32_t position, uint32_t* serialNumber);

/* A normal connection, refused while any other non-diagnostic connection
 * to the card exists in any process.
 * QUELT_OK; QUELT_NO_CARD; QUELT_OLD_DRIVER; QUELT_NO_IRQ_LINE (tested before
 * QUELT_ALREADY_OPEN); QUELT_ALREADY_OPEN; QUELT_OPEN_FAILED; QUELT_REFUSED.
 * irq non-zero asks for the interrupt. Blocks for the attach and admission requests. */
QUELT_API uint32_t QUELT_CALL EP4GXA_Open(uint32_t position, uint32_t irq);

/* A multi connection, refused while another running process holds the
 * card normally.
 * QUELT_OK; QUELT_NO_CARD; QUELT_OLD_DRIVER; QUELT_NO_IRQ_LINE (tested before
 * QUELT_ALREADY_OPEN); QUELT_ALREADY_OPEN; QUELT_OPEN_FAILED; QUELT_REFUSED.
 * irq non-zero asks for the interrupt. Blocks for the attach and admission requests. */
QUELT_API uint32_t QUELT_CALL EP4GXA_OpenMulti(uint32_t position, uint32_t irq);

/* A diagnostic connection, never refused.
 * QUELT_OK; QUELT_NO_CARD; QUELT_OLD_DRIVER; QUELT_NO_IRQ_LINE (tested before
 * QUELT_ALREADY_OPEN); QUELT_ALREADY_OPEN; QUELT_OPEN_FAILED.
 * irq non-zero asks for the interrupt. Blocks for the attach and admission requests. */
QUELT_API uint32_t QUELT_CALL EP4GXA_OpenDiagnostic(uint32_t position, uint32_t irq);

/* QUELT_OK; QUELT_NO_CARD; QUELT_NOT_OPEN (not open in this process).
 * Ends this process's interrupt waits on the card and blocks until
 * they have left it. */
QUELT_API uint32_t QUELT_CALL EP4GXA_Close(uint32_t position);

/* Connections to the card (all processes) that are not diagnostic.
 * QUELT_OK; QUELT_NO_CARD; QUELT_NULL_POINTER; QUELT_NOT_OPEN (not open
 * in this process). Does not block. */
QUELT_API uint32_t QUELT_CALL EP4GXA_Card_OpenCount(uint32_t position, uint32_t* count);

/* Closes the card here if open, then wipes the card's connection
 * records for every process. QUELT_OK; QUELT_NO_CARD; QUELT_OPEN_FAILED;
 * QUELT_NULL_POINTER (the card has no status block). Blocks as Close
 * and for driver requests. */
QUELT_API uint32_t QUELT_CALL EP4GXA_ClearConnections(uint32_t position);

/* The shared area of the card's status block, the same memory in every
 * process. QUELT_OK; QUELT_NO_CARD; QUELT_NOT_OPEN; QUELT_NULL_POINTER
 * (null output, or no usable status block). Does not block. */
QUELT_API uint32_t QUELT_CALL EP4GXA_SHARED_BaseAdr(uint32_t position, void** address, uint32_t* length);

/* Region 0 (the registers): its mapped address and length. QUELT_OK; QUELT_NO_CARD;
 * QUELT_NOT_OPEN; QUELT_NULL_POINTER; QUELT_NO_REGION. Takes no lock, makes no
 * driver request. */
QUELT_API uint32_t QUELT_CALL EP4GXA_BAR0_BaseAdr(uint32_t position, void** address, uint32_t* length);

/* Region 1: its mapped address and length. QUELT_OK; QUELT_NO_CARD;
 * QUELT_NOT_OPEN; QUELT_NULL_POINTER; QUELT_NO_REGION. Takes no lock, makes no
 * driver request. */
QUELT_API uint32_t QUELT_CALL EP4GXA_BAR1_BaseAdr(uint32_t position, void** address, uint32_t* length);

/* Region 2: its mapped address and length. QUELT_OK; QUELT_NO_CARD;
 * QUELT_NOT_OPEN; QUELT_NULL_POINTER; QUELT_NO_REGION. Takes no lock, makes no
 * driver request. */
QUELT_API uint32_t QUELT_CALL EP4GXA_BAR2_BaseAdr(uint32_t position, void** address, uint32_t* length);

/* Blocks until the card's next interrupt, the time-out of
 * IRQ_SetTimeout (0: none) or a Close; *count (may be null) receives the
 * interrupts since Open. QUELT_OK; QUELT_NO_CARD; QUELT_NOT_OPEN;
 * QUELT_IRQ_NOT_ENABLED; QUELT_WAIT_ENDED (closed or discarded);
 * QUELT_NULL_POINTER (no status block); QUELT_WAIT_FAILED; QUELT_TIMEOUT. */
QUELT_API uint32_t QUELT_CALL EP4GXA_IRQ_Wait(uint32_t position, uint32_t* count);

/* Interrupts since Open; 0 when not open. Reads shared memory only. */
QUELT_API uint32_t QUELT_CALL EP4GXA_IRQ_Count(uint32_t position);

/* Stores the wait time-out in ms (0: none; negative: one driver wait of
 * at most 5000 ms). QUELT_OK; QUELT_NO_CARD; QUELT_NOT_OPEN;
 * QUELT_IRQ_NOT_ENABLED (stored all the same). Does not block. */
QUELT_API uint32_t QUELT_CALL EP4GXA_IRQ_SetTimeout(uint32_t position, int32_t timeoutMs);

/* The driver's count of interrupt waits on the card; 0 when not open.
 * One driver request, through a temporary handle while a thread of
 * this process waits on the card. */
QUELT_API uint32_t QUELT_CALL EP4GXA_GetIrqWaits(uint32_t position);

/* Registers of region 0: one access of the stated width, never split. 8- and
 * 32-bit offsets must be multiples of 4, 64-bit ones of 8, and the access must
 * lie inside the region. Results: QUELT_OK; QUELT_NULL_POINTER (read outputs,
 * checked first); QUELT_NO_CARD; QUELT_NOT_OPEN; QUELT_NO_REGION;
 * QUELT_BAD_OFFSET. Take no lock, make no driver request. */

QUELT_API uint32_t QUELT_CALL EP4GXA_ReadReg8(uint32_t position, uint32_t offset, uint8_t* value);

QUELT_API uint32_t QUELT_CALL EP4GXA_WriteReg8(uint32_t position, uint32_t offset, uint8_t value);

QUELT_API uint32_t QUELT_CALL EP4GXA_ReadReg32(uint32_t position, uint32_t offset, uint32_t* value);

QUELT_API uint32_t QUELT_CALL EP4GXA_WriteReg32(uint32_t position, uint32_t offset, uint32_t value);

QUELT_API uint32_t QUELT_CALL EP4GXA_ReadReg2x32(uint32_t position, uint32_t offset, uint32_t* low,
                                                 uint32_t* high);

QUELT_API uint32_t QUELT_CALL EP4GXA_WriteReg2x32(uint32_t position, uint32_t offset, uint32_t low,
                                                  uint32_t high);

QUELT_API uint32_t QUELT_CALL EP4GXA_ReadReg64(uint32_t position, uint32_t offset, uint64_t* value);

QUELT_API uint32_t QUELT_CALL EP4GXA_WriteReg64(uint32_t position, uint32_t offset, uint64_t value);

/* ------------------------------------------------------------------------- */
/* Device class installer, called by Windows device installation.             */
/* ------------------------------------------------------------------------- */
QUELT_API uint32_t QUELT_CALL ClassInstaller(uint32_t installFunction, void* deviceInfoSet,
                                             void* deviceInfoData);

#ifdef __cplusplus
}
#endif

#endif /* QUELT_OX952_H */
