// CReporter: turns a report (kind, indent, printf-style text) into one line
// and hands it to the host's callback.
#pragma once

#include "kazmir.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>

class CReporter {
public:
    static constexpr std::size_t LINE_SIZE = 512;

    // The library's one reporter, created on first use and never destroyed.
    static CReporter* Get();

    virtual KZMRESULT SetCallback(void* context, ReportCallback callback);

    void Report(uint8_t kind, uint8_t indent, const char* format, ...) __attribute__((format(printf, 4, 5)));
    void ReportV(uint8_t kind, uint8_t indent, const char* format, va_list args);

protected:
    CReporter() = default;
    virtual ~CReporter() = default;

private:
    void* m_pContext = nullptr;
    ReportCallback m_pfnCallback = nullptr;
};
