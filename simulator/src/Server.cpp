// The device-server library: its four functions and the COM-style objects
// (device manager, enumerator, device, FLD, BAL and CCL objects). Channel
// objects live in Channel.cpp.
#include "Server.h"

#include <algorithm>
#include <cstring>

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

std::vector<KAZ_DEVICE_RECORD> DeviceRecords()
{
    std::vector<KAZ_DEVICE_RECORD> records;
    for (CBoard* board : Sim().ListedBoards()) {
        KAZ_DEVICE_RECORD record = {};
        record.DeviceId = board->DeviceId;
        record.BoardClass = board->Desc.BoardClass;
        // The server's own bytes: the firmware state and the board's number.
        std::memcpy(record.Reserved, &board->State, 4);
        std::memcpy(record.Reserved + 4, &board->Uid, 4);
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

    KZRESULT Next(uint32_t count, KAZ_DEVICE_RECORD* records, uint32_t* fetched) override
    {
        CCall call(Name("Next"), nullptr, std::to_string(count), this);
        if (fetched)
            *fetched = 0;
        if (call.Ended())
            return call.Code();
        if (count > 0 && !records)
            return call.Return(SIM_E_POINTER);
        if (m_Cursor >= m_Records.size())
            return call.Return(SIM_E_FAIL);
        size_t n = std::min<size_t>(count, m_Records.size() - m_Cursor);
        std::copy_n(m_Records.begin() + static_cast<std::ptrdiff_t>(m_Cursor), n, records);
        m_Cursor += n;
        if (fetched)
            *fetched = static_cast<uint32_t>(n);
        return call.Return(0);
    }
    KZRESULT Reserved4() override { return Reserved("Reserved4"); }
    KZRESULT ResetEnum() override
    {
        CCall call(Name("ResetEnum"), nullptr, {}, this);
        if (call.Ended())
            return call.Code();
        m_Records = DeviceRecords();
        m_Cursor = 0;
        return call.Return(0);
    }
    KZRESULT AssignEvent(HANDLE changeEvent) override
    {
        NoteEvent(changeEvent);
        CCall call(Name("AssignEvent"), nullptr, {}, this);
        if (call.Ended())
            return call.Code();
        m_Event = changeEvent;
        return call.Return(0);
    }
    HANDLE ChangeEvent() const override { return m_Event; }

protected:
    void OnFinalRelease() override { m_Event = nullptr; }

private:
    std::vector<KAZ_DEVICE_RECORD> m_Records; // the list as of creation or ResetEnum
    size_t m_Cursor = 0;
    HANDLE m_Event = nullptr;
};

KZRESULT CSimManager::EnumDevices(IKazDeviceEnum** deviceEnum)
{
    CCall call(Name("EnumDevices"), nullptr, {}, this);
    if (call.Ended())
        return call.Code();
    if (!deviceEnum)
        return call.Return(SIM_E_POINTER);
    *deviceEnum = new CSimEnum;
    return call.Return(0);
}

// --- mode objects ------------------------------------------------------------

class CSimFld : public CBoardObject<IKazFlashLoader, Kind::Fld> {
public:
    using CBoardObject::CBoardObject;
    bool Supports(const GUID& iid) const override { return SameGuid(iid, KAZ_IID_FLD); }

    KZRESULT Reserved3() override { return Reserved("Reserved3"); }
    KZRESULT Reserved4() override { return Reserved("Reserved4"); }
    KZRESULT Execute(uint32_t, uint32_t) override
    {
        CCall call(Name("Execute"), Board(), {}, this);
        if (call.Ended())
            return call.Code();
        if (!Alive())
            return call.Return(SIM_E_GONE);
        m_bRunning = true;
        return call.Return(0);
    }
    KZRESULT Stop() override
    {
        CCall call(Name("Stop"), Board(), {}, this);
        if (call.Ended())
            return call.Code();
        if (!Alive())
            return call.Return(SIM_E_GONE);
        m_bRunning = false;
        return call.Return(0);
    }
    KZRESULT GetFlashInfo(FLASH_INFO* info) override
    {
        CCall call(Name("GetFlashInfo"), Board(), {}, this);
        if (call.Ended())
            return call.Code();
        if (KZRESULT result = Ready(info))
            return call.Return(result);
        const FlashDesc& flash = m_pBoard->Desc.Flash;
        *info = FLASH_INFO{};
        info->Reserved0 = flash.Size();
        info->Word4 = flash.Word4;
        info->Word6 = flash.Word6;
        info->SectorCount = static_cast<uint16_t>(flash.SectorSizes.size());
        info->Word10 = flash.Word10;
        info->BaseAddress = flash.BaseAddress;
        return call.Return(0);
    }
    KZRESULT GetSectorInfo(SECTOR_ADDR sector, SECTOR_INFO* info) override
    {
        CCall call(Name("GetSectorInfo"), Board(), SectorText(sector), this);
        if (call.Ended())
            return call.Code();
        uint32_t offset = 0, size = 0;
        if (KZRESULT result = Locate(sector, info, &offset, &size))
            return call.Return(result);
        info->Size = size;
        info->Reserved = offset;
        return call.Return(0);
    }
    KZRESULT EraseSector(SECTOR_ADDR sector) override
    {
        CCall call(Name("EraseSector"), Board(), SectorText(sector), this);
        if (call.Ended())
            return call.Code();
        uint32_t offset = 0, size = 0;
        if (KZRESULT result = Locate(sector, this, &offset, &size))
            return call.Return(result);
        std::vector<uint8_t>& flash = m_pBoard->Flash.Data();
        std::fill_n(flash.begin() + offset, size, uint8_t{0xFF});
        m_pBoard->Flash.Persist(offset, size);
        return call.Return(0);
    }
    KZRESULT ReadSector(SECTOR_ADDR sector, uint8_t* buffer, uint32_t size) override
    {
        CCall call(Name("ReadSector"), Board(), SectorText(sector), this);
        if (call.Ended())
            return call.Code();
        uint32_t offset = 0, sectorSize = 0;
        if (KZRESULT result = Locate(sector, buffer, &offset, &sectorSize))
            return call.Return(result);
        if (size != sectorSize)
            return call.Return(SIM_E_INVALIDARG);
        std::memcpy(buffer, m_pBoard->Flash.Data().data() + offset, size);
        return call.Return(0);
    }
    KZRESULT WriteSector(SECTOR_ADDR sector, const uint8_t* data, uint32_t size) override
    {
        CCall call(Name("WriteSector"), Board(), SectorText(sector), this);
        if (call.Ended())
            return call.Code();
        uint32_t offset = 0, sectorSize = 0;
        if (KZRESULT result = Locate(sector, data, &offset, &sectorSize))
            return call.Return(result);
        if (size != sectorSize)
            return call.Return(SIM_E_INVALIDARG);
        // NOR flash: programming only clears bits; only an erase sets them.
        uint8_t* flash = m_pBoard->Flash.Data().data() + offset;
        for (uint32_t i = 0; i < size; ++i)
            flash[i] &= data[i];
        m_pBoard->Flash.Persist(offset, size);
        return call.Return(0);
    }

private:
    static std::string SectorText(SECTOR_ADDR sector)
    {
        char text[16];
        std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(sector));
        return text;
    }
    KZRESULT Ready(const void* pointer) const
    {
        if (!pointer)
            return SIM_E_POINTER;
        if (!Alive())
            return SIM_E_GONE;
        return m_bRunning ? 0 : SIM_E_NOT_READY;
    }
    // The sector's offset and size; low 16 bits must be zero.
    KZRESULT Locate(SECTOR_ADDR sector, const void* pointer, uint32_t* offset, uint32_t* size) const
    {
        if (KZRESULT result = Ready(pointer))
            return result;
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
    bool Supports(const GUID& iid) const override { return SameGuid(iid, KAZ_IID_BAL); }

    KZRESULT Attach(KAZ_BAL_RECORD* record) override
    {
        CCall call(Name("Attach"), Board(), {}, this);
        if (call.Ended())
            return call.Code();
        if (!record)
            return call.Return(SIM_E_POINTER);
        if (!Alive())
            return call.Return(SIM_E_GONE);
        return call.Return(0);
    }
};

class CSimCcl : public CBoardObject<IKazCcl, Kind::Ccl> {
public:
    using CBoardObject::CBoardObject;
    bool Supports(const GUID& iid) const override { return SameGuid(iid, KAZ_IID_CCL); }

    KZRESULT Reserved3() override { return Reserved("Reserved3"); }
    KZRESULT Reserved4() override { return Reserved("Reserved4"); }
    KZRESULT Reserved7() override { return Reserved("Reserved7"); }
    KZRESULT Reserved8() override { return Reserved("Reserved8"); }
    KZRESULT Start(uint32_t, uint32_t, uint32_t) override
    {
        CCall call(Name("Start"), Board(), {}, this);
        if (call.Ended())
            return call.Code();
        if (!Alive())
            return call.Return(SIM_E_GONE);
        m_bStarted = true;
        return call.Return(0);
    }
    KZRESULT Stop() override
    {
        CCall call(Name("Stop"), Board(), {}, this);
        if (call.Ended())
            return call.Code();
        if (!Alive())
            return call.Return(SIM_E_GONE);
        m_bStarted = false;
        return call.Return(0);
    }
    KZRESULT Command(const CCL_COMMAND_REQUEST* request, CCL_COMMAND_RESPONSE* response) override
    {
        std::string detail;
        if (request)
            detail = std::to_string(request->Command) + " entry " + std::to_string(request->EntryIndex);
        CCall call(Name("Command"), Board(), detail, this);
        if (call.Ended())
            return call.Code();
        if (!request || !response)
            return call.Return(SIM_E_POINTER);
        if (!Alive())
            return call.Return(SIM_E_GONE);
        if (!m_bStarted)
            return call.Return(SIM_E_NOT_READY);
        if (request->Size != sizeof(CCL_COMMAND_REQUEST) || response->Size != sizeof(CCL_COMMAND_RESPONSE))
            return call.Return(SIM_E_INVALIDARG);
        // The command's own outcome goes into the response; the call succeeds.
        uint32_t result = Sim().CheckFault("Ccl.Command.Response", call.BoardIndex());
        auto& entries = m_pBoard->Entries;
        if (result != 0) {
            // An injected failure: the command is not carried out.
        } else if (request->Target != 0xFFFF || request->EntryIndex >= entries.size()) {
            result = SIM_E_INVALIDARG;
        } else if (request->Command == CCL_CMD_START_ENTRY) {
            entries[request->EntryIndex]->Started = true;
            Sim().ScheduleFirmware(*m_pBoard);
        } else if (request->Command == CCL_CMD_STOP_ENTRY) {
            entries[request->EntryIndex]->Started = false;
        } else {
            result = SIM_E_NOTIMPL;
        }
        response->Result = result;
        return call.Return(0);
    }
    KZRESULT GetSummary(CCL_SUMMARY* summary) override
    {
        CCall call(Name("GetSummary"), Board(), {}, this);
        if (call.Ended())
            return call.Code();
        if (!summary)
            return call.Return(SIM_E_POINTER);
        if (!Alive())
            return call.Return(SIM_E_GONE);
        *summary = CCL_SUMMARY{};
        summary->EntryCount = static_cast<uint16_t>(m_pBoard->Entries.size());
        return call.Return(0);
    }
    KZRESULT GetEntry(uint16_t index, CCL_ENTRY* entry) override
    {
        CCall call(Name("GetEntry"), Board(), std::to_string(index), this);
        if (call.Ended())
            return call.Code();
        if (!entry)
            return call.Return(SIM_E_POINTER);
        if (!Alive())
            return call.Return(SIM_E_GONE);
        if (index >= m_pBoard->Entries.size())
            return call.Return(SIM_E_INVALIDARG);
        const CclEntryDesc& desc = m_pBoard->Entries[index]->Desc;
        *entry = CCL_ENTRY{};
        EncodeEntry(*m_pBoard, index, entry);
        entry->Kind1 = desc.Kind1;
        entry->Kind2 = desc.Kind2;
        entry->Value = desc.Value;
        return call.Return(0);
    }
    KZRESULT BindEntry(uint16_t index, uint64_t* creationField) override
    {
        CCall call(Name("BindEntry"), Board(), std::to_string(index), this);
        if (call.Ended())
            return call.Code();
        if (!creationField)
            return call.Return(SIM_E_POINTER);
        if (!Alive())
            return call.Return(SIM_E_GONE);
        if (index >= m_pBoard->Entries.size())
            return call.Return(SIM_E_INVALIDARG);
        return call.Return(BindChannel(*creationField, m_pBoard.get(), m_Generation, index));
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
        CCall call(Name("OpenComponent"), Board(), classId ? GuidText(*classId) : std::string(), this);
        if (call.Ended())
            return call.Code();
        if (!classId || !interfaceId || !component)
            return call.Return(SIM_E_POINTER);
        *component = nullptr;
        if (!Alive())
            return call.Return(SIM_E_GONE);
        uint32_t state = m_pBoard->State;
        if (SamePair(classId, interfaceId, KAZ_CLSID_FLD, KAZ_IID_FLD)) {
            if (state != STATE_FLASH_LOADER)
                return call.Return(SIM_E_WRONG_STATE);
            *component = new CSimFld(m_pBoard, m_Generation);
        } else if (SamePair(classId, interfaceId, KAZ_CLSID_BAL, KAZ_IID_BAL)) {
            if (state != STATE_CCL)
                return call.Return(SIM_E_WRONG_STATE);
            *component = new CSimBal(m_pBoard, m_Generation);
        } else if (SamePair(classId, interfaceId, KAZ_CLSID_CCL, KAZ_IID_CCL)) {
            if (state != STATE_BAL && state != STATE_CCL)
                return call.Return(SIM_E_WRONG_STATE);
            *component = new CSimCcl(m_pBoard, m_Generation);
        } else {
            return call.Return(SIM_E_NOINTERFACE);
        }
        return call.Return(0);
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
    if (!board)
        return call.Return(SIM_E_NOT_LISTED);
    *device = new CSimDevice(Sim().SharedBoard(board), board->Generation);
    return call.Return(0);
}

void EncodeEntry(const CBoard& board, uint16_t index, CCL_ENTRY* entry)
{
    std::memcpy(entry->Reserved0, &board.Uid, 4);
    std::memcpy(entry->Reserved0 + 4, &board.Generation, 4);
    std::memcpy(entry->Reserved0 + 8, &index, 2);
    std::memcpy(entry->Reserved0 + 10, &ENTRY_MAGIC, 2);
}

bool DecodeEntry(const CCL_ENTRY* entry, uint32_t* uid, uint32_t* generation, uint16_t* index)
{
    uint16_t magic = 0;
    std::memcpy(uid, entry->Reserved0, 4);
    std::memcpy(generation, entry->Reserved0 + 4, 4);
    std::memcpy(index, entry->Reserved0 + 8, 2);
    std::memcpy(&magic, entry->Reserved0 + 10, 2);
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

KZRESULT GetServerVersion(KAZ_SERVER_VERSION* version)
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
