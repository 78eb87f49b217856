/*
 * kazmir_host.h - the Kazmir host kit (libkazmir_host.so, KAZMIR_HOST.dll).
 *
 * What a host needs around the library's 21 exports (kazmir.h) to use them
 * safely, the same for every host:
 *
 *   analysis    reads an image file once through the library's own reader
 *               and holds every line to strict rules: findings (line, kind,
 *               one sentence), the blocks the library would load, records
 *               that overlap, the firmware-information record in host order;
 *   placement   where the library's own placement puts the image on a
 *               described flash (sector sizes, base, flash size), block by
 *               block, and what it would not write;
 *   input       ELF files (their PT_LOAD segments) and raw binaries at a base
 *               address turned into an S-record file the library reads;
 *   words       what the kazmir command prints about an image, for every
 *               host to print the same: the report of an analysed image,
 *               its findings, the firmware record, a placement;
 *   reports     the library's report lines as typed events (phases, sectors,
 *               flash layout, messages, traces);
 *   results     one table of result codes: name, meaning, failure kind and
 *               the kazmir command's exit code.
 *
 * Error model
 *   Every function that can fail returns a KZMRESULT: 0 (KZM_OK) is success.
 *   The kit's own failures are the KZH_E_* codes below; they have rows in the
 *   result table like the library's codes. On failure output arguments are
 *   left as they were, and kzhLastError gives one sentence about the failure
 *   for the calling thread. What an image file gets wrong is no failure of
 *   the analysis: it is a finding.
 *
 * Threading
 *   The kit creates no threads and keeps no state shared between calls except
 *   each thread's last error. An object may be used by one thread at a time;
 *   different objects may be used on different threads at once.
 *
 * Ownership
 *   Every object handed out through a pointer to a pointer belongs to the
 *   caller, who frees it with its free function (kzhAnalysisFree,
 *   kzhPlacementFree, kzhInputFree, kzhDecoderFree); the free functions take
 *   NULL. Strings in structures the kit fills belong to the object they came
 *   from and stay valid until it is freed (report event texts: until the next
 *   call on the decoder); strings of the result table are static.
 */
#ifndef KAZMIR_HOST_H
#define KAZMIR_HOST_H

#include <stddef.h>
#include <stdint.h>

#include "kazmir.h"

#ifndef KZH_API
#if defined(_WIN32) && defined(KAZMIR_HOST_BUILD)
#define KZH_API __declspec(dllexport)
#elif defined(_WIN32) && !defined(KAZMIR_HOST_STATIC)
#define KZH_API __declspec(dllimport)
#elif defined(__GNUC__)
#define KZH_API __attribute__((visibility("default")))
#else
#define KZH_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* --- Result codes of the kit itself ------------------------------------- */
#define KZH_E_ARGUMENT 0xE0FD0001u   /* a null pointer, or an index or value out of range */
#define KZH_E_MEMORY 0xE0FD0002u     /* out of memory */
#define KZH_E_UNREADABLE 0xE0FD0003u /* the file is missing, no regular file, or cannot be read */
#define KZH_E_FORMAT 0xE0FD0004u     /* no image the kit can read or convert (empty, unknown, bad ELF) */
#define KZH_E_BASE 0xE0FD0005u       /* a base address for a file that carries its own (HEX, S-records, ELF) */
#define KZH_E_WRITE 0xE0FD0006u      /* the converted file or its private folder cannot be written */
#define KZH_E_INTERNAL 0xE0FD0007u   /* the kit failed inside: a fault of the kit */
#define KZH_E_SPACE 0xE0FD0008u      /* a text does not fit the buffer given for it */

/* Version of the kit (the Kazmir release it belongs to); each pointer optional. */
KZH_API KZMRESULT kzhGetVersion(uint32_t* major, uint32_t* minor, uint32_t* patch);

/* One sentence about the calling thread's last failure; "" when there was
 * none. Valid until the thread's next call into the kit. */
KZH_API const char* kzhLastError(void);

/* --- Result table -------------------------------------------------------- */

/* What a call was doing: the same code means different things in different
 * calls (KZM_E_FAIL above all). */
#define KZH_OP_OTHER 0
#define KZH_OP_INITIALIZE 1 /* kzmInitialize, kzmGetVersion, kzmRegisterCallback */
#define KZH_OP_OPEN 2       /* the init functions */
#define KZH_OP_PROGRAM 3
#define KZH_OP_VERIFY 4
#define KZH_OP_ERASE 5
#define KZH_OP_SCAN_FW_INFO 6
#define KZH_OP_BGI_SEND 7
#define KZH_OP_BGI_RECEIVE 8
#define KZH_OP_SECTORS 9 /* program or verify once a flash sector operation has begun */

/* Failure kinds; each has one exit code of the kazmir command. */
#define KZH_KIND_OK 0
#define KZH_KIND_FAILURE 1         /* any other failure: internal, out of memory */
#define KZH_KIND_USAGE 2           /* a refused command line or argument */
#define KZH_KIND_IMAGE 3           /* the image file is unreadable, damaged or refused by the check */
#define KZH_KIND_NO_BOARD 4        /* no board found */
#define KZH_KIND_NO_RESPONSE 5     /* the board did not respond or timed out */
#define KZH_KIND_VERIFY_MISMATCH 6 /* the flash differs from the image */
#define KZH_KIND_DEVICE 7          /* device or flash failure */
#define KZH_KIND_BUSY 8            /* the board is in use by another program */
#define KZH_KIND_NO_FIT 9          /* the image does not fit the board's flash */
#define KZH_KIND_HANGUP 10         /* stopped by SIGHUP */
#define KZH_KIND_INTERRUPTED 11    /* stopped by Ctrl-C (SIGINT) */
#define KZH_KIND_OUTPUT_CLOSED 12  /* stopped because the reader of the output closed it */
#define KZH_KIND_TERMINATED 13     /* stopped by SIGTERM */
#define KZH_KIND_COUNT 14

typedef struct KZH_KIND_INFO {
    uint32_t kind;
    const char* name;    /* "no-fit": the kazmir command's exit_name */
    const char* meaning; /* one sentence */
    int32_t exitCode;    /* the kazmir command's exit code */
} KZH_KIND_INFO;

typedef struct KZH_RESULT_INFO {
    uint32_t code;
    uint32_t operation;  /* KZH_OP_*: the call the row is for; KZH_OP_OTHER: any call */
    const char* name;    /* "KZM_E_BEYOND_FLASH", "ERROR_SHARING_VIOLATION"; "" for an unknown code */
    const char* meaning; /* one sentence, without the code */
    uint32_t kind;       /* KZH_KIND_* */
    const char* kindName;
    int32_t exitCode;
} KZH_RESULT_INFO;

/* The row of a code as a call of this operation gave it. A system code also
 * comes wrapped as 0x8007xxxx; a code without a row is a device failure of
 * unknown meaning. */
KZH_API KZMRESULT kzhResultInfo(uint32_t code, uint32_t operation, KZH_RESULT_INFO* info);
/* The table's rows in order, from index 0; KZH_E_ARGUMENT past the last. */
KZH_API KZMRESULT kzhResultRow(uint32_t index, KZH_RESULT_INFO* info);
/* A failure kind (KZH_KIND_*). */
KZH_API KZMRESULT kzhKindInfo(uint32_t kind, KZH_KIND_INFO* info);

/* --- The firmware-information record ------------------------------------ */

typedef struct KZH_FW_INFO {
    uint32_t found;           /* 0: the image holds no record (the rest is zero) */
    int32_t block;            /* block of the image that holds it; -1 when not from an image */
    uint32_t at;              /* image address of the record's first byte */
    uint32_t kind;            /* Kind in host order: bit 7 BOOT; without it 0 FLASH, 1 RAM */
    uint32_t address;         /* Address in host order: where the firmware goes */
    uint32_t reserved12;      /* host order */
    uint32_t reserved16;      /* host order */
    uint8_t version[4];       /* as stored */
    uint8_t deviceVersion[4]; /* as stored */
    char name[11];            /* NUL-terminated */
    char device[17];          /* NUL-terminated */
    char versionText[12];     /* "01.02.03.04" */
    char deviceVersionText[12];
    char kindText[24]; /* "FLASH", "RAM", "FLASH (BOOT)", "kind 5" */
} KZH_FW_INFO;

/* A record as the library reads it from an image or the flash
 * (kzmFLDscanFwInfo), decoded: its numbers in host order (the "eMB-K 740"
 * boards store them big-endian). */
KZH_API KZMRESULT kzhDecodeFwInfo(const FW_INFO* stored, KZH_FW_INFO* info);

/* --- Image analysis ------------------------------------------------------ */

typedef struct KZH_ANALYSIS KZH_ANALYSIS;

#define KZH_SEVERITY_ERROR 0   /* costs data or makes it ambiguous: the file is refused */
#define KZH_SEVERITY_WARNING 1 /* worth saying; nothing is lost */

/* What a finding is about (kzhIssueName: the names of kazmir's JSON output). */
#define KZH_ISSUE_UNREADABLE 0
#define KZH_ISSUE_NO_DATA 1
#define KZH_ISSUE_NOT_A_RECORD 2
#define KZH_ISSUE_BAD_CHARACTER 3
#define KZH_ISSUE_LOWER_CASE 4
#define KZH_ISSUE_BAD_LENGTH 5
#define KZH_ISSUE_BAD_CHECKSUM 6
#define KZH_ISSUE_BAD_RECORD_TYPE 7
#define KZH_ISSUE_BAD_RECORD_FIELD 8
#define KZH_ISSUE_MISSING_LINE_END 9
#define KZH_ISSUE_AFTER_STOP 10
#define KZH_ISSUE_ADDRESS_WRAP 11
#define KZH_ISSUE_OVERLAP 12
#define KZH_ISSUE_COUNT_MISMATCH 13
#define KZH_ISSUE_NO_END_RECORD 14
#define KZH_ISSUE_MIXED_FORMATS 15
#define KZH_ISSUE_BEYOND_FLASH 16
#define KZH_ISSUE_START_OUTSIDE 17
#define KZH_ISSUE_NOT_WRITTEN 18
#define KZH_ISSUE_RAM_FIRMWARE 19
#define KZH_ISSUE_LAYOUT_UNKNOWN 20
#define KZH_ISSUE_SPLIT_LINE 21

typedef struct KZH_FINDING {
    uint32_t severity;     /* KZH_SEVERITY_* */
    uint32_t issue;        /* KZH_ISSUE_* */
    const char* issueName; /* "bad-checksum" */
    uint32_t line;         /* 1-based line of the file; 0 when it concerns no single line */
    int32_t block;         /* block of a placement finding; -1 otherwise */
    uint32_t minor;        /* shown after the others of its kind when a list is cut short */
    const char* text;      /* one sentence */
} KZH_FINDING;

#define KZH_FORMAT_INTEL_HEX 1u /* bits of KZH_SUMMARY.formats */
#define KZH_FORMAT_SRECORDS 2u

typedef struct KZH_SUMMARY {
    uint32_t accepted; /* no finding is an error */
    uint32_t errors, warnings;
    uint32_t formats; /* KZH_FORMAT_* bits of the records seen */
    uint32_t lines;   /* lines of the file as the library counts them */
    uint32_t dataRecords;
    uint64_t dataBytes;
    uint32_t loaded;         /* the library would load the file */
    uint32_t endLine;        /* line of the first end record; 0 when none */
    uint32_t stopLine;       /* line where the library stops reading; 0: at the end */
    uint32_t recordsNotRead; /* record lines after that stop */
    uint32_t blockCount;
    uint32_t findingCount;
    uint32_t lowest;        /* smallest block start; 0 without blocks */
    uint64_t highest;       /* one past the largest block end; 0 without blocks */
    const char* stopReason; /* why the library stops at stopLine ("an end record"); "" when it does not */
    const char* formatName; /* "Intel HEX", "S-records", "Intel HEX and S-records", "no records" */
} KZH_SUMMARY;

typedef struct KZH_BLOCK {
    uint32_t start; /* [start, end): a run of bytes as the library loads it */
    uint64_t end;
} KZH_BLOCK;

/* Reads an image (Intel HEX, S-records) once as the library reads it.
 * KZH_E_UNREADABLE when the file cannot be read at all; anything else wrong
 * with it is a finding. */
KZH_API KZMRESULT kzhAnalyseFile(const char* path, KZH_ANALYSIS** analysis);
KZH_API KZMRESULT kzhAnalyseMemory(const void* data, size_t size, KZH_ANALYSIS** analysis);
KZH_API void kzhAnalysisFree(KZH_ANALYSIS* analysis);
KZH_API KZMRESULT kzhAnalysisSummary(const KZH_ANALYSIS* analysis, KZH_SUMMARY* summary);
/* Findings in line order (those of no single line last). */
KZH_API KZMRESULT kzhAnalysisFinding(const KZH_ANALYSIS* analysis, uint32_t index, KZH_FINDING* finding);
/* Blocks in the library's list order. */
KZH_API KZMRESULT kzhAnalysisBlock(const KZH_ANALYSIS* analysis, uint32_t index, KZH_BLOCK* block);
/* The record the library would use (found = 0 when none). */
KZH_API KZMRESULT kzhAnalysisFwInfo(const KZH_ANALYSIS* analysis, KZH_FW_INFO* info);
/* The JSON name of an issue ("bad-checksum"); "unknown" for no issue. */
KZH_API const char* kzhIssueName(uint32_t issue);

/* --- Placement preview --------------------------------------------------- */

typedef struct KZH_PLACEMENT KZH_PLACEMENT;

typedef struct KZH_FLASH {
    uint32_t base;               /* flash base address (0 when the flash starts at 0) */
    uint32_t sectorCount;        /* at most 65535 */
    const uint32_t* sectorSizes; /* sectorCount sizes; NULL when only the count is known */
    uint64_t flashSize;          /* bytes of the flash; 0: the sum of the sector sizes */
} KZH_FLASH;

typedef struct KZH_PLACEMENT_INFO {
    uint32_t accepted;      /* no finding is an error */
    uint32_t libraryResult; /* the code the library's placement gives (0: placed) */
    uint32_t placed;        /* a sector range was worked out (the fields below are set) */
    uint32_t firstSector;   /* the range: sectors firstSector..lastSector */
    uint32_t lastSector;
    uint32_t startOffset; /* flash offset of the image's start */
    uint64_t rangeStart;  /* flash offset of the range */
    uint64_t rangeSize;
    uint64_t bytesWritten; /* image bytes inside the range */
    uint64_t bytesKept;    /* bytes of the range the image leaves as they are */
    uint32_t blockCount;   /* as the analysis's; 0 when not placed */
    uint32_t findingCount;
    const char* explanation; /* how the library places the image; "" when not placed */
} KZH_PLACEMENT_INFO;

typedef struct KZH_PLACED_BLOCK {
    uint64_t flashOffset; /* where the block's first byte goes */
    uint64_t written;     /* bytes of the block that land in the range */
} KZH_PLACED_BLOCK;

/* The library's placement of the analysed image on the flash. */
KZH_API KZMRESULT kzhPlace(const KZH_ANALYSIS* analysis, const KZH_FLASH* flash, KZH_PLACEMENT** placement);
KZH_API void kzhPlacementFree(KZH_PLACEMENT* placement);
KZH_API KZMRESULT kzhPlacementInfo(const KZH_PLACEMENT* placement, KZH_PLACEMENT_INFO* info);
KZH_API KZMRESULT kzhPlacementFinding(const KZH_PLACEMENT* placement, uint32_t index, KZH_FINDING* finding);
/* The analysis's block of the same index, placed. */
KZH_API KZMRESULT kzhPlacementBlock(const KZH_PLACEMENT* placement, uint32_t index, KZH_PLACED_BLOCK* block);

/* --- Words -------------------------------------------------------------- */

/* Each call writes its text with a closing NUL into text (size bytes) and
 * the bytes it takes, the NUL among them, into needed (optional). A text
 * that does not fit leaves text as it was and gives KZH_E_SPACE with needed
 * set (the one output a failure fills): text NULL and size 0 ask for the
 * size. Texts of several lines end every line with "\n". */

#define KZH_TEXT_ERRORS 1u /* findings: only the errors, without their "error: " */

/* The report of kazmir info: counts, blocks, the firmware record, the
 * check's verdict and findings, where the library stops reading. file: the
 * name it begins with; NULL for the path given to kzhAnalyseFile ("image"
 * for an analysis of memory). */
KZH_API KZMRESULT kzhAnalysisText(const KZH_ANALYSIS* analysis, const char* file, char* text, size_t size,
                                  size_t* needed);
/* The findings, one line each ("error: line 2: ..."), at most three of one
 * kind followed by a line that says how many more; flags: KZH_TEXT_* (a
 * refusal lists the errors alone). */
KZH_API KZMRESULT kzhAnalysisFindingsText(const KZH_ANALYSIS* analysis, uint32_t flags, char* text, size_t size,
                                          size_t* needed);
KZH_API KZMRESULT kzhPlacementFindingsText(const KZH_PLACEMENT* placement, uint32_t flags, char* text, size_t size,
                                           size_t* needed);
/* A placement as kazmir info shows it under a board: the sector range with
 * the bytes it writes and leaves, or how the library places the image when
 * it is refused; then its findings. */
KZH_API KZMRESULT kzhPlacementText(const KZH_PLACEMENT* placement, char* text, size_t size, size_t* needed);
/* The range alone: "sectors 0..1 (flash 0x00000000 to 0x00007FFF, 32.0
 * KiB)"; KZH_E_ARGUMENT when nothing was placed. */
KZH_API KZMRESULT kzhPlacementRangeText(const KZH_PLACEMENT* placement, char* text, size_t size, size_t* needed);
/* One line: firmware "DEMO" 01.02.00.00, FLASH at 0x00000000, for "KZ-DEMO"
 * 01.00.00.00; "no firmware-information record" when found is 0. */
KZH_API KZMRESULT kzhFwInfoText(const KZH_FW_INFO* info, char* text, size_t size, size_t* needed);

/* --- Input conversion ---------------------------------------------------- */

typedef struct KZH_INPUT KZH_INPUT;

#define KZH_INPUT_RECORDS 0 /* Intel HEX or S-records: handed to the library as they are */
#define KZH_INPUT_BINARY 1  /* a raw binary at its base address */
#define KZH_INPUT_ELF 2     /* the PT_LOAD segments of an ELF file at their physical addresses */

typedef struct KZH_INPUT_INFO {
    uint32_t format;         /* KZH_INPUT_* */
    uint32_t segments;       /* runs of bytes converted; 0 for record files */
    uint64_t bytes;          /* bytes converted; 0 for record files */
    const char* libraryPath; /* the file to hand to the library and to kzhAnalyseFile */
    const char* description; /* "ELF file, 2 loadable segments, 4096 bytes"; "" for record files */
} KZH_INPUT_INFO;

/* Makes an image file ready for the library. base: the address of a raw
 * binary's first byte, NULL for any other file. ELF files and raw binaries
 * are written as S-records into a private temporary folder, removed by
 * kzhInputFree. KZH_E_UNREADABLE when the file cannot be read; KZH_E_BASE
 * when a base comes with a file that carries its own addresses; KZH_E_FORMAT
 * for an empty or unknown file (a raw binary without a base among them), an
 * ELF file without loadable data, or data that would reach the end of the
 * 32-bit address space; KZH_E_WRITE when the S-record file cannot be
 * written. */
KZH_API KZMRESULT kzhInputOpen(const char* path, const uint32_t* base, KZH_INPUT** input);
KZH_API void kzhInputFree(KZH_INPUT* input);
KZH_API KZMRESULT kzhInputInfo(const KZH_INPUT* input, KZH_INPUT_INFO* info);

/* Writes size bytes of one value from address on as an S-record file (the
 * whole flash of 0xFF bytes programs it erased). */
KZH_API KZMRESULT kzhWriteFilled(const char* path, uint32_t address, uint32_t size, uint8_t value);

/* --- Report decoding ----------------------------------------------------- */

typedef struct KZH_DECODER KZH_DECODER;

#define KZH_EVENT_PHASE_BEGIN 1  /* phase, sector (its first), sectorEnd */
#define KZH_EVENT_SECTOR 2       /* phase, sector, sectorEnd, status, address (reads and writes), done */
#define KZH_EVENT_PHASE_END 3    /* phase, status (OK or FAILED), done */
#define KZH_EVENT_FLASH_LAYOUT 4 /* sectorCount, base, words; text */
#define KZH_EVENT_MESSAGE 5      /* text: a line that stays (listings, headings, failures) */
#define KZH_EVENT_TRACE 6        /* text: an internal step */
#define KZH_EVENT_UNKNOWN 7      /* text: a progress line the kit does not know */

#define KZH_PHASE_READ 0
#define KZH_PHASE_ERASE 1
#define KZH_PHASE_WRITE 2
#define KZH_PHASE_VERIFY 3 /* the reads of a verify (see kzhDecoderSetVerifying) */

#define KZH_SECTOR_START 0
#define KZH_SECTOR_OK 1
#define KZH_SECTOR_FAILED 2

/* Most events one report makes. */
#define KZH_EVENTS_MAX 4

typedef struct KZH_EVENT {
    uint32_t type;       /* KZH_EVENT_* */
    uint32_t phase;      /* KZH_PHASE_* */
    uint32_t sector;     /* the sector; of a phase begin its first */
    uint32_t sectorEnd;  /* the end of the range as the library shows it after the slash */
    uint32_t status;     /* KZH_SECTOR_* */
    uint32_t hasAddress; /* address is set */
    uint32_t address;    /* the sector's flash offset as the library shows it */
    uint32_t done;       /* sectors of the phase finished well so far */
    uint32_t sectorCount;
    uint32_t base;
    uint32_t words[5]; /* the flash information as reported: word 4, word 6, sector count, word 10, base */
    const char* text;  /* the line without its indentation and line end; "" for sector events */
} KZH_EVENT;

KZH_API KZMRESULT kzhDecoderNew(KZH_DECODER** decoder);
KZH_API void kzhDecoderFree(KZH_DECODER* decoder);
/* While set, sector reads are the verify phase (set it around kzmFLDverify). */
KZH_API KZMRESULT kzhDecoderSetVerifying(KZH_DECODER* decoder, uint32_t verifying);
/* One report as the library's callback got it (kind REPORT_*): its events in
 * order into events (room for KZH_EVENTS_MAX), their number into count. */
KZH_API KZMRESULT kzhDecoderFeed(KZH_DECODER* decoder, uint8_t kind, const char* text, KZH_EVENT* events,
                                 uint32_t* count);
/* Ends a phase still open (after the library call returned). */
KZH_API KZMRESULT kzhDecoderEnd(KZH_DECODER* decoder, KZH_EVENT* events, uint32_t* count);

#ifdef __cplusplus
}
#endif

#endif /* KAZMIR_HOST_H */
