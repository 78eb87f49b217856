#include "ResultText.h"

#include <cstdio>

#include "kazmir.h"
#include "kazmir_host.h"

namespace kzhost {

namespace {

using Op = Operation;

const Kind KINDS[] = {
    {KZH_KIND_OK, "ok", EXIT_OK, "success"},
    {KZH_KIND_FAILURE, "failure", EXIT_FAILURE_, "other failure (internal error, out of memory, bench not restored)"},
    {KZH_KIND_USAGE, "usage", EXIT_USAGE,
     "usage error (wrong command line, --base for a file that is no raw binary, unreadable bench description, "
     "message too long, no board chosen on a bench of several)"},
    {KZH_KIND_IMAGE, "image", EXIT_IMAGE,
     "image file unreadable (no regular file, missing) or damaged, or refused by the check"},
    {KZH_KIND_NO_BOARD, "no-board", EXIT_NO_BOARD, "no board found"},
    {KZH_KIND_NO_RESPONSE, "no-response", EXIT_NO_RESPONSE,
     "the board did not respond or timed out (also: no BGI message within --wait)"},
    {KZH_KIND_VERIFY_MISMATCH, "verify-mismatch", EXIT_VERIFY, "verify mismatch: the flash differs from the image"},
    {KZH_KIND_DEVICE, "device", EXIT_DEVICE, "device or flash failure"},
    {KZH_KIND_BUSY, "busy", EXIT_BUSY, "the board is in use by another program"},
    {KZH_KIND_NO_FIT, "no-fit", EXIT_NO_FIT,
     "the image does not fit the board's flash (placement refused, beyond the flash, or none of it in the range "
     "the library wrote)"},
    {KZH_KIND_HANGUP, "hangup", EXIT_HANGUP, "stopped by SIGHUP (a summary tells what the flash holds)"},
    {KZH_KIND_INTERRUPTED, "interrupted", EXIT_INTERRUPTED,
     "stopped by Ctrl-C (SIGINT) (a summary tells what the flash holds)"},
    {KZH_KIND_OUTPUT_CLOSED, "output-closed", EXIT_OUTPUT_CLOSED,
     "stopped because the reader of the output closed it (a summary tells what the flash holds)"},
    {KZH_KIND_TERMINATED, "terminated", EXIT_TERMINATED, "stopped by SIGTERM (a summary tells what the flash holds)"},
};

// Codes below 0x10000 are the system's error values; they also come wrapped
// as 0x8007xxxx. A row of a particular call comes before the row for any call.
const ResultRow ROWS[] = {
    {KZM_OK, Op::Other, "KZM_OK", "success", EXIT_OK},
    // The library's own codes.
    {KZM_E_FAIL, Op::Open, "KZM_E_FAIL",
     "no board was found: check that it is connected and powered, and the --device or --serial choice", EXIT_NO_BOARD},
    {KZM_E_FAIL, Op::Program, "KZM_E_FAIL",
     "the library could not load the image file (unreadable, or no data record before its first end record or "
     "malformed line), or could not place it because the flash layout is unknown",
     EXIT_IMAGE},
    {KZM_E_FAIL, Op::Verify, "KZM_E_FAIL",
     "the library could not load the image file (unreadable, or no data record before its first end record or "
     "malformed line), or could not place it because the flash layout is unknown",
     EXIT_IMAGE},
    {KZM_E_FAIL, Op::Erase, "KZM_E_FAIL", "the flash loader is not open, or the flash has no sectors", EXIT_DEVICE},
    {KZM_E_FAIL, Op::Sectors, "KZM_E_FAIL",
     "a flash sector operation failed (erase, read or write): the flash may be partly erased, program it again",
     EXIT_DEVICE},
    {KZM_E_FAIL, Op::BgiSend, "KZM_E_FAIL",
     "the message was refused: it is empty or too long for the send channel, the board has no send channel, or "
     "there was no room for it within the wait",
     EXIT_DEVICE},
    {KZM_E_FAIL, Op::BgiReceive, "KZM_E_FAIL",
     "no message arrived within the wait (or the board has no receive channel)", EXIT_NO_RESPONSE},
    {KZM_E_FAIL, Op::Initialize, "KZM_E_FAIL", "the device server could not be initialised", EXIT_DEVICE},
    {KZM_E_FAIL, Op::Other, "KZM_E_FAIL", "the operation failed: no board, a refused argument, or nothing open",
     EXIT_DEVICE},
    {KZM_E_INVALIDARG, Op::Other, "KZM_E_INVALIDARG",
     "there is no open connection to the board's driver, or a parameter was refused (the board may have been "
     "unplugged)",
     EXIT_DEVICE},
    {KZM_E_TIMEOUT, Op::Other, "KZM_E_TIMEOUT",
     "the board did not come back after its restart within the time-out (a longer --timeout may help)",
     EXIT_NO_RESPONSE},
    {KZM_E_FLASH_NOT_STARTED, Op::Other, "KZM_E_FLASH_NOT_STARTED",
     "the board's flash loader did not start, or its flash layout could not be read", EXIT_DEVICE},
    {KZM_E_TOO_MANY_SECTORS, Op::Other, "KZM_E_TOO_MANY_SECTORS",
     "the board's flash has more sectors than the library can handle (32)", EXIT_DEVICE},
    {KZM_E_BEYOND_FLASH, Op::Other, "KZM_E_BEYOND_FLASH", "the image ends beyond the flash", EXIT_NO_FIT},
    {KZM_E_RANGE_END, Op::Other, "KZM_E_RANGE_END",
     "the end of the image lies in no flash sector (the sector layout was not read)", EXIT_NO_FIT},
    {KZM_E_ALLOC_RANGE, Op::Other, "KZM_E_ALLOC_RANGE",
     "no sector range could be set up for the image (empty range, or no memory for it)", EXIT_NO_FIT},
    {KZM_E_READ_RANGE, Op::Other, "KZM_E_READ_RANGE",
     "reading a flash sector of the image's range failed; nothing was erased or written", EXIT_DEVICE},
    {KZM_E_WRITE_RANGE, Op::Other, "KZM_E_WRITE_RANGE",
     "writing a flash sector failed: the flash is now partly written, program it again", EXIT_DEVICE},
    {KZM_E_VERIFY, Op::Other, "KZM_E_VERIFY", "the flash differs from the image", EXIT_VERIFY},
    {KZM_E_NO_FLASH_LOADER, Op::Other, "KZM_E_NO_FLASH_LOADER", "the board did not start its flash loader in time",
     EXIT_NO_RESPONSE},
    {0xA0FE0001u, Op::Other, "FW_INFO_NOT_FOUND", "no firmware-information record was found in the flash", EXIT_DEVICE},
    // The host kit's own codes.
    {KZH_E_ARGUMENT, Op::Other, "KZH_E_ARGUMENT", "a null pointer, or an index or value out of range", EXIT_FAILURE_},
    {KZH_E_MEMORY, Op::Other, "KZH_E_MEMORY", "the system ran out of memory", EXIT_FAILURE_},
    {KZH_E_UNREADABLE, Op::Other, "KZH_E_UNREADABLE", "the image file is missing, no regular file, or unreadable",
     EXIT_IMAGE},
    {KZH_E_FORMAT, Op::Other, "KZH_E_FORMAT",
     "the file is no image that can be read or converted (empty, unknown, or an ELF file without loadable data)",
     EXIT_IMAGE},
    {KZH_E_BASE, Op::Other, "KZH_E_BASE",
     "a base address is only for raw binaries: this file carries its own addresses", EXIT_USAGE},
    {KZH_E_WRITE, Op::Other, "KZH_E_WRITE", "the converted image or its private folder could not be written",
     EXIT_FAILURE_},
    {KZH_E_INTERNAL, Op::Other, "KZH_E_INTERNAL", "the host kit failed inside: a fault of the kit", EXIT_FAILURE_},
    {KZH_E_SPACE, Op::Other, "KZH_E_SPACE", "a text does not fit the buffer given for it", EXIT_FAILURE_},
    // Codes of the device-server library.
    {0x80004001u, Op::Other, "E_NOTIMPL", "the device server does not implement this call", EXIT_FAILURE_},
    {0x80004002u, Op::Other, "E_NOINTERFACE", "the board does not offer the requested mode or channel", EXIT_DEVICE},
    {0x80004003u, Op::Other, "E_POINTER", "the device server was handed a null pointer", EXIT_FAILURE_},
    {0x8000000Au, Op::Other, "E_PENDING", "no channel entry is available now", EXIT_NO_RESPONSE},
    {0x8000FFFFu, Op::Other, "E_UNEXPECTED", "the device server did not expect this call", EXIT_DEVICE},
    {0x800401FDu, Op::Other, "CO_E_RELEASED", "a device-server object was used after it was released", EXIT_FAILURE_},
    {0x8007000Eu, Op::Other, "E_OUTOFMEMORY", "the system ran out of memory", EXIT_FAILURE_},
    // System error values.
    {1, Op::Other, "ERROR_INVALID_FUNCTION", "the board's driver does not know this request", EXIT_DEVICE},
    {2, Op::Open, "ERROR_FILE_NOT_FOUND", "the board's driver interface was not found: the board has gone",
     EXIT_NO_BOARD},
    {2, Op::Other, "ERROR_FILE_NOT_FOUND", "the board's driver interface was not found: the board has gone",
     EXIT_DEVICE},
    {5, Op::Other, "ERROR_ACCESS_DENIED", "access to the board was denied (check the permissions on its device)",
     EXIT_DEVICE},
    {6, Op::Other, "ERROR_INVALID_HANDLE", "the connection to the board is no longer valid", EXIT_DEVICE},
    {8, Op::Other, "ERROR_NOT_ENOUGH_MEMORY", "the system ran out of memory", EXIT_FAILURE_},
    {14, Op::Other, "ERROR_OUTOFMEMORY", "the system ran out of memory", EXIT_FAILURE_},
    {21, Op::Other, "ERROR_NOT_READY",
     "the board is not ready: its flash loader or CCL firmware has not started, or a channel is not bound",
     EXIT_DEVICE},
    {30, Op::Other, "ERROR_READ_FAULT", "reading from the board failed", EXIT_DEVICE},
    {31, Op::Other, "ERROR_GEN_FAILURE", "the board did not respond: it is attached but not functioning",
     EXIT_NO_RESPONSE},
    {32, Op::Other, "ERROR_SHARING_VIOLATION",
     "the board is in use by another program: close that program and try again", EXIT_BUSY},
    {50, Op::Other, "ERROR_NOT_SUPPORTED", "the board's driver does not support this request", EXIT_DEVICE},
    {87, Op::Other, "ERROR_INVALID_PARAMETER", "the board's driver refused a parameter", EXIT_DEVICE},
    {120, Op::Other, "ERROR_CALL_NOT_IMPLEMENTED", "the function is not available on this system", EXIT_DEVICE},
    {122, Op::Other, "ERROR_INSUFFICIENT_BUFFER", "a buffer was too small for the board's answer", EXIT_DEVICE},
    {126, Op::Other, "ERROR_MOD_NOT_FOUND",
     "the device-server library (KAZAPI) or the Setup API could not be loaded: is the board's software installed?",
     EXIT_DEVICE},
    {127, Op::Other, "ERROR_PROC_NOT_FOUND",
     "an entry point is missing from the device-server library or the Setup API: its version does not match",
     EXIT_DEVICE},
    {259, Op::Open, "ERROR_NO_MORE_ITEMS", "no board was found in the driver's device list", EXIT_NO_BOARD},
    {259, Op::Other, "ERROR_NO_MORE_ITEMS", "no board was found in the driver's device list", EXIT_DEVICE},
    // While a board is being opened, it goes away only for its restart.
    {1167, Op::Open, "ERROR_DEVICE_NOT_CONNECTED",
     "the board did not come back after its restart within the time-out (a longer --timeout may help)",
     EXIT_NO_RESPONSE},
    {1167, Op::Other, "ERROR_DEVICE_NOT_CONNECTED",
     "the board is not connected: it was unplugged, or it restarted while in use", EXIT_DEVICE},
    {1168, Op::Open, "ERROR_NOT_FOUND", "the device server lists no board with that id", EXIT_NO_BOARD},
    {1168, Op::Other, "ERROR_NOT_FOUND", "the device server lists no board with that id", EXIT_DEVICE},
    {5023, Op::Other, "ERROR_INVALID_STATE", "the board's firmware does not offer this mode", EXIT_DEVICE},
};

const ResultRow UNKNOWN = {0, Op::Other, "", "unknown failure code from the system or the device server", EXIT_DEVICE};

const ResultRow* Find(uint32_t code, Op op)
{
    const ResultRow* any = nullptr;
    for (const ResultRow& row : ROWS)
        if (row.code == code) {
            if (row.op == op)
                return &row;
            if (row.op == Op::Other && any == nullptr)
                any = &row;
        }
    return any;
}

const char* OperationName(Op op)
{
    switch (op) {
    case Op::Other:
        return "";
    case Op::Initialize:
        return "initialize";
    case Op::Open:
        return "open";
    case Op::Program:
        return "program";
    case Op::Verify:
        return "verify";
    case Op::Erase:
        return "erase";
    case Op::ScanFwInfo:
        return "fwinfo";
    case Op::BgiSend:
        return "bgi send";
    case Op::BgiReceive:
        return "bgi receive";
    case Op::Sectors:
        return "program, verify: a sector begun";
    }
    return "";
}

} // namespace

const Kind* KindAt(uint32_t index)
{
    return index < std::size(KINDS) ? &KINDS[index] : nullptr;
}

const char* ExitCodeName(int exitCode)
{
    for (const Kind& kind : KINDS)
        if (kind.exitCode == exitCode)
            return kind.name;
    return "unknown";
}

const ResultRow* ResultRowAt(uint32_t index)
{
    return index < std::size(ROWS) ? &ROWS[index] : nullptr;
}

const ResultRow& LookupResult(uint32_t code, Operation op)
{
    if (const ResultRow* row = Find(code, op))
        return *row;
    if ((code & 0xFFFF0000u) == 0x80070000u)
        if (const ResultRow* row = Find(code & 0xFFFFu, op))
            return *row;
    return UNKNOWN;
}

std::string Hex32(uint64_t value)
{
    char buf[24];
    if (value > 0xFFFFFFFFull)
        std::snprintf(buf, sizeof(buf), "0x%llX", static_cast<unsigned long long>(value));
    else
        std::snprintf(buf, sizeof(buf), "0x%08X", static_cast<unsigned>(value));
    return buf;
}

std::string Describe(uint32_t code, Operation op)
{
    return LookupResult(code, op).meaning;
}

std::string DescribeWithCode(uint32_t code, Operation op)
{
    return Describe(code, op) + " (" + Hex32(code) + ")";
}

int ExitCodeFor(uint32_t code, Operation op)
{
    return LookupResult(code, op).exitCode;
}

std::string ExitCodeHelp()
{
    std::string text;
    for (const Kind& kind : KINDS) {
        char head[8];
        std::snprintf(head, sizeof(head), "%3d  ", kind.exitCode);
        // Words up to 78 columns, the rest under the first word.
        std::string line = head;
        const std::string meaning = kind.meaning;
        size_t at = 0;
        while (at < meaning.size()) {
            size_t end = meaning.find(' ', at);
            if (end == std::string::npos)
                end = meaning.size();
            const std::string word = meaning.substr(at, end - at);
            if (line.size() > 5 && line.size() + 1 + word.size() > 78) {
                text += line + "\n";
                line = "     ";
            } else if (line.size() > 5) {
                line += ' ';
            }
            line += word;
            at = end + 1;
        }
        text += line + "\n";
    }
    return text;
}

std::string ExitCodeTableMarkdown()
{
    std::string text = "| Code | Name | Meaning |\n|---|---|---|\n";
    for (const Kind& kind : KINDS)
        text += "| " + std::to_string(kind.exitCode) + " | `" + kind.name + "` | " + kind.meaning + " |\n";
    return text;
}

std::string ResultTableMarkdown()
{
    std::string text = "| Code | Name | Call | Meaning | Exit |\n|---|---|---|---|---|\n";
    for (const ResultRow& row : ROWS)
        text += "| `" + Hex32(row.code) + "` | `" + row.name + "` | " + OperationName(row.op) + " | " + row.meaning +
                " | " + std::to_string(row.exitCode) + " `" + ExitCodeName(row.exitCode) + "` |\n";
    return text;
}

} // namespace kzhost
