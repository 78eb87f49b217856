// The device-server library: its four functions and the COM-style objects
// (device manager, enumerator, device, FLD, BAL and CCL objects). Channel
// objects live in Channel.cpp.
#include "Server.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

using namespace kazsim;
using namespace kazsim::detail;

namespace kazsim::detail {

namespace {

constexpr uint16_t ENTRY_MAGIC = 0x4B5A;

bool SamePair(const GUID* cls, const GUID* iid, const GUID& wantCls, const GUID& wantIid)
{
    return SameGuid(*cls, wantCls) && SameGuid(*iid, wantIid);
}

} // namespace

std::vector<DEVICE_RECORD> DeviceRecords()
{
    std::vector<DEVICE_RECORD> records;
    for (CBoard* board : Sim().ListedBoards()) {
        DEVICE_RECORD record = {};
        record.DeviceId = board->DeviceId;
        record.BoardClass = board->Desc.BoardClass;
        // The server's own bytes: the firmware state and the board's number.
        std::memcpy(record.ServerBytes, &board->State, 4);
        std::memcpy(record.ServerBytes + 4, &board->Uid, 4);
        std::strncpy(record.Serial, board->ReportedSerial().c_str(), sizeof(record.Serial) - 1);
        records.push_back(record);
    }
    return records;
}

// --- device manager --------------------------------------------------------

class CSimManager : public CObject<IKazDeviceManager, Kind::DeviceManager> {
public:
    KZRESULT EnumDevices(IKazDeviceEnum** deviceEnum) override;
    KZRESULT OpenDevice(const uint64_t* deviceId, IKazDevice** device) override;
};

class CSimEnum : public CObject<IKazDeviceEnum, Kind::Enumerator> {
public:
    CSimEnum() : m_Records(DeviceRecords()) {}

    KZRESULT Next(uint32_t count, DEVICE_RECORD* records, uint32_t* fetched) override
    {
        if (fetched)
            *fetched = 0;
        return Run("Next", std::to_string(count), {count > 0 ? static_cast<const void*>(records) : this},
                   [&](CCall& call) {
                       // The caller cannot tell how many records came without the count.
                       if (!fetched)
                           return call.Refuse(SIM_E_POINTER, "fetched (null)");
                       if (m_Cursor >= m_Records.size())
                           return SIM_E_FAIL;
                       size_t n = std::min<size_t>(count, m_Records.size() - m_Cursor);
                       std::copy_n(m_Records.begin() + static_cast<std::ptrdiff_t>(m_Cursor), n, records);
                       m_Cursor += n;
                       *fetched = static_cast<uint32_t>(n);
                       return KZRESULT{0};
                   });
    }
    KZRESULT Reserved4() override { return Reserved("Reserved4"); }
    KZRESULT ResetEnum() override
    {
        return Run("ResetEnum", {}, {}, [&](CCall&) {
            m_Records = DeviceRecords();
            m_Cursor = 0;
            return KZRESULT{0};
        });
    }
    KZRESULT AssignEvent(HANDLE changeEvent) override
    {
        NoteEvent(changeEvent);
        return Run("AssignEvent", {}, {}, [&](CCall& call) {
            if (changeEvent)
                if (KZRESULT refused = CheckHandedEvent(call, changeEvent))
                    return refused;
            m_Event = changeEvent;
            return KZRESULT{0};
        });
    }
    HANDLE ChangeEvent() const override { return m_Event; }

protected:
    // The holder releases the enumerator before it closes the change event;
    // an event already closed now is counted, as for channels.
    void OnFinalRelease() override
    {
        CountEventClosedEarly(m_Event, "enumerator");
        m_Event = nullptr;
    }

private:
    std::vector<DEVICE_RECORD> m_Records; // the list as of creation or ResetEnum
    size_t m_Cursor = 0;
    HANDLE m_Event = nullptr;
};

KZRESULT CSimManager::EnumDevices(IKazDeviceEnum** deviceEnum)
{
    return Run("EnumDevices", {}, {deviceEnum}, [&](CCall&) {
        *deviceEnum = new CSimEnum;
        return KZRESULT{0};
    });
}

// --- mode objects ------------------------------------------------------------

class CSimFld : public CBoardObject<IKazFlashLoader, Kind::Fld> {
public:
    using CBoardObject::CBoardObject;
    bool Supports(const GUID& iid) const override { return SameGuid(iid, IID_FLD); }

    KZRESULT Reserved3() override { return Reserved("Reserved3"); }
    KZRESULT Reserved4() override { return Reserved("Reserved4"); }
    KZRESULT Execute(uint32_t arg1, uint32_t arg2) override
    {
        return Run("Execute", {}, {}, [&](CCall& call) {
            if (arg1 != 0 || arg2 != 0)
                return call.Refuse(SIM_E_INVALIDARG, "arguments (" + std::to_string(arg1) + ", " +
                                                         std::to_string(arg2) + "), not (0, 0)");
            m_bRunning = true;
            return KZRESULT{0};
        });
    }
    KZRESULT Stop() override
    {
        return Run("Stop", {}, {}, [&](CCall&) {
            m_bRunning = false;
            return KZRESULT{0};
        });
    }
    KZRESULT GetFlashInfo(FLASH_INFO* info) override
    {
        return Run("GetFlashInfo", {}, {info}, [&](CCall&) {
            if (!m_bRunning)
                return SIM_E_NOT_READY;
            const FlashDesc& flash = m_pBoard->Desc.Flash;
            *info = FLASH_INFO{};
            info->FlashSize = flash.Size();
            info->Word4 = flash.Word4;
            info->Word6 = flash.Word6;
            info->SectorCount = static_cast<uint16_t>(flash.SectorSizes.size());
            info->Word10 = flash.Word10;
            info->BaseAddress = flash.BaseAddress;
            return KZRESULT{0};
        });
    }
    KZRESULT GetSectorInfo(SECTOR_ADDR sector, SECTOR_INFO* info) override
    {
        return Run("GetSectorInfo", SectorText(sector), {info}, [&](CCall&) {
            uint32_t offset = 0, size = 0;
            if (KZRESULT result = Locate(sector, &offset, &size))
                return result;
            info->Size = size;
            info->Offset = offset;
            return KZRESULT{0};
        });
    }
    KZRESULT EraseSector(SECTOR_ADDR sector) override
    {
        return Run("EraseSector", SectorText(sector), {}, [&](CCall& call) {
            uint32_t offset = 0, size = 0;
            if (KZRESULT result = Locate(sector, &offset, &size))
                return result;
            if (KZRESULT result = ClaimFlash(call, true))
                return result;
            if (m_pBoard->Desc.EraseDelayMs)
                std::this_thread::sleep_for(std::chrono::milliseconds(m_pBoard->Desc.EraseDelayMs));
            std::string error;
            return Noted(call, m_pBoard->Flash.Erase(offset, size, &error), error);
        });
    }
    KZRESULT ReadSector(SECTOR_ADDR sector, uint8_t* buffer, uint32_t size) override
    {
        return Run("ReadSector", SectorText(sector), {buffer}, [&](CCall& call) {
            uint32_t offset = 0, sectorSize = 0;
            if (KZRESULT result = Locate(sector, &offset, &sectorSize))
                return result;
            if (size != sectorSize)
                return SIM_E_INVALIDARG;
            if (KZRESULT result = ClaimFlash(call))
                return result;
            std::string error;
            return Noted(call, m_pBoard->Flash.Read(offset, buffer, size, &error), error);
        });
    }
    KZRESULT WriteSector(SECTOR_ADDR sector, const uint8_t* data, uint32_t size) override
    {
        return Run("WriteSector", SectorText(sector), {data}, [&](CCall& call) {
            uint32_t offset = 0, sectorSize = 0;
            if (KZRESULT result = Locate(sector, &offset, &sectorSize))
                return result;
            if (size != sectorSize)
                return SIM_E_INVALIDARG;
            if (KZRESULT result = ClaimFlash(call, true))
                return result;
            std::string error;
            return Noted(call, m_pBoard->Flash.Write(offset, data, size, true, &error), error);
        });
    }

private:
    // The flash file is taken (and kept) before its contents are used; an
    // erase or write creates a missing one, so that it is locked from then on.
    KZRESULT ClaimFlash(CCall& call, bool change = false) const
    {
        std::string error;
        return Noted(call, Sim().ClaimFlash(*m_pBoard, &error, change), error);
    }
    // A flash file's failure is named in the call's log and trace line.
    static KZRESULT Noted(CCall& call, KZRESULT result, const std::string& error)
    {
        if (result != 0)
            call.Note(error);
        return result;
    }
    static std::string SectorText(SECTOR_ADDR sector)
    {
        char text[16];
        std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(sector));
        return text;
    }
    // The sector's offset and size; the program must run and the low 16 bits be zero.
    KZRESULT Locate(SECTOR_ADDR sector, uint32_t* offset, uint32_t* size) const
    {
        if (!m_bRunning)
            return SIM_E_NOT_READY;
        const std::vector<uint32_t>& sizes = m_pBoard->Desc.Flash.SectorSizes;
        uint32_t number = sector >> 16;
        if ((sector & 0xFFFF) != 0 || number >= sizes.size())
            return SIM_E_INVALIDARG;
        *offset = 0;
        for (uint32_t i = 0; i < number; ++i)
            *offset += sizes[i];
        *size = sizes[number];
        return 0;
    }

    bool m_bRunning = false;
};

class CSimBal : public CBoardObject<IKazBal, Kind::Bal> {
public:
    using CBoardObject::CBoardObject;
    bool Supports(const GUID& iid) const override { return SameGuid(iid, IID_BAL); }

    KZRESULT Attach(BAL_RECORD* record) override
    {
        return Run("Attach", {}, {record}, [&](CCall& call) {
            for (uint8_t byte : record->Bytes)
                if (byte != 0)
                    return call.Refuse(SIM_E_INVALIDARG, "record (not 70 zero bytes)");
            return KZRESULT{0};
        });
    }
};

class CSimCcl : public CBoardObject<IKazCcl, Kind::Ccl> {
public:
    using CBoardObject::CBoardObject;
    bool Supports(const GUID& iid) const override { return SameGuid(iid, IID_CCL); }

    KZRESULT Reserved3() override { return Reserved("Reserved3"); }
    KZRESULT Reserved4() override { return Reserved("Reserved4"); }
    KZRESULT Reserved7() override { return Reserved("Reserved7"); }
    KZRESULT Reserved8() override { return Reserved("Reserved8"); }
    KZRESULT Start(uint32_t arg1, uint32_t arg2, uint32_t arg3) override
    {
        return Run("Start", {}, {}, [&](CCall& call) {
            if (arg1 != 0 || arg2 != 0 || arg3 != 0)
                return call.Refuse(SIM_E_INVALIDARG, "arguments (" + std::to_string(arg1) + ", " +
                                                         std::to_string(arg2) + ", " + std::to_string(arg3) +
                                                         "), not (0, 0, 0)");
            m_bStarted = true;
            return KZRESULT{0};
        });
    }
    KZRESULT Stop() override
    {
        return Run("Stop", {}, {}, [&](CCall&) {
            m_bStarted = false;
            return KZRESULT{0};
        });
    }
    KZRESULT Command(const CCL_REQUEST* request, CCL_RESPONSE* response) override
    {
        std::string detail;
        if (request)
            detail = std::to_string(request->Command) + " entry " + std::to_string(request->EntryIndex);
        return Run("Command", detail, {request, response}, [&](CCall& call) {
            if (!m_bStarted)
                return SIM_E_NOT_READY;
            if (request->Size != sizeof(CCL_REQUEST))
                return call.Refuse(SIM_E_INVALIDARG, "request->Size " + std::to_string(request->Size));
            if (response->Size != sizeof(CCL_RESPONSE))
                return call.Refuse(SIM_E_INVALIDARG, "response->Size " + std::to_string(response->Size));
            // The command's own outcome goes into the response; the call succeeds.
            uint32_t result = Sim().CheckFault("Ccl.Command.Response", call.BoardIndex());
            auto& entries = m_pBoard->Entries;
            if (result != 0) {
                // An injected failure: the command is not carried out.
            } else if (request->Target != CCL_TARGET_ALL || request->EntryIndex >= entries.size()) {
                result = SIM_E_INVALIDARG;
            } else if (request->Command == CCL_START_ENTRY) {
                entries[request->EntryIndex]->Started = true;
                Sim().ScheduleFirmware(*m_pBoard);
            } else if (request->Command == CCL_STOP_ENTRY) {
                entries[request->EntryIndex]->Started = false;
            } else {
                result = SIM_E_NOTIMPL;
            }
            response->Result = result;
            return KZRESULT{0};
        });
    }
    KZRESULT GetSummary(CCL_SUMMARY* summary) override
    {
        return Run("GetSummary", {}, {summary}, [&](CCall&) {
            *summary = CCL_SUMMARY{};
            summary->EntryCount = static_cast<uint16_t>(m_pBoard->Entries.size());
            return KZRESULT{0};
        });
    }
    KZRESULT GetEntry(uint16_t index, CCL_ENTRY* entry) override
    {
        return Run("GetEntry", std::to_string(index), {entry}, [&](CCall&) {
            if (index >= m_pBoard->Entries.size())
                return SIM_E_INVALIDARG;
            const CclEntryDesc& desc = m_pBoard->Entries[index]->Desc;
            *entry = CCL_ENTRY{};
            EncodeEntry(*m_pBoard, index, entry);
            entry->Kind1 = desc.Kind1;
            entry->Kind2 = desc.Kind2;
            entry->Value = desc.Value;
            return KZRESULT{0};
        });
    }
    KZRESULT BindEntry(uint16_t index, uint64_t* creationField) override
    {
        return Run("BindEntry", std::to_string(index), {creationField}, [&](CCall&) {
            if (index >= m_pBoard->Entries.size())
                return SIM_E_INVALIDARG;
            return BindChannel(*creationField, m_pBoard.get(), m_Generation, index);
        });
    }

private:
    bool m_bStarted = false;
};

// --- device ----------------------------------------------------------------

class CSimDevice : public CBoardObject<IKazDevice, Kind::Device> {
public:
    using CBoardObject::CBoardObject;

    KZRESULT Reserved3() override { return Reserved("Reserved3"); }
    KZRESULT Reserved4() override { return Reserved("Reserved4"); }
    KZRESULT OpenComponent(const GUID* classId, const GUID* interfaceId, IKazUnknown** component) override
    {
        if (component && classId && interfaceId)
            *component = nullptr;
        return Run("OpenComponent", classId ? GuidText(*classId) : std::string(), {classId, interfaceId, component},
                   [&](CCall&) {
                       uint32_t state = m_pBoard->State;
                       if (SamePair(classId, interfaceId, CLSID_FLD, IID_FLD)) {
                           if (state != DEV_STATE_FLD)
                               return SIM_E_WRONG_STATE;
                           *component = new CSimFld(m_pBoard, m_Generation);
                       } else if (SamePair(classId, interfaceId, CLSID_BAL, IID_BAL)) {
                           if (state != DEV_STATE_CCL)
                               return SIM_E_WRONG_STATE;
                           *component = new CSimBal(m_pBoard, m_Generation);
                       } else if (SamePair(classId, interfaceId, CLSID_CCL, IID_CCL)) {
                           if (state != DEV_STATE_BAL && state != DEV_STATE_CCL)
                               return SIM_E_WRONG_STATE;
                           *component = new CSimCcl(m_pBoard, m_Generation);
                       } else {
                           return SIM_E_NOINTERFACE;
                       }
                       return KZRESULT{0};
                   });
    }
};

KZRESULT CSimManager::OpenDevice(const uint64_t* deviceId, IKazDevice** device)
{
    auto lock = Sim().Hold();
    CBoard* board = deviceId ? Sim().FindListed(*deviceId) : nullptr;
    char detail[24] = "";
    if (deviceId)
        std::snprintf(detail, sizeof(detail), "0x%016llX", static_cast<unsigned long long>(*deviceId));
    CCall call(Name("OpenDevice"), board, detail, this);
    if (call.Ended())
        return call.Code();
    if (!deviceId || !device)
        return call.Return(SIM_E_POINTER);
    *device = nullptr;
    if (KZRESULT refused = RefuseBeforeInit(call))
        return call.Return(refused);
    if (!board)
        return call.Return(SIM_E_NOT_LISTED);
    *device = new CSimDevice(Sim().SharedBoard(board), board->Generation);
    return call.Return(0);
}

void EncodeEntry(const CBoard& board, uint16_t index, CCL_ENTRY* entry)
{
    std::memcpy(entry->ServerBytes, &board.Uid, 4);
    std::memcpy(entry->ServerBytes + 4, &board.Generation, 4);
    std::memcpy(entry->ServerBytes + 8, &index, 2);
    std::memcpy(entry->ServerBytes + 10, &ENTRY_MAGIC, 2);
}

bool DecodeEntry(const CCL_ENTRY* entry, uint32_t* uid, uint32_t* generation, uint16_t* index)
{
    uint16_t magic = 0;
    std::memcpy(uid, entry->ServerBytes, 4);
    std::memcpy(generation, entry->ServerBytes + 4, 4);
    std::memcpy(index, entry->ServerBytes + 8, 2);
    std::memcpy(&magic, entry->ServerBytes + 10, 2);
    return magic == ENTRY_MAGIC;
}

} // namespace kazsim::detail

// --- the four functions ----------------------------------------------------

KZRESULT InitializeServer(void)
{
    CCall call("InitializeServer", nullptr);
    if (call.Ended())
        return call.Code();
    ++Sim().ServerInits;
    return call.Return(0);
}

KZRESULT GetServerVersion(SERVER_VERSION* version)
{
    CCall call("GetServerVersion", nullptr);
    if (call.Ended())
        return call.Code();
    if (!version)
        return call.Return(SIM_E_POINTER);
    version->Major = Sim().Version.Major;
    version->Minor = Sim().Version.Minor;
    version->Build = Sim().Version.Build;
    version->Reserved = 0;
    return call.Return(0);
}

KZRESULT GetDeviceManager(IKazDeviceManager** manager)
{
    CCall call("GetDeviceManager", nullptr);
    if (call.Ended()) {
        if (manager)
            *manager = nullptr;
        return call.Code();
    }
    if (!manager)
        return call.Return(SIM_E_POINTER);
    // One manager per process while anybody holds it.
    CSim& sim = Sim();
    if (sim.Manager && sim.Manager->Refs() > 0) {
        sim.Manager->DoAddRef();
    } else {
        sim.Manager = new CSimManager;
    }
    *manager = static_cast<CSimManager*>(sim.Manager);
    return call.Return(0);
}
