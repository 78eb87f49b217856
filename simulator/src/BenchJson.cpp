// Reading a bench description from JSON. Every error names the file, the
// place in the document (e.g. boards[0].flash.sectors[2]) and what is wrong.
#include "Sim.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

using nlohmann::json;

namespace kazsim {

namespace {

namespace fs = std::filesystem;

// Bench files are small; a larger one is a wrong file, not a bench.
constexpr uintmax_t MAX_BENCH_FILE = 1 << 20;

class CReader {
public:
    // benchFile: the file the description comes from ("" for text), which no
    // board may take as its flash file.
    CReader(std::string source, std::string baseDir, std::string benchFile = {})
        : m_Source(std::move(source)), m_BaseDir(std::move(baseDir)), m_BenchFile(std::move(benchFile))
    {
    }

    [[noreturn]] void Fail(const std::string& where, const std::string& what) const
    {
        throw BenchError(m_Source + ": " + (where.empty() ? std::string() : where + ": ") + what);
    }

    void OnlyKeys(const json& object, const std::string& where, std::initializer_list<const char*> keys) const
    {
        if (!object.is_object())
            Fail(where, "expected an object");
        for (auto it = object.begin(); it != object.end(); ++it) {
            bool known = false;
            for (const char* key : keys)
                known = known || it.key() == key;
            if (known)
                continue;
            // Keys were camelCase once (romSerial); name the new spelling.
            const std::string snake = SnakeCase(it.key());
            for (const char* key : keys)
                if (snake != it.key() && snake == key)
                    Fail(Join(where, it.key()), "unknown key; it is now spelled " + snake);
            Fail(Join(where, it.key()), "unknown key");
        }
    }

    static std::string SnakeCase(const std::string& key)
    {
        std::string snake;
        for (char c : key) {
            if (c >= 'A' && c <= 'Z') {
                snake += '_';
                c = static_cast<char>(c - 'A' + 'a');
            }
            snake += c;
        }
        return snake;
    }

    static std::string Join(const std::string& where, const std::string& key)
    {
        return where.empty() ? key : where + "." + key;
    }
    static std::string Item(const std::string& where, size_t index)
    {
        return where + "[" + std::to_string(index) + "]";
    }

    // A number given as a JSON number or as text ("0x4000", "16384").
    uint64_t Number(const json& value, const std::string& where, uint64_t max) const
    {
        uint64_t number = 0;
        if (value.is_number_unsigned()) {
            number = value.get<uint64_t>();
        } else if (value.is_number_integer()) {
            if (value.get<int64_t>() < 0)
                Fail(where, "must not be negative");
            number = static_cast<uint64_t>(value.get<int64_t>());
        } else if (value.is_string()) {
            const std::string text = value.get<std::string>();
            size_t used = 0;
            try {
                number = std::stoull(text, &used, 0);
            } catch (const std::exception&) {
                used = 0;
            }
            if (text.empty() || used != text.size() || text[0] == '-')
                Fail(where, "\"" + text + "\" is not a number");
        } else if (value.is_number_float()) {
            Fail(where, "must be a whole number from 0 to " + std::to_string(max));
        } else {
            Fail(where, "expected a number");
        }
        if (number > max)
            Fail(where, std::to_string(number) + " is too large (at most " + std::to_string(max) + ")");
        return number;
    }

    bool Bool(const json& value, const std::string& where) const
    {
        if (!value.is_boolean())
            Fail(where, "expected true or false");
        return value.get<bool>();
    }

    std::string Text(const json& value, const std::string& where, size_t maxLength) const
    {
        if (!value.is_string())
            Fail(where, "expected a string");
        std::string text = value.get<std::string>();
        if (text.size() > maxLength)
            Fail(where, "longer than " + std::to_string(maxLength) + " characters");
        return text;
    }

    GUID Class(const json& value, const std::string& where) const
    {
        static const GUID* const classes[] = {&BOARD_CLASS_1, &BOARD_CLASS_2, &BOARD_CLASS_3, &BOARD_CLASS_4,
                                              &BOARD_CLASS_5};
        if (value.is_number()) {
            uint64_t number = Number(value, where, 5);
            if (number < 1)
                Fail(where, "board classes are numbered 1 to 5");
            return *classes[number - 1];
        }
        GUID guid = {};
        if (!value.is_string() || !detail::ParseGuid(value.get<std::string>(), &guid))
            Fail(where, "expected a class number 1 to 5 or a GUID like {2219F6A0-732A-4750-B66F-0AE731FB40E1}");
        return guid;
    }

    FlashDesc Flash(const json& value, const std::string& where) const
    {
        OnlyKeys(value, where, {"sectors", "base", "words", "file"});
        FlashDesc flash = DefaultFlash();
        if (value.contains("sectors")) {
            const json& sectors = value["sectors"];
            std::string at = Join(where, "sectors");
            if (!sectors.is_array())
                Fail(at, "expected an array of sector sizes");
            flash.SectorSizes.clear();
            uint64_t total = 0;
            for (size_t i = 0; i < sectors.size(); ++i) {
                const json& sector = sectors[i];
                uint64_t size = 0, count = 1;
                if (sector.is_object()) {
                    OnlyKeys(sector, Item(at, i), {"size", "count"});
                    if (!sector.contains("size"))
                        Fail(Item(at, i), "missing \"size\"");
                    size = Number(sector["size"], Join(Item(at, i), "size"), 0x7FFFFFFF);
                    if (sector.contains("count"))
                        count = Number(sector["count"], Join(Item(at, i), "count"), 0xFFFF);
                } else {
                    size = Number(sector, Item(at, i), 0x7FFFFFFF);
                }
                if (size == 0)
                    Fail(Item(at, i), "a sector cannot be empty");
                for (uint64_t n = 0; n < count; ++n)
                    flash.SectorSizes.push_back(static_cast<uint32_t>(size));
                total += size * count;
                if (total > 0x40000000)
                    Fail(at, "the flash is larger than 1 GiB");
            }
            if (flash.SectorSizes.size() > 0xFFFF)
                Fail(at, "more than 65535 sectors");
        }
        if (value.contains("base"))
            flash.BaseAddress = static_cast<uint32_t>(Number(value["base"], Join(where, "base"), 0xFFFFFFFF));
        if (value.contains("words")) {
            const json& words = value["words"];
            std::string at = Join(where, "words");
            if (!words.is_array() || words.size() != 3)
                Fail(at, "expected three numbers (the FLASH_INFO words at offsets 4, 6 and 10)");
            flash.Word4 = static_cast<uint16_t>(Number(words[0], Item(at, 0), 0xFFFF));
            flash.Word6 = static_cast<uint16_t>(Number(words[1], Item(at, 1), 0xFFFF));
            flash.Word10 = static_cast<uint16_t>(Number(words[2], Item(at, 2), 0xFFFF));
        }
        if (value.contains("file")) {
            std::string file = Text(value["file"], Join(where, "file"), 4096);
            if (file.empty())
                Fail(Join(where, "file"), "must not be empty (leave it out for a flash in memory only)");
            fs::path path(file);
            if (path.is_relative() && !m_BaseDir.empty())
                path = fs::path(m_BaseDir) / path;
            flash.File = path.string();
            CheckFlashFile(flash.File, Join(where, "file"));
        }
        return flash;
    }

    // A flash file is the bench's alone: the bench writes it whole, so it must
    // be neither a link to another file, nor a device or folder, nor the
    // bench file itself.
    void CheckFlashFile(const std::string& file, const std::string& where) const
    {
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(file, ec);
        if (fs::is_symlink(status))
            Fail(where, file + " is a symbolic link; a flash file must be a file of its own");
        if (fs::exists(status) && !fs::is_regular_file(status))
            Fail(where, file + " is not a regular file");
        if (!m_BenchFile.empty() && detail::SameFile(file, m_BenchFile))
            Fail(where, file + " is this bench file itself");
    }

    std::vector<CclEntryDesc> Ccl(const json& value, const std::string& where, bool* echo) const
    {
        OnlyKeys(value, where, {"entries", "echo"});
        if (value.contains("echo"))
            *echo = Bool(value["echo"], Join(where, "echo"));
        std::vector<CclEntryDesc> entries = DefaultCclEntries();
        if (value.contains("entries")) {
            const json& list = value["entries"];
            std::string at = Join(where, "entries");
            if (!list.is_array())
                Fail(at, "expected an array of entries");
            entries.clear();
            for (size_t i = 0; i < list.size(); ++i) {
                std::string item = Item(at, i);
                const json& e = list[i];
                OnlyKeys(e, item, {"kind1", "kind2", "max_msg_len", "value", "depth"});
                if (!e.contains("kind1") || !e.contains("kind2"))
                    Fail(item, "needs \"kind1\" and \"kind2\"");
                CclEntryDesc entry;
                entry.Kind1 = static_cast<uint16_t>(Number(e["kind1"], Join(item, "kind1"), 0xFFFF));
                entry.Kind2 = static_cast<uint16_t>(Number(e["kind2"], Join(item, "kind2"), 0xFFFF));
                if (e.contains("max_msg_len"))
                    entry.MaxMsgLen =
                        static_cast<uint16_t>(Number(e["max_msg_len"], Join(item, "max_msg_len"), 0xFFFF));
                if (entry.MaxMsgLen == 0)
                    Fail(Join(item, "max_msg_len"), "must be at least 1");
                if (e.contains("value"))
                    entry.Value = static_cast<uint16_t>(Number(e["value"], Join(item, "value"), 0xFFFF));
                if (e.contains("depth"))
                    entry.Depth = static_cast<uint32_t>(Number(e["depth"], Join(item, "depth"), 0xFFFF));
                if (entry.Depth == 0)
                    Fail(Join(item, "depth"), "must be at least 1");
                entries.push_back(entry);
            }
        }
        return entries;
    }

    // The known operation nearest to a misspelt one (edit distance, letter
    // case ignored), for the error message.
    static std::string Closest(const std::string& name)
    {
        auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
        std::string best;
        size_t bestDistance = SIZE_MAX;
        for (const std::string& known : Faults::Names()) {
            std::vector<size_t> row(known.size() + 1);
            for (size_t j = 0; j <= known.size(); ++j)
                row[j] = j;
            for (size_t i = 1; i <= name.size(); ++i) {
                size_t diagonal = row[0];
                row[0] = i;
                for (size_t j = 1; j <= known.size(); ++j) {
                    size_t above = row[j];
                    row[j] = std::min(
                        {row[j] + 1, row[j - 1] + 1, diagonal + (lower(name[i - 1]) == lower(known[j - 1]) ? 0 : 1)});
                    diagonal = above;
                }
            }
            if (row[known.size()] < bestDistance) {
                bestDistance = row[known.size()];
                best = known;
            }
        }
        return best;
    }

    // Calls of these operations carry the board they concern; the others
    // (modules, server functions, the device list) concern no board.
    static bool ConcernsABoard(const std::string& name)
    {
        static const char* const prefixes[] = {"Driver.", "Device.", "Fld.", "Bal.", "Ccl.", "Channel."};
        for (const char* prefix : prefixes)
            if (name.rfind(prefix, 0) == 0)
                return true;
        return name == "CreateChannelObject" || name == "DeviceManager.OpenDevice" || name == "SetupDiEnumDeviceInfo" ||
               name == "SetupDiEnumDeviceInterfaces" || name == "SetupDiGetDeviceInterfaceDetailA";
    }

    // Faults armed when the bench is set up: {"op", "code", "at"}, as
    // Faults::Fail(op, code, at) with the board they are written under.
    std::vector<FaultDesc> FaultList(const json& value, const std::string& where, bool underBoard) const
    {
        if (!value.is_array())
            Fail(where, "expected an array of faults like "
                        "{\"op\": \"Fld.WriteSector\", \"code\": \"0x80004005\", \"at\": 3}");
        std::vector<FaultDesc> faults;
        for (size_t i = 0; i < value.size(); ++i) {
            const std::string item = Item(where, i);
            const json& entry = value[i];
            OnlyKeys(entry, item, {"op", "code", "at"});
            if (!entry.contains("op") || !entry.contains("code"))
                Fail(item, "needs \"op\" and \"code\"");
            FaultDesc fault;
            fault.Operation = Text(entry["op"], Join(item, "op"), 100);
            const std::vector<std::string> names = Faults::Names();
            if (std::find(names.begin(), names.end(), fault.Operation) == names.end())
                Fail(Join(item, "op"), "no operation named \"" + fault.Operation + "\"; did you mean \"" +
                                           Closest(fault.Operation) + "\"?");
            if (underBoard && !ConcernsABoard(fault.Operation))
                Fail(Join(item, "op"), fault.Operation + " concerns no board; put it in the top-level \"faults\"");
            fault.Code = static_cast<uint32_t>(Number(entry["code"], Join(item, "code"), 0xFFFFFFFF));
            if (fault.Code == 0)
                Fail(Join(item, "code"), "0 is success; a fault needs a failure code");
            if (entry.contains("at")) {
                fault.Nth = static_cast<uint32_t>(Number(entry["at"], Join(item, "at"), 0xFFFFFFFF));
                if (fault.Nth == 0)
                    Fail(Join(item, "at"), "calls are counted from 1 (leave \"at\" out to fail every call)");
            }
            faults.push_back(fault);
        }
        return faults;
    }

    BoardDesc Board(const json& value, const std::string& where, uint32_t defaultDelay, size_t number) const
    {
        OnlyKeys(value, where,
                 {"class", "serial", "rom_serial", "state", "firmware_state", "device_id", "restart_delay_ms",
                  "erase_delay_ms", "held", "present", "never_returns", "flash", "ccl", "faults"});
        BoardDesc board;
        char serial[32];
        std::snprintf(serial, sizeof(serial), "KZ%06zu", number + 1);
        board.Serial = serial;
        board.RestartDelayMs = defaultDelay;
        if (value.contains("class"))
            board.BoardClass = Class(value["class"], Join(where, "class"));
        if (value.contains("serial"))
            board.Serial = Text(value["serial"], Join(where, "serial"), 127);
        if (value.contains("rom_serial"))
            board.RomSerial = Text(value["rom_serial"], Join(where, "rom_serial"), 127);
        if (value.contains("state"))
            board.State = static_cast<uint32_t>(Number(value["state"], Join(where, "state"), 0xFFFFFFFF));
        if (value.contains("firmware_state"))
            board.FirmwareState =
                static_cast<uint32_t>(Number(value["firmware_state"], Join(where, "firmware_state"), 0xFFFFFFFF));
        if (value.contains("device_id"))
            board.DeviceId = Number(value["device_id"], Join(where, "device_id"), UINT64_MAX);
        if (value.contains("restart_delay_ms"))
            board.RestartDelayMs =
                static_cast<uint32_t>(Number(value["restart_delay_ms"], Join(where, "restart_delay_ms"), 3600000));
        if (value.contains("erase_delay_ms"))
            board.EraseDelayMs =
                static_cast<uint32_t>(Number(value["erase_delay_ms"], Join(where, "erase_delay_ms"), 60000));
        if (value.contains("held"))
            board.Held = Bool(value["held"], Join(where, "held"));
        if (value.contains("present"))
            board.Present = Bool(value["present"], Join(where, "present"));
        if (value.contains("never_returns"))
            board.NeverReturns = Bool(value["never_returns"], Join(where, "never_returns"));
        if (value.contains("flash"))
            board.Flash = Flash(value["flash"], Join(where, "flash"));
        if (value.contains("ccl"))
            board.CclEntries = Ccl(value["ccl"], Join(where, "ccl"), &board.Echo);
        if (value.contains("faults"))
            board.Faults = FaultList(value["faults"], Join(where, "faults"), true);
        return board;
    }

    BenchDesc Bench(const json& document) const
    {
        OnlyKeys(document, "", {"server", "restart_delay_ms", "boards", "faults"});
        BenchDesc bench;
        if (document.contains("server")) {
            const json& server = document["server"];
            OnlyKeys(server, "server", {"major", "minor", "build"});
            if (server.contains("major"))
                bench.Version.Major = static_cast<uint32_t>(Number(server["major"], "server.major", 0xFFFFFFFF));
            if (server.contains("minor"))
                bench.Version.Minor = static_cast<uint32_t>(Number(server["minor"], "server.minor", 0xFFFFFFFF));
            if (server.contains("build"))
                bench.Version.Build = static_cast<uint32_t>(Number(server["build"], "server.build", 0xFFFFFFFF));
        }
        uint32_t delay = 0;
        if (document.contains("restart_delay_ms"))
            delay = static_cast<uint32_t>(Number(document["restart_delay_ms"], "restart_delay_ms", 3600000));
        if (!document.contains("boards"))
            Fail("", "missing \"boards\" (an array of boards; [] for none)");
        const json& boards = document["boards"];
        if (!boards.is_array())
            Fail("boards", "expected an array of boards");
        for (size_t i = 0; i < boards.size(); ++i) {
            bench.Boards.push_back(Board(boards[i], Item("boards", i), delay, i));
            const std::string& file = bench.Boards.back().Flash.File;
            for (size_t j = 0; j < i && !file.empty(); ++j)
                if (!bench.Boards[j].Flash.File.empty() && detail::SameFile(bench.Boards[j].Flash.File, file))
                    Fail(Join(Item("boards", i), "flash.file"),
                         file + " is the flash file of boards[" + std::to_string(j) + "] already");
        }
        if (document.contains("faults"))
            bench.Faults = FaultList(document["faults"], "faults", false);
        return bench;
    }

private:
    std::string m_Source;
    std::string m_BaseDir;
    std::string m_BenchFile;
};

// Where the parser is in the document (e.g. boards[1].flash), so that what
// the parser itself meets is told with its place: a key given twice (JSON
// would keep the last one silently) and a number out of range.
class CPlace {
public:
    void Event(json::parse_event_t event, const json& parsed)
    {
        switch (event) {
        case json::parse_event_t::object_start:
        case json::parse_event_t::array_start:
            Element();
            m_Frames.push_back({event == json::parse_event_t::array_start, 0, {}, {}});
            break;
        case json::parse_event_t::object_end:
        case json::parse_event_t::array_end:
            m_Frames.pop_back();
            break;
        case json::parse_event_t::key: {
            Frame& object = m_Frames.back();
            object.Key = parsed.get<std::string>();
            if (!object.Keys.insert(object.Key).second)
                m_Duplicate = Where(false);
            break;
        }
        case json::parse_event_t::value:
            Element();
            break;
        }
    }
    // The place of the value being read (next: of an array's next element).
    std::string Where(bool next) const
    {
        std::string where;
        for (size_t i = 0; i < m_Frames.size(); ++i) {
            const Frame& frame = m_Frames[i];
            // Appended piece by piece: g++ -O3 misreads "[" + a temporary
            // string as a copy that may overlap.
            if (!frame.Array) {
                where += where.empty() ? "" : ".";
                where += frame.Key;
            } else if (frame.Count > 0 || next) {
                where += '[';
                where += std::to_string(next && i + 1 == m_Frames.size() ? frame.Count : frame.Count - 1);
                where += ']';
            }
        }
        return where;
    }
    const std::optional<std::string>& Duplicate() const { return m_Duplicate; }

private:
    struct Frame {
        bool Array = false;
        size_t Count = 0; // elements begun (arrays)
        std::string Key;  // the member being read (objects)
        std::set<std::string> Keys;
    };
    void Element()
    {
        if (!m_Frames.empty() && m_Frames.back().Array)
            ++m_Frames.back().Count;
    }
    std::vector<Frame> m_Frames;
    std::optional<std::string> m_Duplicate;
};

BenchDesc Parse(const std::string& text, const std::string& source, const std::string& baseDir,
                const std::string& benchFile = {})
{
    CReader reader(source, baseDir, benchFile);
    CPlace place;
    json document;
    try {
        document = json::parse(text, [&](int, json::parse_event_t event, json& parsed) {
            place.Event(event, parsed);
            if (place.Duplicate())
                reader.Fail(*place.Duplicate(), "this key is given twice; each key may stand once");
            return true;
        });
    } catch (const json::parse_error& error) {
        // nlohmann's message carries line and column.
        std::string what = error.what();
        size_t at = what.find("parse error");
        reader.Fail("", "not valid JSON: " + (at == std::string::npos ? what : what.substr(at)));
    } catch (const json::out_of_range& error) {
        // "number overflow parsing '1e400'": the number stands in its place.
        const std::string what = error.what();
        const size_t open = what.find('\''), close = what.rfind('\'');
        const std::string number = open < close ? what.substr(open + 1, close - open - 1) : "a number";
        reader.Fail(place.Where(true), number + " is out of range");
    }
    return reader.Bench(document);
}

} // namespace

BenchDesc BenchDesc::FromJsonFile(const std::string& path)
{
    // Told before the file is opened: a FIFO would block the open, a device
    // like /dev/zero never end.
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status))
        throw BenchError(path + ": cannot be opened" + (ec ? ": " + ec.message() : std::string()));
    if (fs::is_directory(status))
        throw BenchError(path + ": is a folder, not a bench file");
    if (!fs::is_regular_file(status))
        throw BenchError(path + ": is not a regular file (a device, pipe or socket), not a bench file");
    const std::string tooLarge = path + ": is larger than 1 MiB, the most a bench file may hold";
    if (fs::file_size(path, ec) > MAX_BENCH_FILE && !ec)
        throw BenchError(tooLarge);
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw BenchError(path + ": cannot be opened");
    std::string text(MAX_BENCH_FILE + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > MAX_BENCH_FILE)
        throw BenchError(tooLarge);
    std::string base = fs::path(path).parent_path().string();
    return Parse(text, path, base, path);
}

BenchDesc BenchDesc::FromJsonText(const std::string& text, const std::string& baseDir)
{
    return Parse(text, "bench description", baseDir);
}

} // namespace kazsim
