// A host's bench: the default bench in the state folder, or a bench file.
#include "kazsim/BenchSetup.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <nlohmann/json.hpp>

namespace kazsim {

namespace fs = std::filesystem;

namespace {

std::string ClassName(const GUID& g)
{
    const GUID classes[] = {BOARD_CLASS_1, BOARD_CLASS_2, BOARD_CLASS_3, BOARD_CLASS_4, BOARD_CLASS_5};
    for (size_t i = 0; i < 5; ++i)
        if (std::memcmp(&g, &classes[i], sizeof(GUID)) == 0)
            return std::to_string(i + 1);
    return GuidText(g);
}

// 1 to 5 for the numbered board classes, 0 for any other.
int ClassNumber(const std::string& boardClass)
{
    return boardClass.size() == 1 && boardClass[0] >= '1' && boardClass[0] <= '5' ? boardClass[0] - '0' : 0;
}

const char* StateName(uint32_t state)
{
    switch (state) {
    case STATE_FLASH_LOADER:
        return "flash loader";
    case STATE_BAL:
        return "BAL firmware";
    case STATE_CCL:
        return "CCL firmware";
    case STATE_BOOT_ROM:
        return "boot ROM";
    default:
        return "unknown state";
    }
}

// A device id as hosts print it: "0x0000000000000101".
std::string IdText(uint64_t id)
{
    char text[32];
    std::snprintf(text, sizeof(text), "0x%016llX", static_cast<unsigned long long>(id));
    return text;
}

std::string BaseText(uint32_t base)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", base);
    return text;
}

// "512.0 KiB"
std::string SizeText(uint64_t bytes)
{
    char text[32];
    if (bytes < 1024)
        std::snprintf(text, sizeof(text), "%llu bytes", static_cast<unsigned long long>(bytes));
    else if (bytes < 1024 * 1024)
        std::snprintf(text, sizeof(text), "%.1f KiB", static_cast<double>(bytes) / 1024);
    else
        std::snprintf(text, sizeof(text), "%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
    return text;
}

// "4 x 16 KiB, 1 x 64 KiB, 3 x 128 KiB"
std::string SectorText(const BoardFlash& layout)
{
    std::string text;
    size_t i = 0;
    while (i < layout.sectorSizes.size()) {
        size_t j = i;
        while (j < layout.sectorSizes.size() && layout.sectorSizes[j] == layout.sectorSizes[i])
            ++j;
        if (!text.empty())
            text += ", ";
        const uint32_t size = layout.sectorSizes[i];
        char part[64];
        if (size % 1024 == 0)
            std::snprintf(part, sizeof(part), "%zu x %u KiB", j - i, size / 1024);
        else
            std::snprintf(part, sizeof(part), "%zu x %u bytes", j - i, size);
        text += part;
        i = j;
    }
    return text;
}

void Describe(const BenchDesc& desc, BenchSetup& setup)
{
    setup.boards.clear();
    for (size_t i = 0; i < desc.Boards.size(); ++i) {
        const auto& b = desc.Boards[i];
        BenchBoard board;
        board.index = static_cast<int>(i);
        board.serial = b.Serial;
        board.boardClass = ClassName(b.BoardClass);
        board.flash.base = b.Flash.BaseAddress;
        board.flash.sectorSizes = b.Flash.SectorSizes;
        board.flashFile = b.Flash.File;
        setup.boards.push_back(std::move(board));
    }
}

BenchDesc DefaultBench(const std::string& stateDir)
{
    BenchDesc desc = BenchDesc::Default();
    for (auto& board : desc.Boards)
        board.Flash.File = DefaultFlashFile(stateDir);
    return desc;
}

// Without a home the state goes to the temporary folder, which other users
// share: the folder there is this user's own (named by the user id on POSIX;
// Windows gives each user a temporary folder of their own).
std::string TempStateDir()
{
    std::error_code ec;
    const fs::path temp = fs::temp_directory_path(ec);
#ifdef _WIN32
    return ((ec ? fs::path(".") : temp) / "kazmir-state").string();
#else
    return ((ec ? fs::path("/tmp") : temp) / ("kazmir-state-" + std::to_string(::getuid()))).string();
#endif
}

// Creates the temporary state folder with no access for others, or takes an
// existing one only when it is this user's own folder (not a link).
bool MakePrivateStateDir(const std::string& dir, std::string& error)
{
#ifdef _WIN32
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec)
        error = "cannot create the state folder " + dir + ": " + ec.message();
    return !ec;
#else
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create the state folder " + dir + ": " + std::strerror(errno);
        return false;
    }
    struct stat info = {};
    if (::lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) {
        error = "the state folder " + dir +
                " is not a folder of this user's own; set HOME or KAZMIR_STATE_DIR to a folder of your own";
        return false;
    }
    if ((info.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) {
        error = "cannot make the state folder " + dir + " private: " + std::strerror(errno);
        return false;
    }
    return true;
#endif
}

} // namespace

std::string StateDir()
{
    if (const char* dir = std::getenv("KAZMIR_STATE_DIR"); dir != nullptr && *dir != '\0')
        return dir;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && *xdg != '\0')
        return (fs::path(xdg) / "kazmir").string();
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return (fs::path(home) / ".local" / "state" / "kazmir").string();
    return TempStateDir();
}

std::string DefaultFlashFile(const std::string& stateDir)
{
    return (fs::path(stateDir) / "default-bench-flash.bin").string();
}

std::string BenchFile(const std::string& benchOption)
{
    if (benchOption == "default")
        return "";
    if (benchOption.empty())
        if (const char* env = std::getenv("KAZSIM_BENCH"); env != nullptr && *env != '\0')
            return env;
    return benchOption;
}

bool SetUpBench(const std::string& benchOption, BenchSetup& setup, std::string& error, bool readOnly)
{
    const std::string file = BenchFile(benchOption);
    setup.stateDir = StateDir();
    try {
        auto inMemory = [readOnly](BenchDesc desc) {
            if (readOnly)
                for (auto& board : desc.Boards)
                    board.Flash.File.clear();
            return desc;
        };
        if (file.empty()) {
            std::error_code ec;
            if (!readOnly && setup.stateDir == TempStateDir()) {
                if (!MakePrivateStateDir(setup.stateDir, error))
                    return false;
            } else if (!readOnly) {
                fs::create_directories(setup.stateDir, ec);
            }
            if (ec) {
                error = "cannot create the state folder " + setup.stateDir + ": " + ec.message();
                return false;
            }
            const BenchDesc desc = DefaultBench(setup.stateDir);
            setup.isDefault = true;
            setup.source.clear();
            Describe(desc, setup);
            Bench::Reset(inMemory(desc));
        } else {
            const BenchDesc desc = BenchDesc::FromJsonFile(file);
            setup.isDefault = false;
            setup.source = file;
            Describe(desc, setup);
            // The bench opens a flash file only when a board is used; a folder
            // that is not there is told now, before any board is touched.
            for (const auto& b : setup.boards) {
                const fs::path folder = fs::path(b.flashFile).parent_path();
                if (!readOnly && !b.flashFile.empty() && !folder.empty() && !fs::is_directory(folder)) {
                    error = "flash file " + b.flashFile + " of board " + std::to_string(b.index) +
                            ": there is no folder " + folder.string();
                    return false;
                }
            }
            Bench::Reset(inMemory(desc));
        }
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    return true;
}

bool BenchSerials(const std::string& benchOption, std::vector<std::string>& serials, std::string& error)
{
    const std::string file = BenchFile(benchOption);
    try {
        const BenchDesc desc = file.empty() ? BenchDesc::Default() : BenchDesc::FromJsonFile(file);
        for (const auto& board : desc.Boards)
            serials.push_back(board.Serial);
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    if (serials.empty()) {
        error = "the bench has no board";
        return false;
    }
    return true;
}

std::optional<BoardFlash> BenchLayout(const BenchSetup& setup, uint64_t deviceId)
{
    const int index = Bench::FindBoard(deviceId);
    if (index < 0 || static_cast<size_t>(index) >= setup.boards.size())
        return std::nullopt;
    return setup.boards[static_cast<size_t>(index)].flash;
}

FlashBoardChoice ChooseFlashBoard(const BenchSetup& setup, const std::string& serial, std::optional<uint64_t> deviceId)
{
    FlashBoardChoice choice;
    if (!serial.empty()) {
        for (const BenchBoard& b : setup.boards)
            if (b.serial == serial) {
                choice.index = b.index;
                break;
            }
    } else if (deviceId) {
        choice.index = Bench::FindBoard(*deviceId);
    } else if (setup.boards.size() > 1) {
        choice.severalBoards = true;
        return choice;
    } else if (setup.boards.size() == 1) {
        choice.index = 0; // alone already, found by the library as any board
    }
    if (choice.index < 0)
        return choice;
    if (!serial.empty() || deviceId) {
        for (const BenchBoard& b : setup.boards)
            if (b.index != choice.index)
                Bench::RemoveBoard(b.index);
        choice.deviceId = Bench::BoardInfo(choice.index).DeviceId;
    }
    // Taken before the library opens the board, so that of runs that start
    // together exactly one has it.
    choice.held = FlashHeldElsewhere(setup, choice.index);
    return choice;
}

bool FlashHeldElsewhere(const BenchSetup& setup, int index)
{
    if (index < 0 || static_cast<size_t>(index) >= setup.boards.size())
        return false;
    const std::string& file = setup.boards[static_cast<size_t>(index)].flashFile;
    std::error_code ec;
    if (file.empty() || !std::filesystem::exists(file, ec))
        return false;
    try {
        return !Bench::ClaimFlash(index);
    } catch (const std::exception&) {
        return false;
    }
}

std::optional<std::vector<uint8_t>> BenchFlash(uint64_t deviceId)
{
    const int index = Bench::FindBoard(deviceId);
    if (index < 0)
        return std::nullopt;
    try {
        return Bench::FlashContents(index);
    } catch (const BenchError&) {
        return std::nullopt; // held by another process, or unreadable: not shown
    }
}

std::vector<std::string> DescribeBench(const BenchSetup& setup)
{
    std::vector<std::string> lines;
    if (setup.isDefault)
        lines.push_back("Default bench; its flash is kept in " + DefaultFlashFile(setup.stateDir));
    else
        lines.push_back("Bench " + setup.source);
    if (setup.boards.empty())
        lines.push_back("  no boards");
    for (const auto& b : setup.boards) {
        const BoardStatus status = Bench::BoardInfo(b.index);
        char head[256];
        std::snprintf(head, sizeof(head), "  board %d: serial %s, class %s, %s (state %u), device id %s%s", b.index,
                      b.serial.c_str(), b.boardClass.c_str(), StateName(status.State), status.State,
                      IdText(status.DeviceId).c_str(), status.Held ? ", held by another program" : "");
        lines.push_back(head);
        if (b.flash.sectorSizes.empty()) {
            lines.push_back("    no flash");
        } else {
            lines.push_back("    flash " + SizeText(b.flash.Size()) + " at base " + BaseText(b.flash.base) + ": " +
                            std::to_string(b.flash.sectorSizes.size()) + " sectors (" + SectorText(b.flash) + ")" +
                            (b.flashFile.empty() ? ", in memory only" : ", kept in " + b.flashFile));
        }
    }
    return lines;
}

std::string BenchJson(const BenchSetup& setup)
{
    using Json = nlohmann::ordered_json;
    Json boards = Json::array();
    for (const auto& b : setup.boards) {
        const BoardStatus status = Bench::BoardInfo(b.index);
        boards.push_back({{"index", b.index},
                          {"serial", b.serial},
                          {"class", ClassNumber(b.boardClass)},
                          {"state", status.State},
                          {"state_name", StateName(status.State)},
                          {"device_id", IdText(status.DeviceId)},
                          {"present", status.Present},
                          {"held", status.Held},
                          {"flash",
                           {{"base", BaseText(b.flash.base)},
                            {"size", b.flash.Size()},
                            {"sectors", b.flash.sectorSizes},
                            {"file", b.flashFile}}}});
    }
    const Json bench = {
        {"default", setup.isDefault}, {"source", setup.source}, {"state_dir", setup.stateDir}, {"boards", boards}};
    return bench.dump();
}

std::vector<std::string> EraseBenchFlash(BenchSetup& setup, std::string& error, bool& inUse)
{
    std::vector<std::string> done;
    inUse = false;
    try {
        // Every flash file is taken before any is erased: a file another
        // process holds is never erased, and the bench is reset whole or not
        // at all. The files stay locked until this process ends.
        std::string busy;
        for (const auto& b : setup.boards)
            if (!b.flashFile.empty() && !Bench::ClaimFlash(b.index))
                busy += (busy.empty() ? "" : ", ") + std::string("board ") + std::to_string(b.index) + " (" + b.serial +
                        ", " + b.flashFile + ")";
        if (!busy.empty()) {
            inUse = true;
            error = "the board is in use by another program: " + busy + "; close that program and try again";
            return done;
        }
        for (const auto& b : setup.boards) {
            if (b.flashFile.empty())
                continue;
            Bench::EraseFlash(b.index);
            done.push_back("erased the flash of board " + std::to_string(b.index) + " (" + b.flashFile + ")");
        }
        if (setup.isDefault)
            done.push_back("default bench restored: one board, serial KZ000001, in its CCL firmware");
        else
            done.push_back("bench " + setup.source + " restored");
    } catch (const FlashInUseError& e) {
        inUse = true;
        error = std::string("the board is in use by another program: ") + e.what();
    } catch (const std::exception& e) {
        error = e.what();
    }
    return done;
}

} // namespace kazsim
