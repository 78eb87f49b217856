/*
 * kazmir.h - the host interface of the Kazmir library (KAZMIR.dll,
 * libkazmir.so).
 *
 * Kazmir prepares one PC interface board at a time and programs its firmware.
 * A host loads the library, calls kzmInitialize, may register one report
 * callback, then brings a board into a firmware mode with one of the init
 * functions, uses that mode's operations, and leaves the mode with the mode's
 * reset function:
 *
 *   FLD  the flash loader: erase, program and verify the flash from an Intel
 *        HEX or S-record file, read the firmware-information record;
 *   BAL, CCL  the operating firmware;
 *   BGI  a message interface on the CCL firmware (send and receive queues).
 *
 * Error model
 *   Every function returns a 32-bit result code: 0 (KZM_OK) is success, any
 *   other value a failure. Besides the KZM_E_* codes below, Windows last-error
 *   values (for example 32, the board is held by another process) and the
 *   device-server library's own codes are passed back unchanged. The report
 *   callback carries progress, trace and failure lines for the host to show,
 *   but is never the only sign of a failure. Output arguments are written only
 *   on success unless a function says otherwise.
 *
 * Threading
 *   The library creates no threads. Call the functions from one thread at a
 *   time: they share one board controller and are not guarded against
 *   concurrent calls. Reports reach the callback synchronously, on the calling
 *   thread, before the function that caused them returns. A time-out is in
 *   milliseconds; KZM_INFINITE waits without limit.
 *
 * Ordering
 *   kzmInitialize; optionally kzmRegisterCallback; one init of a mode; that
 *   mode's operations; that mode's reset. The reset of the mode in use comes
 *   before the next init. A reset always closes the board and returns 0.
 */
#ifndef KAZMIR_H
#define KAZMIR_H

#include <stdint.h>

#ifndef KZM_API
#define KZM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t KZMRESULT;

/* Result codes the library gives. */
#define KZM_OK 0x00000000u
#define KZM_E_FAIL 0x80004005u              /* no board found, refused argument, object not open */
#define KZM_E_INVALIDARG 0x80070057u        /* no open driver handle or no device path */
#define KZM_E_TIMEOUT 0xE001000Bu           /* a restart's wait timed out in the switch's last pass */
#define KZM_E_FLASH_NOT_STARTED 0xE0FE0002u /* flash program not started, or flash layout unreadable */
#define KZM_E_TOO_MANY_SECTORS 0xE0FE0003u  /* the flash has more sectors than the library supports (32) */
#define KZM_E_BEYOND_FLASH 0xE0FE0004u      /* the image would end beyond the flash */
#define KZM_E_RANGE_END 0xE0FE0005u         /* the image's end lies in no sector */
#define KZM_E_ALLOC_RANGE 0xE0FE0006u       /* no range, empty range, or no memory for it */
#define KZM_E_READ_RANGE 0xE0FE0007u        /* reading a sector of the range failed */
#define KZM_E_WRITE_RANGE 0xE0FE0009u       /* writing a sector of the range failed */
#define KZM_E_VERIFY 0xE0FE000Au            /* the flash differs from the image */
#define KZM_E_NO_FLASH_LOADER 0xE0FE0010u   /* the board did not start its flash loader in time */

/* Any board (as an argument); no board chosen (as a stored value). */
#define DEVICE_ID_ANY 0xFFFFFFFFFFFFFFFFull
#define KZM_INFINITE 0xFFFFFFFFu

/* Report kinds passed to the callback. */
#define REPORT_MESSAGE 0  /* lines that stay: failures, listings, headings */
#define REPORT_PROGRESS 1 /* one step of a longer operation */
#define REPORT_NEWLINE 2  /* a line break; the text is "\r\n" */
#define REPORT_TRACE 3    /* internal steps */
#define REPORT_TEST 255   /* the probe call made on registration */

/* The host's report callback: context as registered (null in the probe call),
 * the report kind, and a NUL-terminated line valid only during the call. */
typedef void (*ReportCallback)(void* context, uint8_t kind, const char* text);

/* The firmware-information record, 50 bytes, as stored before "$FW-INFO$". */
#pragma pack(push, 1)
typedef struct FW_INFO {
    uint8_t Version[4]; /* firmware version, byte by byte */
    uint32_t Kind;      /* bit 7: BOOT; without it 0 FLASH, 1 RAM */
    uint32_t Address;   /* address of the firmware on the board */
    uint32_t Reserved12;
    uint32_t Reserved16;
    char Name[10];            /* firmware name, NUL-terminated when shorter */
    char Device[16];          /* board model, NUL-terminated when shorter */
    uint8_t DeviceVersion[4]; /* board model version, byte by byte */
} FW_INFO;
#pragma pack(pop)
#ifdef __cplusplus
static_assert(sizeof(FW_INFO) == 50, "FW_INFO is 50 bytes");
#else
_Static_assert(sizeof(FW_INFO) == 50, "FW_INFO is 50 bytes");
#endif

/* --- Library ------------------------------------------------------------ */

/* Binds the Setup API and initialises the device server, once. Returns 0, or
 * the device server's code (the next call then tries again). */
KZM_API KZMRESULT kzmInitialize(void);

/* Initialises if needed, then gives the device server's major and minor
 * version through p1 and p2 and 0 through p3 and p4 (each optional). Returns
 * the initialisation's code (nothing written) or the version query's code. */
KZM_API KZMRESULT kzmGetVersion(uint32_t* p1, uint32_t* p2, uint32_t* p3, uint32_t* p4);

/* Registers the report callback, replacing any earlier one, and calls it once
 * with a null context, kind REPORT_TEST and "test". Returns 0, or KZM_E_FAIL
 * for a null callback (the earlier one stays). */
KZM_API KZMRESULT kzmRegisterCallback(void* context, ReportCallback callback);

/* --- Opening a board (all init functions) --------------------------------
 *
 * An init switches the board's firmware in at most three passes, restarting
 * it and waiting up to timeout each time for it to come back. Only the last
 * pass's result reaches the caller. What a host sees:
 *   KZM_E_FAIL           no board (or no board with this id or serial);
 *   0x0000048F           the board went away in a restart and never came
 *                        back: the later passes fail to read its state (the
 *                        system's "device not connected");
 *   KZM_E_FAIL           the same for kzmBALinit, kzmCCLinit and kzmBGIinit
 *                        with DEVICE_ID_ANY: their second attempt finds no
 *                        board;
 *   KZM_E_TIMEOUT        only when the wait of the last pass times out;
 *   32 and other system codes, the device server's codes, and the mode's own
 *   codes (for FLD: KZM_E_NO_FLASH_LOADER, KZM_E_FLASH_NOT_STARTED,
 *   KZM_E_TOO_MANY_SECTORS).
 * A failed init can leave the board open: call the mode's reset.
 *
 * Serial numbers are exact and case-sensitive, at most 127 characters: a
 * serial of 128 or more is refused with KZM_E_FAIL before any search. A failed
 * open by serial leaves the stored serial as it was; it is stored only once
 * the open has succeeded (later restarts find the board again by it).
 */

/* --- FLD: the flash loader ---------------------------------------------- */

/* Opens the board deviceId (DEVICE_ID_ANY: the first board of the preferred
 * class) and brings it into the flash loader; writes its id to pHandle
 * (optional) on success. One attempt; codes above. */
KZM_API KZMRESULT kzmFLDinit(uint32_t timeout, uint64_t deviceId, uint64_t* pHandle);
/* Leaves FLD mode and closes the board. Always 0. */
KZM_API KZMRESULT kzmFLDreset(void);
/* Programs the flash from an Intel HEX or S-record file by read-modify-write
 * of the sectors it covers. KZM_E_FAIL: file unreadable or FLD not open;
 * KZM_E_BEYOND_FLASH, KZM_E_READ_RANGE, KZM_E_WRITE_RANGE, or the erase code. */
KZM_API KZMRESULT kzmFLDprogram(const char* fileName);
/* Compares the flash with an image file. 0: equal; KZM_E_VERIFY: different;
 * the loading and reading codes of kzmFLDprogram otherwise. */
KZM_API KZMRESULT kzmFLDverify(const char* fileName);
/* Erases flash sector 0. KZM_E_FAIL: FLD not open or no sector; else the
 * flash loader's code. */
KZM_API KZMRESULT kzmFLDerase(void);
/* Searches the flash for its firmware-information record and copies it to
 * pInfo when found (left untouched otherwise). Always 0. */
KZM_API KZMRESULT kzmFLDscanFwInfo(FW_INFO* pInfo);

/* --- BAL: the operating firmware ---------------------------------------- */

/* Opens the board (DEVICE_ID_ANY: two attempts) and brings it into the BAL
 * firmware; writes its id to pHandle on success. Codes above. */
KZM_API KZMRESULT kzmBALinit(uint32_t timeout, uint64_t deviceId, uint64_t* pHandle);
/* The same for the board with this serial number (exact, case-sensitive). */
KZM_API KZMRESULT kzmBALinitSer(uint32_t timeout, const char* serial, uint64_t* pHandle);
/* Leaves BAL mode and closes the board. Always 0. */
KZM_API KZMRESULT kzmBALreset(void);

/* --- CCL: the operating firmware ---------------------------------------- */

/* Opens the board (DEVICE_ID_ANY: two attempts) and brings it into the CCL
 * firmware; writes its id to pHandle on success. Codes above. */
KZM_API KZMRESULT kzmCCLinit(uint32_t timeout, uint64_t deviceId, uint64_t* pHandle);
/* The same for the board with this serial number (exact, case-sensitive). */
KZM_API KZMRESULT kzmCCLinitSer(uint32_t timeout, const char* serial, uint64_t* pHandle);
/* Leaves CCL mode and closes the board. Always 0. */
KZM_API KZMRESULT kzmCCLreset(void);

/* --- BGI: messages on the CCL firmware ---------------------------------- */

/* Opens the board (DEVICE_ID_ANY: two attempts), brings it into CCL and
 * opens its send and receive channels; writes its id to pHandle on success.
 * Codes above. */
KZM_API KZMRESULT kzmBGIinit(uint32_t timeout, uint64_t deviceId, uint64_t* pHandle);
/* The same entry as kzmCCLinitSer: CCL by serial number, channels NOT opened
 * (kzmBGIsend and kzmBGIreceive then give KZM_E_FAIL). */
KZM_API KZMRESULT kzmBGIinitSer(uint32_t timeout, const char* serial, uint64_t* pHandle);
/* Stops the channels and closes the board. Always 0. */
KZM_API KZMRESULT kzmBGIreset(void);
/* Sends one message of 1 to (send maximum - 1) bytes, waiting up to timeout
 * for room. KZM_E_FAIL: refused length, no channel, or no room with timeout 0. */
KZM_API KZMRESULT kzmBGIsend(uint32_t timeout, uint16_t length, const void* data);
/* Receives one message into a buffer of at least the receive maximum, waiting
 * up to timeout; writes the length (the maximum) to pReceived (optional).
 * KZM_E_FAIL: small buffer, no channel, or nothing waiting with timeout 0. */
KZM_API KZMRESULT kzmBGIreceive(uint32_t timeout, uint16_t size, void* buffer, uint16_t* pReceived);
/* Gives the send and receive maximum message lengths (each pointer optional;
 * 0 before the first kzmBGIinit). Always 0. */
KZM_API KZMRESULT kzmBGIgetMsgLen(uint16_t* pSendMax, uint16_t* pReceiveMax);

#ifdef __cplusplus
}
#endif

#endif /* KAZMIR_H */
