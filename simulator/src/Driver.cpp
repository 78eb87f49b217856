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
#include "Faces.h"
#include "Sim.h"

#include <cstring>

namespace kazsim::detail {

namespace {

constexpr DWORD ERROR_NOT_READY_ = 21;

// What CreateFileA handed out: the board and the arrival it was opened on.
struct CDriverHandle {
    std::shared_ptr<CBoard> Board;
    uint32_t Generation = 0;
};

const char* RequestName(DWORD code)
{
    switch (code) {
    case IOCTL_KAZ_GET_INFO:
        return "Driver.GetInfo";
    case IOCTL_KAZ_RESET:
        return "Driver.Reset";
    case IOCTL_KAZ_LOAD_FW:
        return "Driver.LoadFw";
    default:
        return "Driver.Control";
    }
}

// Checks a request's buffers as the driver does: input of exactly the
// request's size, output of exactly its size (too small: ERROR_INSUFFICIENT_BUFFER).
DWORD CheckBuffers(const void* in, DWORD inSize, DWORD wantIn, const void* out, DWORD outSize, DWORD wantOut)
{
    if (inSize != wantIn || (wantIn && !in))
        return ERROR_INVALID_PARAMETER;
    if (outSize < wantOut)
        return ERROR_INSUFFICIENT_BUFFER;
    if (outSize != wantOut || (wantOut && !out))
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

} // namespace

void* OpenDevice(const char* path, DWORD /*access*/, DWORD /*shareMode*/, DWORD disposition)
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
    if (disposition != OPEN_EXISTING) {
        call.FailWin(ERROR_INVALID_PARAMETER);
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
    if (handle->Board->Generation == handle->Generation && handle->Board->OpenHandles > 0)
        --handle->Board->OpenHandles;
    --sim.DriverHandles;
    delete handle;
}

BOOL DeviceControl(void* device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned)
{
    auto* handle = static_cast<CDriverHandle*>(device);
    CSim& sim = Sim();
    auto lock = sim.Hold();
    CBoard& board = *handle->Board;
    char detail[32];
    std::snprintf(detail, sizeof(detail), "0x%08X", static_cast<unsigned>(code));
    CCall call(RequestName(code), board.Index >= 0 ? &board : nullptr, detail);
    *returned = 0;
    auto fail = [&](DWORD error) {
        call.FailWin(error);
        return FALSE;
    };
    if (call.Ended()) {
        SetLastError(call.Code());
        return FALSE;
    }
    // A handle of an earlier arrival reaches no board any more.
    if (!board.Alive(handle->Generation))
        return fail(ERROR_DEVICE_NOT_CONNECTED);

    switch (code) {
    case IOCTL_KAZ_GET_INFO: {
        if (DWORD error = CheckBuffers(in, inSize, 1, out, outSize, sizeof(DEVICE_INFO_RECORD)))
            return fail(error);
        DEVICE_INFO_RECORD record = {};
        record.State = board.State;
        record.DeviceId = board.DeviceId;
        std::strncpy(record.Serial, board.ReportedSerial().c_str(), sizeof(record.Serial) - 1);
        std::memcpy(out, &record, sizeof(record));
        *returned = sizeof(record);
        if (board.GetInfoCountdown > 0 && --board.GetInfoCountdown == 0)
            board.State = board.CountdownState;
        break;
    }
    case IOCTL_KAZ_RESET: {
        if (DWORD error = CheckBuffers(in, inSize, 1, out, outSize, 1))
            return fail(error);
        uint8_t selector = *static_cast<const uint8_t*>(in);
        if (selector != RESET_TO_BOOT_ROM && selector != RESET_TO_FIRMWARE)
            return fail(ERROR_INVALID_PARAMETER);
        *static_cast<uint8_t*>(out) = 0;
        *returned = 1;
        sim.Restart(board, selector == RESET_TO_BOOT_ROM ? STATE_BOOT_ROM : board.Desc.FirmwareState);
        break;
    }
    case IOCTL_KAZ_LOAD_FW: {
        if (DWORD error = CheckBuffers(in, inSize, LOAD_FW_INPUT_SIZE, out, outSize, 0))
            return fail(error);
        static const uint8_t zero[LOAD_FW_INPUT_SIZE] = {};
        if (std::memcmp(in, zero, LOAD_FW_INPUT_SIZE) != 0)
            return fail(ERROR_INVALID_PARAMETER);
        if (board.State != STATE_BOOT_ROM)
            return fail(ERROR_NOT_READY_);
        sim.Restart(board, STATE_FLASH_LOADER);
        break;
    }
    default:
        return fail(ERROR_INVALID_FUNCTION);
    }
    call.Return(0);
    return TRUE;
}

} // namespace kazsim::detail
