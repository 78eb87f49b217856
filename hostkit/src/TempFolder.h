// Private temporary folders: made for this user alone (mode 0700 on POSIX, in
// the user's own temporary folder on Windows) and removed, with all they
// hold, with their object. Every folder in place is listed process-wide, so
// that a stop that ends the process at once (std::_Exit: no destructor and
// no atexit handler runs) still removes them.
#pragma once

#include <string>

namespace kzhost {

class CTempFolder {
public:
    // Makes kazmir-<prefix>-XXXXXX ("kazmir-XXXXXX" without a prefix) in the
    // temporary folder; Path() is "" and Error() says why when it cannot.
    explicit CTempFolder(const std::string& prefix = "");
    ~CTempFolder();
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;

    const std::string& Path() const { return m_Path; }
    const std::string& Error() const { return m_Error; }

private:
    std::string m_Path;
    std::string m_Error;
};

// Removes every temporary folder still in place, for a stop that ends the
// process right after. Safe from any thread.
void RemoveAllTemporaryFolders();

} // namespace kzhost
