#include "BehaviourModel.h"

#include <deque>
#include <map>

namespace faults {

namespace {

constexpr uint64_t NO_ID = ~0ull;
constexpr unsigned CLASS_COUNT = 5; // the board is of the first class
constexpr unsigned SECTOR_COUNT = 8;
const char BOARD_SERIAL[] = "KZ000001";
const char ROM_SERIAL[] = "ABCD";

// Entry list of the CCL firmware: send 1/1, receive 1/2, auxiliary 3/3.
struct EntryKinds {
    uint16_t kind1, kind2;
};
constexpr EntryKinds ENTRIES[] = {{1, 1}, {1, 2}, {3, 3}};
constexpr uint16_t MAX_MSG_LEN = 256;

enum class Signal { Left, Arrival };
enum class Action { None, Target, Restart };
enum class FindKind { BySerial, FlashLoader };

class CModel {
public:
    CModel(const Sequence& sequence, const Fault& fault, const LibraryMemory& memory)
        : m_Seq(sequence), m_Fault(fault), m_Memory(memory)
    {
        m_Board.state = sequence.state;
        m_szSerial = memory.serialKnown ? BOARD_SERIAL : "";
    }

    Prediction Run();

private:
    // --- the bench ---------------------------------------------------------
    struct Board {
        uint32_t state = 0;
        uint32_t gen = 0; // one per arrival
        bool listed = true;
        std::deque<Signal> pending;
        bool imageInFlash = false;
        bool entryStarted[3] = {false, false, false};
        uint32_t receiveQueued = 0;
        uint64_t Id() const { return 0x1000 + gen; }
        const char* Serial() const { return state == 16 ? ROM_SERIAL : BOARD_SERIAL; }
    } m_Board;

    void Restart(uint32_t state)
    {
        m_Board.listed = false;
        ++m_Board.gen;
        m_Board.state = state;
        for (bool& started : m_Board.entryStarted)
            started = false;
        m_Board.receiveQueued = 0;
        m_Board.pending = {Signal::Left, Signal::Arrival};
    }
    bool Alive(uint32_t gen) const { return m_Board.listed && m_Board.gen == gen; }

    // Logs a call; true when the armed fault fires on it.
    bool Fails(const char* name, uint32_t* code = nullptr)
    {
        m_Calls.emplace_back(name);
        uint32_t occurrence = ++m_Counts[name];
        if (!m_Fault.name.empty() && m_Fault.name == name && m_Fault.occurrence == occurrence) {
            if (code)
                *code = m_Fault.code;
            return true;
        }
        return false;
    }

    // --- kernel-driver channel -----------------------------------------------
    bool m_bHandle = false;
    uint32_t m_HandleGen = 0;

    void CloseHandle() { m_bHandle = false; }

    uint32_t DriverOpen(uint32_t pathGen)
    {
        uint32_t code = 0;
        if (Fails("Driver.Open", &code))
            return code;
        if (!Alive(pathGen))
            return WIN_FILE_NOT_FOUND;
        if (m_bHandle && m_HandleGen == pathGen)
            return WIN_SHARING_VIOLATION;
        m_bHandle = true;
        m_HandleGen = pathGen;
        return 0;
    }

    struct Info {
        uint32_t state;
        uint64_t id;
        const char* serial;
    };
    uint32_t GetInfo(Info* info)
    {
        if (!m_bHandle)
            return E_NO_HANDLE;
        uint32_t code = 0;
        if (Fails("Driver.GetInfo", &code))
            return code;
        if (!Alive(m_HandleGen))
            return WIN_DEVICE_NOT_CONNECTED;
        *info = {m_Board.state, m_Board.Id(), m_Board.Serial()};
        return 0;
    }
    uint32_t Reset(uint8_t selector)
    {
        if (!m_bHandle)
            return E_NO_HANDLE;
        uint32_t code = 0;
        if (Fails("Driver.Reset", &code))
            return code;
        if (!Alive(m_HandleGen))
            return WIN_DEVICE_NOT_CONNECTED;
        Restart(selector == 0 ? 16 : 3);
        return 0;
    }
    uint32_t LoadFw()
    {
        if (!m_bHandle)
            return E_NO_HANDLE;
        uint32_t code = 0;
        if (Fails("Driver.LoadFw", &code))
            return code;
        if (!Alive(m_HandleGen))
            return WIN_DEVICE_NOT_CONNECTED;
        if (m_Board.state != 16)
            return WIN_NOT_READY;
        Restart(1);
        return 0;
    }

    // Device at a position of a Setup-API list of listCount boards: the
    // device, its interface and the two detail queries (the first one is
    // refused, to learn the size).
    bool SelectPosition(uint32_t index, uint32_t listCount)
    {
        if (Fails("SetupDiEnumDeviceInfo") || index >= listCount)
            return false;
        if (Fails("SetupDiEnumDeviceInterfaces"))
            return false;
        if (Fails("SetupDiGetDeviceInterfaceDetailA"))
            return false;
        return !Fails("SetupDiGetDeviceInterfaceDetailA");
    }

    // FindById (serial null) or FindBySerial.
    uint32_t Find(uint64_t id, const char* serial)
    {
        if (Fails("SetupDiGetClassDevsA"))
            return E_FAIL;
        const uint32_t listCount = m_Board.listed ? 1 : 0;
        const uint32_t listGen = m_Board.gen;
        uint32_t result = E_FAIL;
        for (uint32_t index = 0;; ++index) {
            if (!SelectPosition(index, listCount)) {
                result = E_FAIL;
                break;
            }
            result = DriverOpen(listGen);
            if (result != 0)
                break;
            Info info{};
            result = GetInfo(&info);
            if (result != 0) {
                CloseHandle();
                break;
            }
            bool match = serial ? std::string(info.serial) == serial : info.id == id;
            if (match)
                break;
            CloseHandle();
        }
        Fails("SetupDiDestroyDeviceInfoList"); // its result is not looked at
        return result;
    }

    uint32_t WaitForFlashLoader()
    {
        if (Fails("SetupDiGetClassDevsA"))
            return E_FAIL;
        const uint32_t listCount = m_Board.listed ? 1 : 0;
        const uint32_t listGen = m_Board.gen;
        uint32_t result = 0;
        if (SelectPosition(0, listCount)) {
            for (;;) {
                result = DriverOpen(listGen);
                if (result != 0) {
                    SelectPosition(0, listCount);
                    break;
                }
                Info info{};
                result = GetInfo(&info);
                if (result == 0 && info.state == 1)
                    break;
                CloseHandle();
                if (!SelectPosition(0, listCount))
                    break;
            }
        }
        Fails("SetupDiDestroyDeviceInfoList");
        return result;
    }

    // --- server device object ----------------------------------------------
    uint64_t m_SelectedId = NO_ID;
    uint64_t m_DeviceId = NO_ID;
    int m_SnapCount = 1;  // the snapshot holds one board of an earlier bench
    int64_t m_SnapGen = -1;

    uint32_t FindDevice(unsigned boardClass, const char* serial, uint64_t* id)
    {
        uint32_t code = 0;
        if (Fails("Enum.ResetEnum", &code))
            return code;
        const size_t records = m_Board.listed ? 1 : 0;
        for (size_t cursor = 0;; ++cursor) {
            if (Fails("Enum.Next", &code))
                return code;
            if (cursor >= records)
                return SIM_FAIL;
            if (boardClass != 0)
                continue;
            if (serial && std::string(m_Board.Serial()) != serial)
                continue;
            *id = m_Board.Id();
            return 0;
        }
    }

    uint32_t OpenDevice(uint64_t id)
    {
        uint32_t code = 0;
        if (Fails("DeviceManager.OpenDevice", &code))
            return code;
        return m_Board.listed && id == m_Board.Id() ? 0 : SIM_NOT_LISTED;
    }
    uint32_t SelectDevice(uint64_t id)
    {
        if (id == NO_ID)
            return E_FAIL;
        uint32_t result = OpenDevice(id);
        if (result == 0)
            m_SelectedId = id;
        return result;
    }

    // Gives the change: 0 unchanged (or no answer), 2 more, 3 other content.
    int Refresh(bool first)
    {
        if (Fails("Enum.ResetEnum") || Fails("Enum.Next"))
            return 0;
        if (!m_Board.listed)
            return 0; // an empty list is refused by the server
        int change = 0;
        if (!first) {
            if (m_SnapCount == 1)
                change = m_SnapGen == m_Board.gen ? 0 : 3;
            else
                change = 2;
        }
        m_SnapCount = 1;
        m_SnapGen = m_Board.gen;
        return change;
    }

    uint32_t WaitForArrival()
    {
        for (;;) {
            if (m_Board.pending.empty()) {
                m_Board.listed = true; // the board came back meanwhile
                return E_ARRIVAL_TIMEOUT;
            }
            Signal signal = m_Board.pending.front();
            m_Board.pending.pop_front();
            if (signal == Signal::Arrival)
                m_Board.listed = true;
            if (Refresh(false) & 2)
                return 0;
        }
    }

    // --- controller: open and close ----------------------------------------
    std::string m_szSerial;

    void Close()
    {
        m_SelectedId = NO_ID;
        CloseHandle();
    }

    uint32_t OpenById(uint64_t id)
    {
        if (id != NO_ID) {
            m_DeviceId = id;
        } else {
            uint32_t result = E_FAIL;
            bool found = false;
            for (unsigned c = 0; c < CLASS_COUNT && !found; ++c) {
                result = FindDevice(c, nullptr, &m_DeviceId);
                found = result == 0;
            }
            if (!found) {
                Close();
                return result;
            }
        }
        return FindAndSelect();
    }

    uint32_t OpenBySerial(const char* serial)
    {
        uint32_t result = E_FAIL;
        bool found = false;
        for (unsigned c = 0; c < CLASS_COUNT && !found; ++c) {
            result = FindDevice(c, serial, &m_DeviceId);
            found = result == 0;
        }
        if (!found) {
            Close();
            return result;
        }
        m_szSerial = serial;
        m_Memory.serialKnown = true;
        return FindAndSelect();
    }

    // A board still open (a failed attempt, an init without its reset) is
    // closed before the find, which would otherwise find it held by us.
    uint32_t FindAndSelect()
    {
        CloseHandle();
        uint32_t result = Find(m_DeviceId, nullptr);
        if (result == 0)
            result = SelectDevice(m_DeviceId);
        if (result != 0)
            Close();
        return result;
    }

    // --- mode switching ------------------------------------------------------
    struct Row {
        Action action;
        bool loadFw;
        uint8_t selector;
        FindKind find;
        const char* serial;
    };

    Row RowFor(Mode target, uint32_t state) const
    {
        const char* serial = m_szSerial.c_str();
        switch (target) {
        case Mode::Fld:
            if (state == 1)
                return {Action::Target, false, 0, FindKind::BySerial, nullptr};
            if (state == 2 || state == 3)
                return {Action::Restart, false, 0, FindKind::BySerial, ROM_SERIAL};
            if (state == 16)
                return {Action::Restart, true, 0, FindKind::FlashLoader, nullptr};
            break;
        case Mode::Bal:
            if (state == 1 || state == 2)
                return {Action::Restart, false, 1, FindKind::BySerial, serial};
            if (state == 3)
                return {Action::Target, false, 0, FindKind::BySerial, nullptr};
            break;
        default: // CCL, also for BGI
            if (state == 1)
                return {Action::Restart, false, 1, FindKind::BySerial, serial};
            if (state == 2 || state == 3)
                return {Action::Target, false, 0, FindKind::BySerial, nullptr};
            break;
        }
        return {Action::None, false, 0, FindKind::BySerial, nullptr};
    }

    uint32_t RestartSteps(const Row& row)
    {
        Refresh(true);
        uint32_t result = row.loadFw ? LoadFw() : Reset(row.selector);
        if (result != 0)
            return result;
        result = WaitForArrival();
        if (result != 0)
            return result;
        CloseHandle();
        // The serial is copied for the find: the row's pointer may be ours.
        return row.find == FindKind::FlashLoader ? WaitForFlashLoader() : Find(0, std::string(row.serial).c_str());
    }

    uint32_t Switch(Mode target)
    {
        uint32_t result = 0;
        for (int pass = 0; pass < 3; ++pass) {
            Info info{};
            result = GetInfo(&info);
            if (result != 0)
                continue;
            Row row = RowFor(target, info.state);
            if (row.action == Action::Target) {
                m_SelectedId = NO_ID;
                if (SelectDevice(info.id) == 0)
                    m_DeviceId = info.id;
                return 0;
            }
            result = row.action == Action::Restart ? RestartSteps(row) : 0;
        }
        return result;
    }

    // The mode's object of the selected device; its arrival in *gen.
    uint32_t OpenComponent(Mode mode, uint32_t* gen)
    {
        uint32_t result = OpenDevice(m_SelectedId);
        if (result != 0)
            return result;
        const uint32_t deviceGen = m_Board.gen;
        uint32_t code = 0;
        if (Fails("Device.OpenComponent", &code))
            return code;
        if (!Alive(deviceGen))
            return SIM_GONE;
        const uint32_t state = m_Board.state;
        const bool offered = mode == Mode::Fld   ? state == 1
                             : mode == Mode::Bal ? state == 3
                                                 : (state == 2 || state == 3);
        if (!offered)
            return SIM_WRONG_STATE;
        *gen = deviceGen;
        return 0;
    }

    // --- access objects --------------------------------------------------------
    struct {
        bool held = false, started = false;
        uint32_t gen = 0;
    } m_Fld;
    bool m_bBalHeld = false;
    bool m_bCclHeld = false;
    bool m_bBgiHeld = false;
    uint32_t m_BgiGen = 0;
    uint32_t m_CclLeft = 0;
    struct Channel {
        bool exists = false;
    } m_Send, m_Receive, m_Aux;

    uint32_t ObjectCall(const char* name, uint32_t gen)
    {
        uint32_t code = 0;
        if (Fails(name, &code))
            return code;
        return Alive(gen) ? 0 : SIM_GONE;
    }

    void FlashClose()
    {
        if (m_Fld.held && m_Fld.started)
            Fails("Fld.Stop"); // its result is not looked at
        m_Fld.held = m_Fld.started = false;
    }

    uint32_t FlashOpen(uint32_t gen)
    {
        FlashClose();
        if (uint32_t result = ObjectCall("Fld.Execute", gen))
            return result; // the object is dropped
        m_Fld = {true, true, gen};
        if (ObjectCall("Fld.GetFlashInfo", gen) != 0)
            return E_FLASH_NOT_STARTED;
        for (unsigned sector = 0; sector < SECTOR_COUNT; ++sector)
            if (ObjectCall("Fld.GetSectorInfo", gen) != 0)
                return E_FLASH_NOT_STARTED;
        return 0;
    }

    uint32_t InitFld()
    {
        uint32_t result = Switch(Mode::Fld);
        uint32_t gen = 0;
        if (result == 0)
            result = OpenComponent(Mode::Fld, &gen);
        if (result == 0)
            result = FlashOpen(gen);
        return result;
    }

    uint32_t InitBal()
    {
        uint32_t result = Switch(Mode::Bal);
        uint32_t gen = 0;
        if (result == 0)
            result = OpenComponent(Mode::Bal, &gen);
        if (result != 0)
            return result;
        m_bBalHeld = false; // the object held before is given back first
        result = ObjectCall("Bal.Attach", gen);
        m_bBalHeld = result == 0;
        return result;
    }

    uint32_t InitCcl()
    {
        uint32_t result = Switch(Mode::Ccl);
        uint32_t gen = 0;
        if (result == 0)
            result = OpenComponent(Mode::Ccl, &gen);
        if (result == 0)
            result = ObjectCall("Ccl.Start", gen);
        if (result != 0)
            return result;
        if (m_bCclHeld)
            ++m_CclLeft; // replaced without release
        m_bCclHeld = true;
        return 0;
    }

    bool FindEntry(uint16_t kind1, uint16_t kind2, uint16_t* index)
    {
        if (Fails("Ccl.GetSummary"))
            return false;
        for (uint16_t i = 0; i < 3; ++i) {
            if (Fails("Ccl.GetEntry"))
                continue;
            if (ENTRIES[i].kind1 == kind1 && ENTRIES[i].kind2 == kind2) {
                *index = i;
                return true;
            }
        }
        return false;
    }

    uint32_t OpenMessageChannel(Channel& channel, uint16_t kind2, uint16_t* maxLen)
    {
        uint16_t index = 0;
        if (!FindEntry(1, kind2, &index))
            return 0; // left out
        uint32_t code = 0;
        if (Fails("CreateChannelObject", &code))
            return code;
        channel.exists = true;
        if (Fails("Ccl.BindEntry", &code))
            return code;
        Fails("Channel.AssignEvent");
        if (!Fails("Channel.GetMaxMsgLen"))
            *maxLen = MAX_MSG_LEN;
        if (!Fails("Ccl.Command"))
            m_Board.entryStarted[index] = true;
        return 0;
    }

    uint32_t CloseChannels()
    {
        uint32_t result = E_FAIL;
        if (m_bBgiHeld) {
            uint32_t code = 0;
            result = Fails("Ccl.GetSummary", &code) ? code : 0;
        }
        for (unsigned i = 0; result == 0 && i < 3; ++i) {
            uint32_t code = 0;
            if (Fails("Ccl.Command", &code))
                result = code;
        }
        m_Send = m_Receive = m_Aux = Channel{};
        m_bBgiHeld = false;
        return result;
    }

    uint32_t OpenChannels()
    {
        uint32_t code = 0;
        uint32_t result = Fails("Ccl.GetSummary", &code) ? code : 0;
        if (result == 0)
            result = OpenMessageChannel(m_Send, 1, &m_Memory.sendMax);
        if (result == 0)
            result = OpenMessageChannel(m_Receive, 2, &m_Memory.receiveMax);
        uint16_t index = 0;
        if (result == 0 && FindEntry(3, 3, &index)) {
            if (Fails("CreateChannelObject", &code)) {
                result = code;
            } else {
                m_Aux.exists = true;
                Fails("Ccl.BindEntry");
                Fails("Channel.AssignEvent");
            }
        }
        if (result != 0)
            CloseChannels();
        return result;
    }

    uint32_t InitBgi()
    {
        uint32_t result = Switch(Mode::Ccl);
        uint32_t gen = 0;
        if (result == 0)
            result = OpenComponent(Mode::Ccl, &gen);
        if (result == 0)
            result = ObjectCall("Ccl.Start", gen);
        if (result != 0)
            return result;
        m_bBgiHeld = true;
        m_BgiGen = gen;
        return OpenChannels();
    }

    // --- exports ------------------------------------------------------------
    using InitFn = uint32_t (CModel::*)();

    uint32_t InitWithAttempts(uint64_t id, InitFn init, bool secondAttach)
    {
        const int attempts = id == NO_ID ? 2 : 1;
        uint32_t result = E_FAIL;
        for (int attempt = 0; attempt < attempts; ++attempt) {
            result = OpenById(id);
            if (result == 0)
                result = (this->*init)();
            if (result == 0)
                break;
        }
        if (result == 0 && secondAttach)
            result = (this->*init)();
        return result;
    }

    uint32_t InitBySerial(InitFn init)
    {
        uint32_t result = OpenBySerial(BOARD_SERIAL);
        if (result == 0)
            result = (this->*init)();
        return result;
    }

    uint32_t Init()
    {
        const uint64_t id = m_Seq.openBy == OpenBy::Any ? NO_ID : m_Board.Id();
        switch (m_Seq.mode) {
        case Mode::Fld: {
            uint32_t result = OpenById(id);
            return result == 0 ? InitFld() : result;
        }
        case Mode::Bal:
            return m_Seq.openBy == OpenBy::Serial ? InitBySerial(&CModel::InitBal)
                                                  : InitWithAttempts(id, &CModel::InitBal, true);
        case Mode::Ccl:
            return m_Seq.openBy == OpenBy::Serial ? InitBySerial(&CModel::InitCcl)
                                                  : InitWithAttempts(id, &CModel::InitCcl, true);
        case Mode::Bgi:
            // By serial the BGI entry is the CCL one: the channels stay closed.
            return m_Seq.openBy == OpenBy::Serial ? InitBySerial(&CModel::InitCcl)
                                                  : InitWithAttempts(id, &CModel::InitBgi, false);
        }
        return E_FAIL;
    }

    uint32_t Program()
    {
        if (ObjectCall("Fld.ReadSector", m_Fld.gen) != 0)
            return E_READ_RANGE;
        if (uint32_t result = ObjectCall("Fld.EraseSector", m_Fld.gen))
            return result;
        m_Board.imageInFlash = false;
        if (ObjectCall("Fld.WriteSector", m_Fld.gen) != 0)
            return E_WRITE_RANGE;
        m_Board.imageInFlash = true;
        return 0;
    }

    uint32_t Verify()
    {
        if (ObjectCall("Fld.ReadSector", m_Fld.gen) != 0)
            return E_READ_RANGE;
        return m_Board.imageInFlash ? 0 : E_VERIFY;
    }

    // The record sits in sector 0 once the image is there; a sector that
    // cannot be read is passed over, and the scan itself never fails.
    uint32_t Scan(bool* found)
    {
        *found = false;
        for (unsigned sector = 0; sector < SECTOR_COUNT; ++sector) {
            bool read = ObjectCall("Fld.ReadSector", m_Fld.gen) == 0;
            if (read && sector == 0 && m_Board.imageInFlash) {
                *found = true;
                break;
            }
        }
        return 0;
    }

    uint32_t Erase() { return ObjectCall("Fld.EraseSector", m_Fld.gen); }

    uint32_t Send()
    {
        if (!m_Send.exists || m_Memory.sendMax <= 10)
            return E_FAIL;
        Fails("Channel.GetSendStatus"); // without an answer the send waits, then asks anyway
        uint32_t code = 0;
        if (Fails("Channel.GetCurrentEntry", &code))
            return code;
        if (!Fails("Channel.ReleaseEntries") && m_Board.entryStarted[0] && m_Board.entryStarted[1])
            ++m_Board.receiveQueued; // taken by the firmware and echoed
        return 0;
    }

    uint32_t Receive()
    {
        if (!m_Receive.exists || m_Memory.receiveMax > 300)
            return E_FAIL;
        Fails("Channel.GetReceiveStatus");
        uint32_t code = 0;
        if (Fails("Channel.GetCurrentEntry", &code))
            return code;
        if (m_Board.receiveQueued == 0)
            return SIM_PENDING;
        Fails("Channel.ReleaseEntries");
        return 0;
    }

    uint32_t ResetMode()
    {
        switch (m_Seq.mode) {
        case Mode::Fld:
            FlashClose();
            break;
        case Mode::Bal:
            m_bBalHeld = false;
            break;
        case Mode::Ccl:
            CclReset();
            break;
        case Mode::Bgi:
            CloseChannels();
            break;
        }
        Close();
        return 0;
    }

    uint32_t CclReset()
    {
        if (m_bCclHeld)
            Fails("Ccl.Stop");
        m_bCclHeld = false;
        Close();
        return 0;
    }

    Sequence m_Seq;
    Fault m_Fault;
    LibraryMemory m_Memory;
    std::vector<std::string> m_Calls;
    std::map<std::string, uint32_t> m_Counts;
};

Prediction CModel::Run()
{
    Prediction p;
    uint32_t initResult = 0;
    for (Step step : StepsOf(m_Seq)) {
        if (step != Step::Init && step != Step::Reset && step != Step::CclReset && initResult != 0)
            continue;
        uint32_t result = 0;
        switch (step) {
        case Step::Init:
            result = initResult = Init();
            break;
        case Step::Program:
            result = Program();
            break;
        case Step::Verify:
            result = Verify();
            break;
        case Step::Scan:
            result = Scan(&p.scanWroteRecord);
            break;
        case Step::Erase:
            result = Erase();
            break;
        case Step::Send:
            result = Send();
            break;
        case Step::Receive:
            result = Receive();
            break;
        case Step::MsgLen:
            result = 0;
            break;
        case Step::Reset:
            result = ResetMode();
            break;
        case Step::CclReset:
            result = CclReset();
            break;
        }
        p.steps.push_back(step);
        p.results.push_back(result);
    }
    p.calls = m_Calls;
    p.cclReferencesLeft = m_CclLeft;
    p.memoryAfter = m_Memory;
    return p;
}

} // namespace

std::string Describe(const Sequence& s)
{
    static const char* modes[] = {"FLD", "BAL", "CCL", "BGI"};
    static const char* opens[] = {"ById", "ByAny", "BySerial"};
    return std::string(modes[static_cast<int>(s.mode)]) + "_" + opens[static_cast<int>(s.openBy)] + "_FromState" +
           std::to_string(s.state);
}

std::vector<Step> StepsOf(const Sequence& s)
{
    switch (s.mode) {
    case Mode::Fld:
        return {Step::Init, Step::Program, Step::Verify, Step::Scan, Step::Erase, Step::Reset};
    case Mode::Bgi:
        if (s.openBy == OpenBy::Serial) // CCL mode under the BGI name: its reset is the CCL one
            return {Step::Init, Step::Send, Step::Receive, Step::MsgLen, Step::Reset, Step::CclReset};
        return {Step::Init, Step::Send, Step::Receive, Step::MsgLen, Step::Reset};
    default:
        return {Step::Init, Step::Reset};
    }
}

const char* StepName(Step step)
{
    switch (step) {
    case Step::Init:
        return "init";
    case Step::Program:
        return "kzmFLDprogram";
    case Step::Verify:
        return "kzmFLDverify";
    case Step::Scan:
        return "kzmFLDscanFwInfo";
    case Step::Erase:
        return "kzmFLDerase";
    case Step::Send:
        return "kzmBGIsend";
    case Step::Receive:
        return "kzmBGIreceive";
    case Step::MsgLen:
        return "kzmBGIgetMsgLen";
    case Step::Reset:
        return "reset";
    case Step::CclReset:
        return "kzmCCLreset";
    }
    return "?";
}

Prediction Predict(const Sequence& sequence, const Fault& fault, const LibraryMemory& memory)
{
    CModel model(sequence, fault, memory);
    return model.Run();
}

} // namespace faults
