#include "frame/Reporter.h"

#include <cstdio>
#include <cstring>

CReporter* CReporter::Get()
{
    // Never destroyed: reports may still come from static destructors.
    static CReporter* s_pReporter = new CReporter;
    return s_pReporter;
}

KZMRESULT CReporter::SetCallback(void* context, ReportCallback callback)
{
    m_pContext = context;
    m_pfnCallback = callback;
    callback(nullptr, REPORT_TEST, "test");
    return KZM_OK;
}

void CReporter::Report(uint8_t kind, uint8_t indent, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    ReportV(kind, indent, format, args);
    va_end(args);
}

void CReporter::ReportV(uint8_t kind, uint8_t indent, const char* format, va_list args)
{
    char line[LINE_SIZE] = {};
    char message[LINE_SIZE] = {};
    if (kind == REPORT_NEWLINE) {
        std::strcpy(line, "\r\n");
    } else {
        // Indentation and message together are cut at the line's 511 characters.
        size_t used = 0;
        for (unsigned i = 0; i < indent && used + 2 < LINE_SIZE; ++i, used += 2)
            std::memcpy(line + used, "  ", 2);
        std::vsnprintf(message, sizeof(message), format, args);
        size_t length = std::strlen(message);
        if (length > LINE_SIZE - 1 - used)
            length = LINE_SIZE - 1 - used;
        std::memcpy(line + used, message, length);
    }
    if (m_pfnCallback)
        m_pfnCallback(m_pContext, kind, line);
}
