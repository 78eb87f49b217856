#include "TempFolder.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>

#ifdef _WIN32
#include <windows.h>
#endif

namespace kzhost {

namespace {

std::mutex g_FoldersLock;
std::set<std::string> g_Folders; // g_FoldersLock: the folders in place

#ifdef _WIN32
// A name no other folder has: the process, the time and a count, and
// create_directory failing for a name taken.
std::error_code MakeFolder(std::string& path)
{
    static unsigned s_Count = 0;
    const std::string base = path;
    std::error_code ec = std::make_error_code(std::errc::file_exists);
    for (unsigned i = 0; i < 100; ++i) {
        path = base + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64()) + "-" +
               std::to_string(s_Count++);
        if (std::filesystem::create_directory(path, ec))
            return {};
    }
    return ec ? ec : std::make_error_code(std::errc::file_exists);
}
#else
std::error_code MakeFolder(std::string& path)
{
    path += "XXXXXX";
    if (::mkdtemp(path.data()) == nullptr) // mode 0700
        return {errno, std::generic_category()};
    return {};
}
#endif

} // namespace

CTempFolder::CTempFolder(const std::string& prefix)
{
    // A run that ends through exit() leaves none behind either.
    static const bool s_Registered = std::atexit(RemoveAllTemporaryFolders) == 0;
    (void)s_Registered;
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) {
        m_Error = "cannot find a folder for temporary files: " + ec.message();
        return;
    }
    std::string path = (base / ("kazmir-" + (prefix.empty() ? "" : prefix + "-"))).string();
    if (const std::error_code made = MakeFolder(path)) {
        m_Error = "cannot make a temporary folder in " + base.string() + ": " + made.message();
        return;
    }
    std::lock_guard<std::mutex> lock(g_FoldersLock);
    g_Folders.insert(path);
    m_Path = path;
}

CTempFolder::~CTempFolder()
{
    if (m_Path.empty())
        return;
    std::lock_guard<std::mutex> lock(g_FoldersLock);
    std::error_code ec;
    std::filesystem::remove_all(m_Path, ec);
    g_Folders.erase(m_Path);
}

void RemoveAllTemporaryFolders()
{
    std::lock_guard<std::mutex> lock(g_FoldersLock);
    std::error_code ec;
    for (const std::string& folder : g_Folders)
        std::filesystem::remove_all(folder, ec);
    g_Folders.clear();
}

} // namespace kzhost
