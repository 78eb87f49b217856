// The boards' kernel driver: exclusive device files on the boards'
// device-interface paths and the three control requests.
//
// Firmware requests (the board restarts, leaves the list and comes back under
// a new id and path after its restart delay):
//   Reset 0   from any state: boot ROM (16)
//   Reset 1   from any state: the operating firmware (the board's FirmwareState,
//             3 unless configured), from 3 too (a restart into the firmware)
//   LoadFw    in the boot ROM: the flash loader (1); in any other state the
//             request fails with ERROR_NOT_READY and nothing happens
// Bench::SetNextRestartState overrides the state of the next restart.
//
// The driver's files are opened for reading and writing, exclusively, as
// existing files, synchronously and without a template; requests are
// synchronous and the caller takes the count of bytes returned. Anything else
// is refused (see Refuse below and simulator/README.md).
#include "Faces.h"
#include "Sim.h"

#include <cstdio>
#include <cstring>

namespace kazsim::detail {

namespace {

constexpr DWORD ERROR_NOT_READY_ = 21;

std::string Hex(const char* name, uint64_t value)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%s 0x%08llX", name, static_cast<unsigned long long>(value));
    return text;
}

// The first argument of CreateFileA that the driver refuses, with its error.
const char* OpenRefusal(DWORD access, DWORD shareMode, void* security, DWORD disposition, DWORD flags,
                        HANDLE templateFile, DWORD* error, uint64_t* value)
{
    struct CCheck {
        bool Bad;
        const char* Name;
        DWORD Error;
        uint64_t Value;
    };
    const CCheck checks[] = {
        {access != OPEN_ACCESS, "access", ERROR_ACCESS_DENIED, access},
        {shareMode != OPEN_SHARE_MODE, "shareMode", ERROR_INVALID_PARAMETER, shareMode},
        {security != nullptr, "security", ERROR_INVALID_PARAMETER, reinterpret_cast<uintptr_t>(security)},
        {disposition != OPEN_DISPOSITION, "disposition", ERROR_INVALID_PARAMETER, disposition},
        {flags != OPEN_FLAGS, "flags", ERROR_INVALID_PARAMETER, flags},
        {templateFile != nullptr, "templateFile", ERROR_INVALID_PARAMETER, reinterpret_cast<uintptr_t>(templateFile)},
    };
    for (const CCheck& check : checks) {
        if (check.Bad) {
            *error = check.Error;
            *value = check.Value;
            return check.Name;
        }
    }
    return nullptr;
}

// What CreateFileA handed out: the board and the arrival it was opened on.
struct CDriverHandle {
    std::shared_ptr<CBoard> Board;
    uint32_t Generation = 0;
};

const char* RequestName(DWORD code)
{
    switch (code) {
    case IOCTL_GET_INFO:
        return "Driver.GetInfo";
    case IOCTL_RESET:
        return "Driver.Reset";
    case IOCTL_LOAD_FW:
        return "Driver.LoadFw";
    default:
        return "Driver.Control";
    }
}

// Checks a request's buffers as the driver does: input of exactly the
// request's size, output of exactly its size (too small: ERROR_INSUFFICIENT_BUFFER).
// Gives the error and names the argument.
DWORD CheckBuffers(const void* in, DWORD inSize, DWORD wantIn, const void* out, DWORD outSize, DWORD wantOut,
                   std::string* argument)
{
    if (inSize != wantIn || (wantIn && !in)) {
        *argument = inSize != wantIn ? Hex("inSize", inSize) : "in (null)";
        return ERROR_INVALID_PARAMETER;
    }
    if (outSize != wantOut || (wantOut && !out)) {
        *argument = outSize != wantOut ? Hex("outSize", outSize) : "out (null)";
        return outSize < wantOut ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

} // namespace

void* OpenDevice(const char* path, DWORD access, DWORD shareMode, void* security, DWORD disposition, DWORD flags,
                 HANDLE templateFile)
{
    CSim& sim = Sim();
    auto lock = sim.Hold();
    std::string text = path ? path : "";
    CBoard* board = sim.FindByPath(text);
    CCall call("Driver.Open", board, text);
    if (call.Ended()) {
        SetLastError(call.Code());
        return nullptr;
    }
    DWORD error = 0;
    uint64_t value = 0;
    if (const char* argument =
            OpenRefusal(access, shareMode, security, disposition, flags, templateFile, &error, &value)) {
        call.RefuseWin(error, Hex(argument, value));
        return nullptr;
    }
    if (!board) {
        call.FailWin(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    // The driver is exclusive: one open at a time, none while another
    // process holds the board.
    if (board->Held || board->OpenHandles > 0) {
        call.FailWin(ERROR_SHARING_VIOLATION);
        return nullptr;
    }
    // Opening a board takes its flash file: locked, so that no other process
    // uses the board's flash while this one may. CloseDevice lets go again
    // unless the flash was used meanwhile.
    std::string reason;
    switch (board->Flash.Attach(&reason)) {
    case CFlashStore::Use::Ready:
        break;
    case CFlashStore::Use::InUse:
        call.Note("refused: flash file " + board->Flash.File() + " is in use by another process");
        call.FailWin(ERROR_SHARING_VIOLATION);
        return nullptr;
    case CFlashStore::Use::Failed:
        std::fprintf(stderr, "kazsim: %s\n", reason.c_str());
        call.Note(reason);
        call.FailWin(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    auto* handle = new CDriverHandle{sim.SharedBoard(board), board->Generation};
    ++board->OpenHandles;
    ++sim.DriverHandles;
    call.Return(0);
    return handle;
}

void CloseDevice(void* device)
{
    auto* handle = static_cast<CDriverHandle*>(device);
    if (!handle)
        return;
    CSim& sim = Sim();
    auto lock = sim.Hold();
    CBoard& board = *handle->Board;
    if (board.Generation == handle->Generation && board.OpenHandles > 0)
        --board.OpenHandles;
    // A board only looked at is not kept: a host walking the boards to find
    // one by serial leaves the others free for other processes. Once its
    // flash was read or changed, the file stays locked until the process
    // ends, the board is removed or the bench reset.
    if (board.OpenHandles == 0)
        board.Flash.ReleaseUnclaimed();
    --sim.DriverHandles;
    delete handle;
}

BOOL DeviceControl(void* device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                   void* overlapped)
{
    auto* handle = static_cast<CDriverHandle*>(device);
    CSim& sim = Sim();
    auto lock = sim.Hold();
    CBoard& board = *handle->Board;
    char detail[32];
    std::snprintf(detail, sizeof(detail), "0x%08X", static_cast<unsigned>(code));
    CCall call(RequestName(code), board.Index >= 0 ? &board : nullptr, detail);
    auto fail = [&](DWORD error) {
        call.FailWin(error);
        return FALSE;
    };
    std::string argument;
    auto refuse = [&](DWORD error, const std::string& what) {
        call.RefuseWin(error, what);
        return FALSE;
    };
    // A synchronous request writes the count of bytes returned: Windows needs
    // the pointer; an OVERLAPPED does not fit the driver's synchronous files.
    if (overlapped) {
        call.RefuseWin(ERROR_INVALID_PARAMETER, "overlapped (the file is not opened for overlapped I/O)");
        return FALSE;
    }
    if (!returned) {
        call.RefuseWin(ERROR_INVALID_PARAMETER, "returned (null without an OVERLAPPED)");
        return FALSE;
    }
    *returned = 0;
    if (call.Ended()) {
        SetLastError(call.Code());
        return FALSE;
    }
    // A handle of an earlier arrival reaches no board any more.
    if (!board.Alive(handle->Generation))
        return fail(ERROR_DEVICE_NOT_CONNECTED);

    switch (code) {
    case IOCTL_GET_INFO: {
        if (DWORD error = CheckBuffers(in, inSize, GET_INFO_IN_SIZE, out, outSize, sizeof(DRIVER_INFO), &argument))
            return refuse(error, argument);
        DRIVER_INFO record = {};
        record.State = board.State;
        record.DeviceId = board.DeviceId;
        std::strncpy(record.Serial, board.ReportedSerial().c_str(), sizeof(record.Serial) - 1);
        std::memcpy(out, &record, sizeof(record));
        *returned = sizeof(record);
        if (board.GetInfoCountdown > 0 && --board.GetInfoCountdown == 0)
            board.State = board.CountdownState;
        break;
    }
    case IOCTL_RESET: {
        if (DWORD error = CheckBuffers(in, inSize, RESET_IN_SIZE, out, outSize, RESET_OUT_SIZE, &argument))
            return refuse(error, argument);
        uint8_t selector = *static_cast<const uint8_t*>(in);
        if (selector != RESET_BOOT_ROM && selector != RESET_FIRMWARE)
            return refuse(ERROR_INVALID_PARAMETER, Hex("selector", selector));
        *static_cast<uint8_t*>(out) = 0;
        *returned = 1;
        sim.Restart(board, selector == RESET_BOOT_ROM ? STATE_BOOT_ROM : board.Desc.FirmwareState);
        break;
    }
    case IOCTL_LOAD_FW: {
        if (DWORD error = CheckBuffers(in, inSize, LOAD_FW_IN_SIZE, out, outSize, 0, &argument))
            return refuse(error, argument);
        static const uint8_t zero[LOAD_FW_IN_SIZE] = {};
        if (std::memcmp(in, zero, LOAD_FW_IN_SIZE) != 0)
            return refuse(ERROR_INVALID_PARAMETER, "in (not 6 zero bytes)");
        if (board.State != STATE_BOOT_ROM)
            return fail(ERROR_NOT_READY_);
        sim.Restart(board, STATE_FLASH_LOADER);
        break;
    }
    default:
        return refuse(ERROR_INVALID_FUNCTION, Hex("code", code));
    }
    call.Return(0);
    return TRUE;
}

} // namespace kazsim::detail
