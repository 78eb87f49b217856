#!/usr/bin/env python3
"""Hand-picked mutants of the library: each one a one-line change of a
behaviour the design pins down (a code, an order, a bound, a text, a
reference count, an argument), with the CTest labels whose tests must kill it.

For each mutant the change is made in a scratch copy of the tree (configured
and built once, then rebuilt incrementally), the tests of its labels run, and
the file is put back. Prints killed/survived per mutant and the score; exits
non-zero when a mutant survives or its old text is no longer in its file.

  scripts/mutants.py [name-substring ...]

A label may name the tests that kill its mutant soonest, after a slash
("cli/KazmirRun.Foo|KazmirRun.Bar": a regular expression for ctest -R):
those run first, and the whole label only when they pass.

Mutants marked AWAITING wait for tests that are still being written: they are
run and reported, but their survival does not fail the run.
"""
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRATCH = os.path.join(ROOT, "build", "mutants")
TREE = os.path.join(SCRATCH, "tree")
BUILD = os.path.join(TREE, "build")
AWAITING = "awaiting the flash tests"

# (name, file, old text, new text, labels[, note])
MUTANTS = [
    # frame: reporter, initialisation, export table
    ("indent of one space", "src/frame/Reporter.cpp",
     'std::memcpy(line + used, "  ", 2);', 'std::memcpy(line + used, " ", 1);', ["frame"]),
    ("probe call with the context", "src/frame/Reporter.cpp",
     'callback(nullptr, REPORT_TEST, "test");', 'callback(m_pContext, REPORT_TEST, "test");', ["frame"]),
    ("initialised flag never set", "src/frame/Init.cpp",
     "g_bInitialized = 1;", "g_bInitialized = 0;", ["frame"]),
    ("binding kept after a failed server init", "src/frame/Init.cpp",
     "            EnterCriticalSection(&g_InitLock);\n            ReleaseSetupApi();",
     "            EnterCriticalSection(&g_InitLock);\n            ;", ["frame"]),
    ("version's third output not cleared", "src/frame/Exports.cpp",
     "*p3 = 0;", "*p3 = version.Minor;", ["frame"]),
    ("one attempt for any board", "src/frame/Exports.cpp",
     "return deviceId == ANY_DEVICE ? 2 : 1;", "return deviceId == ANY_DEVICE ? 1 : 1;", ["e2e"]),
    ("BAL and CCL attached once", "src/frame/Exports.cpp",
     "        return result;\n    result = (g_Prog.*init)(timeout);",
     "        return result;\n    result = KZM_OK;", ["e2e"]),
    ("send time-out in the ignored argument", "src/frame/Exports.cpp",
     "return bgiProg->Send(length, data, 0, timeout);", "return bgiProg->Send(length, data, timeout, 0);",
     ["e2e"]),
    ("erase shows another sector count", "src/frame/Exports.cpp",
     "EraseSector(0, 1)", "EraseSector(0, 2)", ["e2e"]),
    # controller: open, serial, mode switch
    ("board left open before the next open", "src/controller/Prog.cpp",
     "    m_HwDevice.Close();\n    KZMRESULT result = m_HwDevice.FindById(m_DeviceId);",
     "    KZMRESULT result = m_HwDevice.FindById(m_DeviceId);", ["e2e"]),
    ("serial kept after a failed open", "src/controller/Prog.cpp",
     "if (result == 0 && serial)", "if (serial)", ["e2e"]),
    ("one wrong byte in board class 4", "src/controller/Prog.cpp",
     "0x0E, 0x33, 0xA3, 0x61}}", "0x0E, 0x33, 0xA3, 0x62}}", ["e2e"]),
    ("board classes 2 and 3 swapped", "src/controller/Prog.cpp",
     "    {0xB9AAAF39, 0xB9B9, 0x4850, {0x94, 0x02, 0x7D, 0x82, 0x50, 0xC7, 0xB8, 0x8F}},\n"
     "    {0x0F254982, 0xBCEE, 0x40AC, {0x8E, 0xB8, 0x90, 0x6F, 0x77, 0x3D, 0x00, 0xFA}},",
     "    {0x0F254982, 0xBCEE, 0x40AC, {0x8E, 0xB8, 0x90, 0x6F, 0x77, 0x3D, 0x00, 0xFA}},\n"
     "    {0xB9AAAF39, 0xB9B9, 0x4850, {0x94, 0x02, 0x7D, 0x82, 0x50, 0xC7, 0xB8, 0x8F}},", ["e2e"]),
    ("board class 5 left out", "src/controller/Prog.cpp",
     "{0xD55C1655, 0x3F48, 0x463F, {0x9B, 0x91, 0xC7, 0x44, 0x8B, 0xDC, 0x7C, 0x22}}",
     "{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}}", ["e2e"]),
    ("serial of 128 characters searched", "src/controller/Prog.cpp",
     "if (std::strlen(serial) >= SERIAL_SIZE) {", "if (std::strlen(serial) > SERIAL_SIZE) {", ["e2e"]),
    ("class search starts at the second class", "src/controller/Prog.cpp",
     "for (unsigned i = 0; !found && !IsEndOfList(m_ClassIds[i]); ++i) {\n"
     "            result = m_ServerDevice.FindDevice(&m_ClassIds[i], FIND_FIRST_OF_CLASS",
     "for (unsigned i = 1; !found && !IsEndOfList(m_ClassIds[i]); ++i) {\n"
     "            result = m_ServerDevice.FindDevice(&m_ClassIds[i], FIND_FIRST_OF_CLASS", ["e2e"]),
    ("two passes", "src/controller/ModeSwitch.cpp",
     "constexpr unsigned MAX_PASSES = 3;", "constexpr unsigned MAX_PASSES = 2;", ["e2e"]),
    ("boot-ROM serial in lower case", "src/controller/ModeSwitch.cpp",
     'const char BOOT_ROM_SERIAL[] = "ABCD";', 'const char BOOT_ROM_SERIAL[] = "abcd";', ["e2e"]),
    ("LoadFw failure text", "src/controller/ModeSwitch.cpp",
     '"m_HwDevice.LoadFw COMMAND failed\\n"', '"m_HwDevice.LoadFw command failed\\n"', ["e2e"]),
    ("wait text", "src/controller/ModeSwitch.cpp",
     '"  OK\\n"', '"  ok\\n"', ["e2e"]),
    ("reset into the firmware on the way to the flash loader", "src/controller/ModeSwitch.cpp",
     "RestartSteps(timeout, false, RESET_TO_BOOT_ROM,", "RestartSteps(timeout, false, RESET_TO_FIRMWARE,",
     ["e2e"]),
    ("id kept when the selection fails", "src/controller/ModeSwitch.cpp",
     "if (m_ServerDevice.SelectDevice(deviceId) == 0)", "if (m_ServerDevice.SelectDevice(deviceId) != 0)",
     ["e2e"]),
    ("BAL switch ignores state 2", "src/controller/ModeSwitch.cpp",
     "if (info.State == DEV_STATE_FLD || info.State == DEV_STATE_BAL)", "if (info.State == DEV_STATE_FLD)",
     ["e2e"]),
    ("CCL switch restarts a board in state 2", "src/controller/ModeSwitch.cpp",
     "return SwitchToFirmware(timeout, true);", "return SwitchToFirmware(timeout, false);", ["e2e"]),
    ("reset selectors swapped", "src/controller/ModeSwitch.cpp",
     "m_HwDevice.Reset(selector);", "m_HwDevice.Reset(selector ^ 1);", ["e2e"]),
    ("CCL reference of the controller kept", "src/controller/ModeSwitch.cpp",
     "        component->Release();\n    return result;", "        component->AddRef();\n    return result;",
     ["e2e"]),
    ("BAL object released twice after a refused Open", "src/controller/ModeSwitch.cpp",
     "return m_BALProg.Open(static_cast<IKazBal*>(component));",
     "KZRESULT r = m_BALProg.Open(static_cast<IKazBal*>(component)); if (r != 0) component->Release(); return r;",
     ["e2e"]),
    # device: kernel-driver channel, discovery, server device object
    ("id read from the wrong offset", "src/device/HwDevice.cpp",
     "constexpr size_t INFO_ID_OFFSET = 4;", "constexpr size_t INFO_ID_OFFSET = 8;", ["device"]),
    ("serial compared without case", "src/device/HwDevice.cpp",
     "if (info.Serial[i] != serial[i])", "if ((info.Serial[i] | 0x20) != (serial[i] | 0x20))", ["device"]),
    ("search goes past an unopenable board", "src/device/HwDevice.cpp",
     "            ReleaseDevicePath();\n            break;\n        }\n        DEVICE_INFO_RECORD info;",
     "            ReleaseDevicePath();\n            continue;\n        }\n        DEVICE_INFO_RECORD info;", ["device"]),
    ("GetInfo without handle gives the general failure", "src/device/HwDevice.cpp",
     "    if (!m_Handle)\n        return KZM_E_INVALIDARG;\n    if (!info)",
     "    if (!m_Handle)\n        return KZM_E_FAIL;\n    if (!info)", ["device"]),
    ("device list of every class", "src/device/DeviceBase.cpp",
     "LIST_FLAGS = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;", "LIST_FLAGS = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE | 0x4;",
     ["device"]),
    ("flash-loader wait fails on an empty list", "src/device/HwDevice.cpp",
     "return 0; // no board listed", "return KZM_E_FAIL; // no board listed", ["device"]),
    ("flash-loader wait ends on any state", "src/device/HwDevice.cpp",
     "if (result == 0 && info.State == DEV_STATE_FLD)", "if (result == 0)", ["device"]),
    ("flash-loader wait polls the second board", "src/device/HwDevice.cpp",
     "        if (SelectDevice(0) != 0)\n            break;\n        // Without",
     "        if (SelectDevice(1) != 0)\n            break;\n        // Without", ["device"]),
    ("flash-loader wait's limit reported as success", "src/device/HwDevice.cpp",
     "result = KZM_E_NO_FLASH_LOADER;", "result = 0;", ["device"]),
    ("a failed ResetEnum ends the search", "src/device/MyKazDevice.cpp",
     "    m_DeviceEnum->ResetEnum();\n    for (;;) {",
     "    if (m_DeviceEnum->ResetEnum() != 0)\n        return KZM_E_FAIL;\n    for (;;) {", ["device"]),
    ("a failed ResetEnum keeps the snapshot", "src/device/MyKazDevice.cpp",
     "        m_DeviceEnum->ResetEnum();\n        KAZ_DEVICE_RECORD",
     "        if (m_DeviceEnum->ResetEnum() != 0)\n            m_DeviceEnum = nullptr;\n        KAZ_DEVICE_RECORD",
     ["device"]),
    ("change event closed before the enumerator is released", "src/device/MyKazDevice.cpp",
     "    if (m_DeviceEnum) {\n        m_DeviceEnum->Release();\n        m_DeviceEnum = nullptr;\n    }\n"
     "    if (m_ChangeEvent) {\n        CloseHandle(m_ChangeEvent);\n        m_ChangeEvent = nullptr;\n    }",
     "    if (m_ChangeEvent) {\n        CloseHandle(m_ChangeEvent);\n        m_ChangeEvent = nullptr;\n    }\n"
     "    if (m_DeviceEnum) {\n        m_DeviceEnum->Release();\n        m_DeviceEnum = nullptr;\n    }", ["device"]),
    ("detail asked with a larger size", "src/device/DeviceBase.cpp",
     "DWORD size = required;", "DWORD size = required + 1;", ["device"]),
    ("no-device id selected", "src/device/MyKazDevice.cpp",
     "if (!m_DeviceManager || deviceId == NO_DEVICE)", "if (!m_DeviceManager)", ["device"]),
    ("selection keeps the device object", "src/device/MyKazDevice.cpp",
     "    if (device)\n        device->Release();", "    if (device)\n        device->AddRef();", ["device"]),
    ("first of class takes id 0", "src/device/MyKazDevice.cpp",
     "if (id != 0) {", "if (id != 1) {", ["device"]),
    ("fewer devices reported as more", "src/device/MyKazDevice.cpp",
     "kind = LIST_FEWER;", "kind = LIST_MORE;", ["device"]),
    ("shrunk table keeps old records", "src/device/MyKazDevice.cpp",
     "                std::memset(m_DeviceTable, 0, sizeof(m_DeviceTable));\n                kind = LIST_FEWER;",
     "                kind = LIST_FEWER;", ["device"]),
    ("wait ends on any change", "src/device/MyKazDevice.cpp",
     "if (change & LIST_MORE)", "if (change != LIST_UNCHANGED)", ["device"]),
    ("wait time-out code", "src/device/MyKazDevice.cpp",
     "return KZM_E_TIMEOUT;", "return KZM_E_FAIL;", ["device"]),
    # modes: BAL, CCL, BGI
    ("refused BAL attach keeps the reference", "src/modes/BALProg.cpp",
     "    else\n        balObject->Release();", "    else\n        (void)balObject;", ["modes"]),
    ("second BAL Open keeps the first object", "src/modes/BALProg.cpp",
     "    Close();\n    if (!balObject)", "    if (!balObject)", ["modes"]),
    ("CCL Open takes no reference", "src/modes/CCLProg.cpp",
     "    cclObject->AddRef();\n", "", ["modes"]),
    ("CCL Close without stop", "src/modes/CCLProg.cpp",
     "        m_pCclObject->Stop();\n", "", ["modes"]),
    ("entry value of the second kind", "src/modes/CCLProg.cpp",
     "entry.Kind1 == ENTRY_KIND_VALUE", "entry.Kind2 == ENTRY_KIND_VALUE", ["modes"]),
    ("entry kinds swapped", "src/modes/BGIProg.cpp",
     "candidate.Kind1 == kind1 && candidate.Kind2 == kind2",
     "candidate.Kind1 == kind2 && candidate.Kind2 == kind1", ["modes"]),
    ("stops go on after a refusal", "src/modes/BGIProg.cpp",
     "for (uint16_t i = 0; result == 0 && i < count; ++i)", "for (uint16_t i = 0; i < count; ++i)", ["modes"]),
    ("send of the maximum length", "src/modes/BGIProg.cpp",
     "length >= m_Send.m_wMaxMsgLen", "length > m_Send.m_wMaxMsgLen", ["e2e"]),
    ("receive buffer one short", "src/modes/BGIProg.cpp",
     "size < m_Receive.m_wMaxMsgLen", "size + 1 < m_Receive.m_wMaxMsgLen", ["e2e"]),
    ("receive asks the send channel's status", "src/modes/BGIProg.cpp",
     "CurrentEntry(m_Receive, false, timeout, &entry)", "CurrentEntry(m_Receive, true, timeout, &entry)", ["e2e"]),
    ("no wait for an entry", "src/modes/BGIProg.cpp",
     "WaitForSingleObject(channel.m_hEvent, timeout);", "WaitForSingleObject(channel.m_hEvent, 0);", ["e2e"]),
    ("send waits with time-out 0", "src/modes/BGIProg.cpp",
     "    if (status.Available == 0) {\n        if (timeout == 0)\n            return KZM_E_FAIL;\n"
     "        WaitForSingleObject(channel.m_hEvent",
     "    if (status.Available == 0) {\n        if (false)\n            return KZM_E_FAIL;\n"
     "        WaitForSingleObject(channel.m_hEvent", ["e2e"]),
    # flash: programmer texts, range, verify, scan
    ("erase OK text", "src/flash/FlashReports.h",
     '"erase sector %02i/%02i OK"', '"erase sector %02i/%02i ok"', ["e2e"]),
    ("listing text", "src/flash/FlashFwInfo.cpp",
     '"%s\\tV%02x.%02x.%02x.%02x \\t%s%s \\t< %s V%02x.%02x.%02x.%02x >"',
     '"%s\\tV%02x.%02x.%02x.%02x\\t%s%s \\t< %s V%02x.%02x.%02x.%02x >"', ["e2e"]),
    ("partly covered last sector left out", "src/flash/FlashPlacement.cpp",
     "p.wEndSector = static_cast<uint16_t>(end > lo ? i + 1 : i);", "p.wEndSector = static_cast<uint16_t>(end > lo ? i : i);",
     ["e2e", "flash"]),
    ("range may end past the flash", "src/flash/FlashPlacement.cpp",
     "if (end64 > layout.dwFlashSize) {", "if (end64 > layout.dwFlashSize + 1ull) {", ["flash"]),
    ("range end held against the sector table", "src/flash/FlashPlacement.cpp",
     "if (end64 > layout.dwFlashSize) {",
     "if (end64 > (layout.bSectorsKnown ? SectorStart(layout, layout.wSectorCount) : 0)) {", ["flash", "e2e"]),
    ("flash size kept after a failed sector query", "src/flash/FlashProg.cpp",
     "            m_dwFlashSize = 0;\n            return KZM_E_FLASH_NOT_STARTED;\n        }\n        m_bSectorsKnown = 1;",
     "            return KZM_E_FLASH_NOT_STARTED;\n        }\n        m_bSectorsKnown = 1;", ["flash", "e2e"]),
    ("blocks placed without the first offset", "src/flash/FlashPlacement.h",
     "? placement.dwFirstOffset + blockStart - placement.dwBase - placement.dwStartOffset",
     "? blockStart - placement.dwBase - placement.dwStartOffset", ["flash"]),
    ("blocks taken in list order", "src/flash/FlashRange.cpp",
     "inOrder = inOrder && piece.dwOffset >= lastEnd;", "inOrder = true;", ["flash"]),
    ("kept bytes not advanced", "src/flash/FlashRange.cpp",
     "kept += bytes != nullptr ? 0 : length;\n        });\n        if (WriteSector",
     "kept += 0;\n        });\n        if (WriteSector", ["flash"]),
    ("big-endian model misnamed", "src/flash/FwInfo.cpp",
     'constexpr char BIG_ENDIAN_MODEL[] = "eMB-K 740";', 'constexpr char BIG_ENDIAN_MODEL[] = "eMB-K 741";', ["e2e"]),
    ("scan converts the record", "src/flash/FlashFwInfo.cpp",
     "        std::memcpy(info, &found, sizeof(found));",
     "        CFwInfo::ToHostOrder(&found), std::memcpy(info, &found, sizeof(found));", ["e2e"]),
    ("boot text", "src/flash/FlashFwInfo.cpp", '" (BOOT)"', '" BOOT"', ["e2e"]),
    ("RAM listed as FLASH", "src/flash/FwInfo.cpp",
     'case 1:\n        return "RAM";', 'case 1:\n        return "FLASH";', ["e2e"]),
    ("listing for a name starting with NUL", "src/flash/FlashFwInfo.cpp",
     "if (info.Name[0] != '\\0')\n            ListFwInfo(info);", "if (true)\n            ListFwInfo(info);", ["e2e"]),
    ("end record without line feed by its first nine characters", "src/flash/ImageReader.h",
     'std::memcmp(line, ":00000001FF", 11) == 0', 'std::memcmp(line, ":00000001FF", 9) == 0', ["flash"]),
    ("verify skips a block's last byte", "src/flash/FlashRange.cpp",
     "piece->dwLength = length < room ? length : room;",
     "piece->dwLength = length - 1 < room ? length - 1 : room;", ["flash", "e2e"]),
    ("image record search skips blocks just big enough", "src/flash/FwInfo.cpp",
     "CFwInfo::RECORD_SIZE + CFwInfo::MARKER_SIZE;", "CFwInfo::RECORD_SIZE + CFwInfo::MARKER_SIZE + 1;", ["flash"]),
    ("record at flash offset 0 refused", "src/flash/FlashFwInfo.cpp",
     "recordStart < CFwInfo::RECORD_SIZE", "recordStart <= CFwInfo::RECORD_SIZE", ["flash", "e2e"]),
    # image reader: the digit rule on the vector paths, record lines taken whole, runs of the layout
    ("vector digit rule from 'B'", "src/flash/HexDigits.h",
     "_mm_max_epu8(c, _mm_set1_epi8('A'))", "_mm_max_epu8(c, _mm_set1_epi8('B'))", ["flash"]),
    ("AVX2 digits from 'A' less 6", "src/flash/HexDigits.cpp",
     "_mm256_and_si256(fromA, _mm256_set1_epi8(7))", "_mm256_and_si256(fromA, _mm256_set1_epi8(6))", ["flash"]),
    ("short vector run without its last bytes", "src/flash/HexDigits.h",
     "                Sse2Decode8(digits + 2 * (count - 8), out + (count - 8));\n", "", ["flash"]),
    ("record line taken whole past a line feed", "src/flash/ImageReader.h",
     "return CHexDigits::NoLineFeed(p, length - 1) ? length : 0;", "return length;", ["flash"]),
    ("carriage return counted in a whole record line", "src/flash/ImageReader.h",
     "if (last == '\\n' ? p[length - 2] == '\\r' :", "if (last == '\\n' ? false :", ["flash"]),
    ("observed reading takes the inline record path", "src/flash/ImageReader.h",
     "if (m_pObserver == nullptr && TakeWholeRecordLine(", "if (TakeWholeRecordLine(", ["hostkit"]),
    ("S2 address read with a fourth byte", "src/flash/ImageReader.h",
     "        if (addressBytes == 4)\n", "        if (addressBytes >= 3)\n", ["flash"]),
    ("inline record path hands out a record without data", "src/flash/ImageReader.h",
     "TakeWholeRecordLine(&line, &length) && ParseLine(line, length, record, &status))",
     "TakeWholeRecordLine(&line, &length) && (ParseLine(line, length, record, &status) || true))", ["flash"]),
    ("vector digit test takes 'a' to 'f'", "src/flash/HexDigits.h",
     "_mm_min_epu8(letter, _mm_set1_epi8(5))", "_mm_min_epu8(letter, _mm_set1_epi8(37))", ["hostkit"]),
    ("checksum sum counts the last lanes twice", "src/flash/HexDigits.h",
     "_mm_sad_epu8(_mm_and_si128(last, fresh), zero)", "_mm_sad_epu8(last, zero)", ["hostkit"]),
    ("AVX2 line sum counts the last lanes twice", "src/flash/HexDigits.cpp",
     "const __m128i sums = _mm_add_epi64(_mm_sad_epu8(first, zero), _mm_sad_epu8(_mm_and_si128(last, fresh), zero));",
     "const __m128i sums = _mm_add_epi64(_mm_sad_epu8(first, zero), _mm_sad_epu8(last, zero));", ["hostkit"]),
    ("AVX2 line digit test takes 'a' to 'f'", "src/flash/HexDigits.cpp",
     "_mm256_min_epu8(letter, _mm256_set1_epi8(5))", "_mm256_min_epu8(letter, _mm256_set1_epi8(37))", ["hostkit"]),
    ("AVX2 line halves in pack order", "src/flash/HexDigits.cpp",
     "Avx2PairLanes(c1)), 0xD8);", "Avx2PairLanes(c1)), 0xE4);", ["hostkit"]),
    ("AVX2 short line sums the bytes counted twice", "src/flash/HexDigits.cpp",
     "_mm_sad_epu8(_mm_and_si128(last, fresh), zero))));", "_mm_sad_epu8(last, zero))));", ["hostkit"]),
    ("AVX2 short line digit test of its first half only", "src/flash/HexDigits.cpp",
     "if (_mm256_movemask_epi8(Avx2UpperLanes(c)) != -1)", "if ((_mm256_movemask_epi8(Avx2UpperLanes(c)) & 0xFFFF) != 0xFFFF)",
     ["hostkit"]),
    ("the check's errors not counted", "hostkit/src/ImageCheck.cpp",
     "        ++m_Errors;\n", "", ["hostkit"]),
    ("the check looks for '$' as another byte", "hostkit/src/ImageCheck.cpp",
     "Lacks(reinterpret_cast<const char*>(bytes), count, '$')",
     "Lacks(reinterpret_cast<const char*>(bytes), count, 'B')", ["hostkit"]),
    ("a counted line taken without a line feed last", "src/flash/ImageReader.h",
     "return length != 0 && p[length - 1] == '\\n' ? length : 0;", "return length;", ["hostkit"]),
    ("a usual S-record line not counted for S5", "hostkit/src/ImageCheck.cpp",
     "            ++m_SDataRecords;\n        }\n        record->dwCount = count;",
     "        }\n        record->dwCount = count;", ["hostkit"]),
    ("a usual line's wrong checksum let pass", "hostkit/src/ImageCheck.cpp",
     "if ((~(b.sum - b.back()) & 0xFFu) != b.back() || n < addressSize + 2)", "if (n < addressSize + 2)",
     ["hostkit"]),
    ("a usual Intel line's wrong checksum let pass", "hostkit/src/ImageCheck.cpp",
     "if (b.sum % 256u != 0 || b[3] != 0 || n == 0)", "if (b[3] != 0 || n == 0)", ["hostkit"]),
    ("a usual line's S2 address read as S3's", "hostkit/src/ImageCheck.cpp",
     "b[4]) >> (8 * (4 - addressSize));", "b[4]) >> 0;", ["hostkit"]),
    ("a usual Intel line past its segment let pass", "hostkit/src/ImageCheck.cpp",
     "if ((m_SegmentMode && offset + n > 0x10000u) || m_Extension + offset + n > 0xFFFFFFFFull)",
     "if (m_Extension + offset + n > 0xFFFFFFFFull)", ["hostkit"]),
    ("a line feed inside a counted line vouched for", "hostkit/src/ImageCheck.cpp",
     "        if (!CHexDigits::DecodeSumUpper(digits, size, b.data, &b.sum))\n            return false;\n        b.size = size;",
     "        b.sum = CHexDigits::DecodeSum(digits, size, b.data);\n        b.size = size;",
     ["hostkit"]),
    ("a short piece's tail taken from its ninth byte", "src/flash/FlashRange.cpp",
     "std::memcpy(&tail, from + length - 8, 8);", "std::memcpy(&tail, from + 8, 8);", ["flash", "e2e"]),
    ("a short piece compared by its first 8 bytes", "src/flash/FlashRange.cpp",
     "return ((a0 ^ b0) | (a1 ^ b1)) == 0;", "return (a0 ^ b0) == 0;", ["flash", "e2e"]),
    ("an image's bounds kept after its blocks change", "src/flash/ImageFile.cpp",
     "    m_bBoundsValid = false;\n", "", ["flash"]),
    ("small blocks given one place for their bytes", "src/flash/ImageFile.cpp",
     "sharedAt += end - start;", "sharedAt += 0;", ["flash"]),
    ("a buffer of the large size given back to the heap", "src/flash/LargeMemory.cpp",
     "    if (size < LARGE)\n        std::free(memory);", "    if (size <= LARGE)\n        std::free(memory);",
     ["flash/^LargeMemory\\."]),
    ("pages released by a part of them", "src/platform/posix/Platform.cpp",
     "if (address == nullptr || size != 0 || freeType != MEM_RELEASE) {",
     "if (address == nullptr || freeType != MEM_RELEASE) {", ["flash/^LargeMemory\\."]),
    ("touching runs taken as blocks of their own", "src/flash/ImageIndex.cpp",
     "if (groups == m_dwRuns) {", "if (groups <= m_dwRuns) {", ["flash"]),
    ("a run beside a touching one taken as alone", "src/flash/ImageIndex.cpp",
     "work.pStarts[i + 1] > run.dwEnd", "work.pStarts[i + 1] >= run.dwEnd", ["flash"]),
    # the bench: what it refuses and arms on its own side of the contract
    ("flash file taken without its lock", "simulator/src/host/HostPosix.cpp",
     "if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {", "if (false) {", ["simulator"]),
    ("a look-only close keeps the flash file", "simulator/src/Sim.h",
     "        if (!m_bClaimed)\n            Release();", "        if (false)\n            Release();", ["simulator"]),
    ("device list of other flags served", "simulator/src/SetupApi.cpp",
     "if (flags != (FLAG_PRESENT | FLAG_DEVICEINTERFACE)) {", "if (flags & ~0x1Fu) {", ["simulator"]),
    ("detail buffer below the fixed part taken", "simulator/src/SetupApi.cpp",
     "if (size < INTERFACE_DETAIL_SIZE) {", "if (false) {", ["simulator"]),
    ("Next without its count taken", "simulator/src/Server.cpp",
     'return call.Refuse(SIM_E_POINTER, "fetched (null)");', "return SIM_E_POINTER;", ["simulator"]),
    ("enumerator's event closed early not counted", "simulator/src/Server.cpp",
     'CountEventClosedEarly(m_Event, "enumerator");', "", ["simulator"]),
    ("OpenDevice before InitializeServer taken", "simulator/src/Sim.cpp",
     "if (Sim().ServerInits > 0)\n        return 0;", "if (true)\n        return 0;", ["simulator"]),
    ("a bench file's fault fires one call late", "simulator/src/BenchJson.cpp",
     'fault.Nth = static_cast<uint32_t>(Number(entry["at"], Join(item, "at"), 0xFFFFFFFF));',
     'fault.Nth = 1 + static_cast<uint32_t>(Number(entry["at"], Join(item, "at"), 0xFFFFFFFF));', ["simulator"]),
    # the host kit: the check, input conversion, report decoder, result table
    ("a last line without data and line feed refused", "hostkit/src/ImageCheck.cpp",
     "else if (!m_StopHadLineFeed && m_Out.recordsNotRead == 0)", "else if (false)", ["hostkit"]),
    ("--base taken for a record file", "hostkit/src/ImageInput.cpp",
     "text && first != std::string::npos ? RecordsRead(head, first) : nullptr", "nullptr", ["hostkit"]),
    ("a binary's chunks all at its base", "hostkit/src/ImageInput.cpp",
     "writer.Data(static_cast<uint32_t>(base + total), chunk.data(), n);", "writer.Data(base, chunk.data(), n);",
     ["hostkit"]),
    ("--base for a record file an image error", "hostkit/src/ResultText.cpp",
     '"a base address is only for raw binaries: this file carries its own addresses", EXIT_USAGE',
     '"a base address is only for raw binaries: this file carries its own addresses", EXIT_IMAGE', ["hostkit"]),
    ("the same phase again continues the phase", "hostkit/src/Reports.cpp",
     "line.sector <= *m_LastStarted", "line.sector < *m_LastStarted", ["hostkit"]),
    ("reads of a verify stay reads", "hostkit/src/Reports.cpp",
     "m_bVerifying && line.phase == ReportPhase::Read", "false && line.phase == ReportPhase::Read", ["hostkit"]),
    ("a sector line taken without printing it again", "hostkit/src/Reports.cpp",
     "        if (!Same(again, text))\n            continue;\n        line.sector", "        line.sector",
     ["hostkit"]),
    ("flash file opened through a link", "simulator/src/host/HostPosix.cpp",
     "O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK", "O_RDWR | O_CLOEXEC | O_NONBLOCK", ["simulator"]),
    ("a short write of a flash file counts as written", "simulator/src/host/HostPosix.cpp",
     '*error = n < 0 ? std::strerror(errno) : "the file took no more bytes";\n            return false;',
     '*error = n < 0 ? std::strerror(errno) : "the file took no more bytes";\n            return true;',
     ["simulator"]),
    ("a read creates a missing flash file", "simulator/src/Flash.cpp",
     "        std::memcpy(data, Memory().data() + offset, size);\n        return 0;\n    }\n"
     "    if (uint32_t code = Claim(error))",
     "        std::memcpy(data, Memory().data() + offset, size);\n        return 0;\n    }\n"
     "    if (uint32_t code = Claim(error, true))", ["simulator"]),
    ("a key given twice passes", "simulator/src/BenchJson.cpp",
     "if (!object.Keys.insert(object.Key).second)", "if (!object.Keys.insert(object.Key).second && false)",
     ["simulator"]),
    ("the bench file may be its own flash file", "simulator/src/BenchJson.cpp",
     "if (!m_BenchFile.empty() && detail::SameFile(file, m_BenchFile))", "if (false)", ["simulator"]),
    ("two spellings of one flash file pass", "simulator/src/BenchJson.cpp",
     "detail::SameFile(bench.Boards[j].Flash.File, file)", "bench.Boards[j].Flash.File == file", ["simulator"]),
    # the run log: counters, concurrent writers, filters, stamps
    ("a fault in a digest leaves SIGBUS blocked", "runlog/Digest.cpp",
     "sigsetjmp(fault, 1)", "sigsetjmp(fault, 0)", ["runlog/^Digest\\."]),
    ("digest reads the file again from its start after the windows", "runlog/Digest.cpp",
     "lseek(fd, static_cast<off_t>(result.size), SEEK_SET)", "lseek(fd, 0, SEEK_SET)", ["runlog/^Digest\\."]),
    ("counter gives the value after the one taken", "runlog/RunLog.cpp",
     "RETURNING next_value - 1", "RETURNING next_value", ["runlog"]),
    ("log writers do not wait for each other", "runlog/SqliteLog.cpp",
     "sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);", "sqlite3_busy_timeout(db, 0);", ["runlog"]),
    ("--since leaves out runs at that very time", "runlog/RunLog.cpp",
     'add("started >= ?");', 'add("started > ?");', ["runlog"]),
    ("stamped record keeps its old checksum", "runlog/StampImage.cpp",
     "static_cast<uint8_t>(high * 16 + low - delta)", "static_cast<uint8_t>(high * 16 + low)", ["runlog"]),
    ("big-endian stamps written little-endian", "runlog/Stamp.cpp",
     "bytes[little ? i : stamp.size - 1 - i] = byte;", "bytes[i] = byte;", ["runlog"]),
    ("text stamps padded with blanks", "runlog/Stamp.cpp",
     "std::vector<uint8_t> bytes(stamp.size, 0);", "std::vector<uint8_t> bytes(stamp.size, ' ');", ["runlog"]),
    # the run log's line record and commands, as any host uses them
    ("--require-log lets a run whose row is lost pass", "runlog/LineRecord.cpp",
     "            m_bLogFailed = true;", "            m_bLogFailed = false;", ["runlog"]),
    ("the row names no firmware record", "runlog/LineRecord.cpp",
     "        m_Row.fwName = image.fwInfo.Name();\n", "", ["cli/^KazmirRun\\.BenchFwInfoAndChoosingTheBoard$"]),
    ("a stop's summary reads the image again for its record", "runlog/LineRecord.cpp",
     "        m_FwPath.clear();\n        if (m_Digest.valid() && m_Digest.wait_for", "        if (m_Digest.valid() && m_Digest.wait_for",
     ["runlog"]),
    ("the row holds no digest", "runlog/LineRecord.cpp",
     "        m_Row.imageSha256 = done->sha256;\n", "", ["cli/^KazmirRun\\.BenchFwInfoAndChoosingTheBoard$"]),
    ("a batch writes no reports", "runlog/LineRecord.cpp",
     "    WriteReports(rows, command);\n}", "    (void)rows;\n}",
     ["cli/^KazmirLine\\.JUnitAndCsvReportsNameTheFailedBoard$"]),
    ("counter --set sets the value after the one given", "runlog/LogQuery.cpp",
     "log->SetCounter(name, *value)", "log->SetCounter(name, *value + 1)", ["runlog"]),
    ("log --failed lists every run", "runlog/LogQuery.cpp",
     "filter.failed = query.failed;", "filter.failed = false;", ["runlog"]),
    # the Python binding: the check before program and verify, the bench's
    # sector sizes, the serial route to the flash loader, whole BGI entries
    ("Python program skips the check", "bindings/python/kazmir/__init__.py",
     "            if check:", "            if False:", ["python"]),
    ("Python check without the placement", "bindings/python/kazmir/__init__.py",
     "                    image.place(flash)", "                    pass", ["python"]),
    ("Python placement without the bench's sector sizes", "bindings/python/kazmir/__init__.py",
     'bench = getattr(lib, "kazsimFlashLayout", None)', "bench = None", ["python"]),
    ("Python flash loader by serial opens the first board", "bindings/python/kazmir/__init__.py",
     "return self._init(self.timeout, device)", "return self._init(self.timeout, self.device)", ["python"]),
    ("Python receive keeps the entry's padding", "bindings/python/kazmir/__init__.py",
     'buffer.raw[:received.value].rstrip(b"\\0")', "buffer.raw[:received.value]", ["python"]),
    ("Python send leaves an older message's tail", "bindings/python/kazmir/__init__.py",
     'data = data.ljust(size - 1, b"\\0")', "pass", ["python"]),
    ("bench gives the sector sizes of no board", "simulator/src/Bench.cpp",
     "if (!board.Present || board.DeviceId != deviceId)", "if (true)", ["python"]),
    # kazmir: stop requests, failure causes, boards of a bench of several
    ("SIGPIPE not ignored", "support/StopRequests.cpp",
     "ignore.sa_handler = SIG_IGN;", "ignore.sa_handler = SIG_DFL;", ["cli/^KazmirRun\\.StopRequestsLeaveTheFlashWholeAndSaySo$"]),
    ("a writing call is cut short by the first signal", "cli/Session.cpp",
     "    if (m_Writing) {\n        m_Out.Note(", "    if (false) {\n        m_Out.Note(", ["cli/^KazmirRun\\.StopRequestsLeaveTheFlashWholeAndSaySo$"]),
    ("a wait for a board is waited out", "cli/Session.cpp",
     "if (std::chrono::steady_clock::now() >= deadline)",
     "if (std::chrono::steady_clock::now() >= deadline + std::chrono::hours(1))",
     ["cli/^KazmirRun\\.StopsReachEveryBoardOfABatch$"]),
    ("a batch keeps a signal to itself", "cli/Batch.cpp",
     "                m_Children.Forward(i, cause);", "                (void)cause;", ["cli/^KazmirRun\\.StopsReachEveryBoardOfABatch$"]),
    ("a stop leaves the temporary folders", "hostkit/src/TempFolder.cpp",
     "    for (const std::string& folder : g_Folders)\n        std::filesystem::remove_all(folder, ec);",
     "    for (const std::string& folder : g_Folders)\n        std::filesystem::remove_all(folder + \"-none\", ec);",
     ["hostkit"]),
    ("a text one byte too long for its buffer handed out", "hostkit/src/HostApi.cpp",
     "if (value.size() >= size)", "if (value.size() > size)", ["hostkit"]),
    ("four findings of one kind listed", "hostkit/src/ImageWords.cpp",
     "        if (n <= 3)\n", "        if (n <= 4)\n", ["hostkit"]),
    ("Python refusal lists every error itself", "bindings/python/kazmir/__init__.py",
     '"; ".join(image.refusal)', '"; ".join(f.text for f in image.findings if f.error)', ["python"]),
    ("batch children without a parent-death signal", "support/ChildProcessPosix.cpp",
     "prctl(PR_SET_PDEATHSIG, SIGTERM);", "prctl(PR_SET_PDEATHSIG, 0);", ["cli/^KazmirRun\\.StopsReachEveryBoardOfABatch$"]),
    ("a child's environment changes add to the old values", "support/ChildProcess.cpp",
     "return var.compare(0, name.size(), name) == 0;", "return false;", ["cli/^ChildProcess\\.RunToEndTellsWhatTheChildDid$"]),
    ("a child starts in this process's folder", "support/ChildProcessPosix.cpp",
     "posix_spawn_file_actions_addchdir_np(&actions, setup.folder.c_str());", "(void)setup.folder;", ["cli/^ChildProcess\\.RunToEndTellsWhatTheChildDid$"]),
    ("the heap's room left in small pages", "support/Heap.cpp",
     "end - begin, MADV_HUGEPAGE);", "end - begin, MADV_NORMAL);", ["cli/^Heap\\.ImageTablesLieInLargePageMemory$"]),
    ("a run a signal ended reports exit 1", "support/ChildProcess.cpp",
     "        r.exit = 128 + signal;", "        (void)signal;", ["cli/^ChildProcess\\.RunToEndTellsWhatTheChildDid$"]),
    ("a failing sector is the image's fault", "cli/Session.cpp",
     "return m_Out.PhaseCount() > phasesBefore ? Operation::Sectors : op;", "return op;", ["cli/^KazmirRun\\.ExitCodesTellTheKindsOfFailureApart$"]),
    ("a stop's summary counts no written sectors", "hostkit/src/Progress.cpp",
     "            sum.written += p.done;", "            sum.written += 0;", ["cli/^KazmirRun\\.StopRequestsLeaveTheFlashWholeAndSaySo$"]),
    ("a phase's bytes left uncounted", "hostkit/src/Progress.cpp",
     "        stats.bytes += m_Layout->sectorSizes[e.sector];", "        (void)e;", ["cli/^JsonEvents\\.EachSectorAndPhaseBecomesAnEvent$"]),
    ("a batch's board without a summary is not logged", "runlog/LineRecord.cpp",
     '        if (!boards[i].contains("run"))', '        if (boards[i].contains("nothing"))', ["runlog"]),
    ("other boards stay on the bench", "simulator/src/BenchSetup.cpp",
     "                Bench::RemoveBoard(b.index);", "                (void)b;", ["cli/^KazmirRun\\.ArgumentsAndMessages$"]),
    ("a mismatch named by its last difference", "hostkit/src/ImagePlacement.cpp",
     "            first = std::min(first, i);", "            first = i;", ["cli/^KazmirRun\\.VerifyNamesTheFirstDifference$"]),
    ("a batch's summary says the command, not what it did", "cli/main.cpp",
     "    request.done = c.chosen->done;", "    request.done = c.chosen->name;", ["cli/^KazmirBatch\\.TwoBoardsInParallelEachGetTheImage$"]),
    ("a run without --serial logs no serial", "runlog/RunRecord.cpp",
     'row.serial = summary.value("serial", std::string());', 'row.serial = "";', ["cli/^KazmirLine\\.EveryBoardIsLoggedWithItsImageDigest$"]),
    ("no choice asked for on a bench of several", "simulator/src/BenchSetup.cpp",
     "} else if (setup.boards.size() > 1) {", "} else if (setup.boards.size() > 9) {", ["cli"]),
]

def run(cmd, **kwargs):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kwargs)


def prepare():
    """The scratch tree: a copy of the sources, configured and built once."""
    os.makedirs(SCRATCH, exist_ok=True)
    # The tests find the image corpus next to the tree, as in a checkout.
    shared = os.path.join(SCRATCH, "shared")
    if not os.path.lexists(shared):
        os.symlink(os.path.normpath(os.path.join(ROOT, "..", "shared")), shared)
    listed = run(["git", "-C", ROOT, "ls-files", "-co", "--exclude-standard"]).stdout.split()
    keep = set(listed)
    for folder, dirs, files in os.walk(TREE):
        dirs[:] = [d for d in dirs if os.path.join(folder, d) != BUILD]
        for name in files:  # files gone from the checkout go from the copy too
            full = os.path.join(folder, name)
            if os.path.relpath(full, TREE) not in keep:
                os.remove(full)
    for rel in listed:
        src, dst = os.path.join(ROOT, rel), os.path.join(TREE, rel)
        if not os.path.isfile(src):
            continue
        if os.path.exists(dst) and open(src, "rb").read() == open(dst, "rb").read():
            continue  # unchanged: keep its time stamp for the incremental build
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        # A changed file gets a new time stamp: its own (copied) may be older
        # than the objects built from the earlier text, which would then stay.
        shutil.copy(src, dst)
    # Optimised lightly and without debug information: built quickly (only the
    # targets the mutants' labels need).
    out = run(["cmake", "-S", TREE, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
               "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG", "-DKAZMIR_BUILD_BENCHMARKS=OFF",
               "-DKAZMIR_BUILD_CLI=ON"])
    if out.returncode != 0:
        sys.exit("mutants: configuring the scratch tree failed:\n" + out.stdout)


# The targets a label's tests need, where they are no test_<label> program.
LABEL_TARGETS = {"python": ["kazmir", "kazapi", "kazmir_host"], "cli": ["test_cli_unit", "test_cli_run"]}


def label_names(labels):
    return [label.split("/", 1)[0] for label in labels]


def targets(labels):
    return [t for label in label_names(labels) for t in LABEL_TARGETS.get(label, ["test_" + label])]


def build(labels):
    cmd = ["cmake", "--build", BUILD, "-j2"]
    for target in targets(labels):
        cmd += ["--target", target]
    return run(cmd)


def tests_pass(labels):
    cmd = ["ctest", "--test-dir", BUILD, "-j2", "--timeout", "120", "--stop-on-failure", "-L",
           "^(" + "|".join(label_names(labels)) + ")$"]
    # The named tests first: a mutant they kill needs no more. Surviving
    # them, it meets every test of its labels.
    for label in labels:
        if "/" in label:
            name, tests = label.split("/", 1)
            if run(cmd[:-1] + ["^" + name + "$", "-R", tests]).returncode != 0:
                return False
    return run(cmd).returncode == 0


def main():
    selected = sys.argv[1:]
    mutants = [m for m in MUTANTS if not selected or any(s in m[0] for s in selected)]
    if not mutants:
        sys.exit("mutants: no mutant's name holds " + " or ".join(repr(s) for s in selected))
    started = time.time()
    rotten = []
    for m in mutants:
        path = os.path.join(ROOT, m[1])
        count = open(path).read().count(m[2])
        if count != 1:
            rotten.append(f"{m[0]}: old text found {count} times in {m[1]}")
    if rotten:
        print("\n".join("ROTTEN   " + r for r in rotten))
        sys.exit(2)

    prepare()
    all_labels = sorted({label for m in mutants for label in label_names(m[4])})
    out = build(all_labels)
    if out.returncode != 0 or not tests_pass(all_labels):
        sys.exit("mutants: the unmutated scratch tree does not build or pass:\n" + out.stdout[-3000:])
    print(f"scratch tree ready in {time.time() - started:.0f} s")

    killed, survived, awaiting, invalid = 0, [], [], []
    for m in mutants:
        name, rel, old, new, labels = m[:5]
        note = m[5] if len(m) > 5 else ""
        path = os.path.join(TREE, rel)
        original = open(path).read()
        t0 = time.time()
        try:
            open(path, "w").write(original.replace(old, new, 1))
            out = build(labels)
            dead = out.returncode == 0 and not tests_pass(labels)
        finally:
            open(path, "w").write(original)
        if out.returncode != 0:
            verdict = "INVALID "  # a mutant must build, or it proves nothing
            invalid.append(name)
        elif dead:
            verdict = "killed  "
            killed += 1
        elif note:
            verdict = "survived"
            awaiting.append(name)
        else:
            verdict = "SURVIVED"
            survived.append(name)
        extra = f" ({note})" if note and not dead else ""
        print(f"{verdict} {time.time() - t0:5.1f} s  {rel}: {name} [{','.join(label_names(labels))}]{extra}", flush=True)

    build(all_labels)  # the tree as it is, for the next run
    total = len(mutants)
    print(f"\nmutation score: {killed}/{total} killed ({100.0 * killed / total:.0f} %), "
          f"{time.time() - started:.0f} s")
    for name in awaiting:
        print(f"awaiting: {name}")
    for name in survived:
        print(f"survived: {name}")
    for name in invalid:
        print(f"does not build: {name}")
    sys.exit(1 if survived or invalid else 0)


if __name__ == "__main__":
    main()
