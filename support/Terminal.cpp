#include "Terminal.h"

#include <cstdlib>
#include <string>

#ifndef _WIN32
#include <sys/ioctl.h>
#endif

namespace kzsupport {

unsigned TerminalColumns(FILE* stream)
{
#ifndef _WIN32
    struct winsize size {};
    if (stream != nullptr && ::ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
#else
    (void)stream;
#endif
    if (const char* columns = std::getenv("COLUMNS")) {
        const long value = std::strtol(columns, nullptr, 10);
        if (value > 0 && value < 10000)
            return static_cast<unsigned>(value);
    }
    return 80;
}

bool Utf8Locale()
{
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0')
            continue;
        const std::string v(value);
        return v.find("UTF-8") != std::string::npos || v.find("utf8") != std::string::npos ||
               v.find("utf-8") != std::string::npos || v.find("UTF8") != std::string::npos;
    }
    return false;
}

} // namespace kzsupport
