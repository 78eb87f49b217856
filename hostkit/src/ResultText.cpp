#include "ResultText.h"

#include <cstdio>

#include "kazmir.h"

namespace kzcli {

namespace {

struct Meaning {
    const char* text;
    int exitCode;
};

// System error values, also when they come wrapped as 0x8007xxxx.
bool SystemMeaning(uint32_t error, Operation op, Meaning& m)
{
    const bool opening = op == Operation::Open;
    switch (error) {
    case 1:
        m = {"the board's driver does not know this request", EXIT_DEVICE};
        return true;
    case 2:
        m = {"the board's driver interface was not found: the board has gone", opening ? EXIT_NO_BOARD : EXIT_DEVICE};
        return true;
    case 5:
        m = {"access to the board was denied (check the permissions on its device)", EXIT_DEVICE};
        return true;
    case 6:
        m = {"the connection to the board is no longer valid", EXIT_DEVICE};
        return true;
    case 8:
    case 14:
        m = {"the system ran out of memory", EXIT_FAILURE_};
        return true;
    case 21:
        m = {"the board is not ready: its flash loader or CCL firmware has not started, or a channel is not bound",
             EXIT_DEVICE};
        return true;
    case 30:
        m = {"reading from the board failed", EXIT_DEVICE};
        return true;
    case 31:
        m = {"the board did not respond: it is attached but not functioning", EXIT_NO_RESPONSE};
        return true;
    case 32:
        m = {"the board is in use by another program: close that program and try again", EXIT_BUSY};
        return true;
    case 50:
        m = {"the board's driver does not support this request", EXIT_DEVICE};
        return true;
    case 87:
        m = {"the board's driver refused a parameter", EXIT_DEVICE};
        return true;
    case 120:
        m = {"the function is not available on this system", EXIT_DEVICE};
        return true;
    case 122:
        m = {"a buffer was too small for the board's answer", EXIT_DEVICE};
        return true;
    case 126:
        m = {"the device-server library (KAZAPI) or the Setup API could not be loaded: is the board's software "
             "installed?",
             EXIT_DEVICE};
        return true;
    case 127:
        m = {"an entry point is missing from the device-server library or the Setup API: its version does not match",
             EXIT_DEVICE};
        return true;
    case 259:
        m = {"no board was found in the driver's device list", opening ? EXIT_NO_BOARD : EXIT_DEVICE};
        return true;
    case 1167:
        // While a board is being opened, it goes away only for its restart.
        if (opening)
            m = {"the board did not come back after its restart within the time-out (a longer --timeout may help)",
                 EXIT_NO_RESPONSE};
        else
            m = {"the board is not connected: it was unplugged, or it restarted while in use", EXIT_DEVICE};
        return true;
    case 1168:
        m = {"the device server lists no board with that id", opening ? EXIT_NO_BOARD : EXIT_DEVICE};
        return true;
    case 5023:
        m = {"the board's firmware does not offer this mode", EXIT_DEVICE};
        return true;
    default:
        return false;
    }
}

Meaning Lookup(uint32_t code, Operation op)
{
    switch (code) {
    case KZM_OK:
        return {"success", EXIT_OK};
    case 0x80004001u:
        return {"the device server does not implement this call", EXIT_FAILURE_};
    case KZM_E_FAIL:
        switch (op) {
        case Operation::Open:
            return {"no board was found: check that it is connected and powered, and the --device or --serial "
                    "choice",
                    EXIT_NO_BOARD};
        case Operation::Program:
        case Operation::Verify:
            return {"the library could not load the image file (unreadable, or no data record before its first "
                    "end record or malformed line), or could not place it because the flash layout is unknown",
                    EXIT_IMAGE};
        case Operation::Erase:
            return {"the flash loader is not open, or the flash has no sectors", EXIT_DEVICE};
        case Operation::BgiSend:
            return {"the message was refused: it is empty or too long for the send channel, the board has no send "
                    "channel, or there was no room for it within the wait",
                    EXIT_DEVICE};
        case Operation::BgiReceive:
            return {"no message arrived within the wait (or the board has no receive channel)", EXIT_NO_RESPONSE};
        case Operation::Initialize:
            return {"the device server could not be initialised", EXIT_DEVICE};
        default:
            return {"the operation failed: no board, a refused argument, or nothing open", EXIT_DEVICE};
        }
    case KZM_E_INVALIDARG:
        return {"there is no open connection to the board's driver, or a parameter was refused (the board may "
                "have been unplugged)",
                EXIT_DEVICE};
    case KZM_E_TIMEOUT:
        return {"the board did not come back after its restart within the time-out (a longer --timeout may help)",
                EXIT_NO_RESPONSE};
    case KZM_E_FLASH_NOT_STARTED:
        return {"the board's flash loader did not start, or its flash layout could not be read", EXIT_DEVICE};
    case KZM_E_TOO_MANY_SECTORS:
        return {"the board's flash has more sectors than the library can handle (32)", EXIT_DEVICE};
    case KZM_E_BEYOND_FLASH:
        return {"the image ends beyond the flash", EXIT_NO_FIT};
    case KZM_E_RANGE_END:
        return {"the end of the image lies in no flash sector (the sector layout was not read)", EXIT_NO_FIT};
    case KZM_E_ALLOC_RANGE:
        return {"no sector range could be set up for the image (empty range, or no memory for it)", EXIT_NO_FIT};
    case KZM_E_READ_RANGE:
        return {"reading a flash sector of the image's range failed; nothing was erased or written", EXIT_DEVICE};
    case KZM_E_WRITE_RANGE:
        return {"writing a flash sector failed: the flash is now partly written, program it again", EXIT_DEVICE};
    case KZM_E_VERIFY:
        return {"the flash differs from the image", EXIT_VERIFY};
    case KZM_E_NO_FLASH_LOADER:
        return {"the board did not start its flash loader in time", EXIT_NO_RESPONSE};
    case 0xA0FE0001u:
        return {"no firmware-information record was found in the flash", EXIT_DEVICE};
    // Codes of the device-server library.
    case 0x80004002u:
        return {"the board does not offer the requested mode or channel", EXIT_DEVICE};
    case 0x80004003u:
        return {"the device server was handed a null pointer", EXIT_FAILURE_};
    case 0x8000000Au:
        return {"no channel entry is available now", EXIT_NO_RESPONSE};
    case 0x8000FFFFu:
        return {"the device server did not expect this call", EXIT_DEVICE};
    case 0x800401FDu:
        return {"a device-server object was used after it was released", EXIT_FAILURE_};
    case 0x8007000Eu:
        return {"the system ran out of memory", EXIT_FAILURE_};
    default:
        break;
    }
    Meaning m{};
    if (code < 0x10000u && SystemMeaning(code, op, m))
        return m;
    if ((code & 0xFFFF0000u) == 0x80070000u && SystemMeaning(code & 0xFFFFu, op, m))
        return m;
    return {"unknown failure code from the system or the device server", EXIT_DEVICE};
}

} // namespace

const char* ExitCodeName(int exitCode)
{
    switch (exitCode) {
    case EXIT_OK:
        return "ok";
    case EXIT_FAILURE_:
        return "failure";
    case EXIT_USAGE:
        return "usage";
    case EXIT_IMAGE:
        return "image";
    case EXIT_NO_BOARD:
        return "no-board";
    case EXIT_NO_RESPONSE:
        return "no-response";
    case EXIT_VERIFY:
        return "verify-mismatch";
    case EXIT_DEVICE:
        return "device";
    case EXIT_BUSY:
        return "busy";
    case EXIT_NO_FIT:
        return "no-fit";
    case EXIT_INTERRUPTED:
        return "interrupted";
    default:
        return "unknown";
    }
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
    return Lookup(code, op).text;
}

std::string DescribeWithCode(uint32_t code, Operation op)
{
    return Describe(code, op) + " (" + Hex32(code) + ")";
}

int ExitCodeFor(uint32_t code, Operation op)
{
    return Lookup(code, op).exitCode;
}

} // namespace kzcli
