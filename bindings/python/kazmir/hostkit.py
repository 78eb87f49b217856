"""ctypes over the host kit (kazmir_host.h): the image check, the placement
preview, ELF and raw-binary input, the report decoder, the result table and
the kit's words for what it found.

The kit is found like the library: KAZMIR_HOST_LIBRARY (a file), else beside
an installed package, else by the system's loader.
"""
import ctypes
import sys
from collections import namedtuple

from ._load import load

lib = load("KAZMIR_HOST.dll" if sys.platform == "win32" else "libkazmir_host.so.1", "KAZMIR_HOST_LIBRARY")

_U8, _U32, _I32, _U64, _P, _S = ctypes.c_uint8, ctypes.c_uint32, ctypes.c_int32, ctypes.c_uint64, ctypes.POINTER, \
    ctypes.c_char_p

# What a call was doing (the same code means different things in different calls).
OPERATIONS = {"kzmInitialize": 1, "kzmGetVersion": 1, "kzmRegisterCallback": 1, "kzmFLDprogram": 3,
              "kzmFLDverify": 4, "kzmFLDerase": 5, "kzmFLDscanFwInfo": 6, "kzmBGIsend": 7, "kzmBGIreceive": 8}
SEVERITY_ERROR, TEXT_ERRORS = 0, 1
KIND_IMAGE, KIND_NO_FIT = 3, 9
EVENT_FLASH_LAYOUT, EVENTS_MAX = 4, 4


class ResultInfo(ctypes.Structure):
    _fields_ = [("code", _U32), ("operation", _U32), ("name", _S), ("meaning", _S), ("kind", _U32),
                ("kindName", _S), ("exitCode", _I32)]


class KindInfo(ctypes.Structure):
    _fields_ = [("kind", _U32), ("name", _S), ("meaning", _S), ("exitCode", _I32)]


class FwInfoDecoded(ctypes.Structure):
    _fields_ = [("found", _U32), ("block", _I32), ("at", _U32), ("kind", _U32), ("address", _U32),
                ("reserved12", _U32), ("reserved16", _U32), ("version", _U8 * 4), ("deviceVersion", _U8 * 4),
                ("name", ctypes.c_char * 11), ("device", ctypes.c_char * 17), ("versionText", ctypes.c_char * 12),
                ("deviceVersionText", ctypes.c_char * 12), ("kindText", ctypes.c_char * 24)]


class _Finding(ctypes.Structure):
    _fields_ = [("severity", _U32), ("issue", _U32), ("issueName", _S), ("line", _U32), ("block", _I32),
                ("minor", _U32), ("text", _S)]


class _Summary(ctypes.Structure):
    _fields_ = [("accepted", _U32), ("errors", _U32), ("warnings", _U32), ("formats", _U32), ("lines", _U32),
                ("dataRecords", _U32), ("dataBytes", _U64), ("loaded", _U32), ("endLine", _U32), ("stopLine", _U32),
                ("recordsNotRead", _U32), ("blockCount", _U32), ("findingCount", _U32), ("lowest", _U32),
                ("highest", _U64), ("stopReason", _S), ("formatName", _S)]


class Flash(ctypes.Structure):
    _fields_ = [("base", _U32), ("sectorCount", _U32), ("sectorSizes", _P(_U32)), ("flashSize", _U64)]


class _PlacementInfo(ctypes.Structure):
    _fields_ = [("accepted", _U32), ("libraryResult", _U32), ("placed", _U32), ("firstSector", _U32),
                ("lastSector", _U32), ("startOffset", _U32), ("rangeStart", _U64), ("rangeSize", _U64),
                ("bytesWritten", _U64), ("bytesKept", _U64), ("blockCount", _U32), ("findingCount", _U32),
                ("explanation", _S)]


class _InputInfo(ctypes.Structure):
    _fields_ = [("format", _U32), ("segments", _U32), ("bytes", _U64), ("libraryPath", _S), ("description", _S)]


class Event(ctypes.Structure):
    _fields_ = [("type", _U32), ("phase", _U32), ("sector", _U32), ("sectorEnd", _U32), ("status", _U32),
                ("hasAddress", _U32), ("address", _U32), ("done", _U32), ("sectorCount", _U32), ("base", _U32),
                ("words", _U32 * 5), ("text", _S)]


_V, _TEXT = ctypes.c_void_p, [ctypes.c_char_p, ctypes.c_size_t, _P(ctypes.c_size_t)]  # the words' buffer
_PROTOTYPES = {
    "kzhLastError": (_S, []),
    "kzhResultInfo": (_U32, [_U32, _U32, _P(ResultInfo)]), "kzhKindInfo": (_U32, [_U32, _P(KindInfo)]),
    "kzhDecodeFwInfo": (_U32, [_V, _P(FwInfoDecoded)]),
    "kzhAnalyseFile": (_U32, [_S, _P(_V)]), "kzhAnalysisFree": (None, [_V]),
    "kzhAnalysisSummary": (_U32, [_V, _P(_Summary)]), "kzhAnalysisFinding": (_U32, [_V, _U32, _P(_Finding)]),
    "kzhPlace": (_U32, [_V, _P(Flash), _P(_V)]), "kzhPlacementFree": (None, [_V]),
    "kzhPlacementInfo": (_U32, [_V, _P(_PlacementInfo)]), "kzhPlacementFinding": (_U32, [_V, _U32, _P(_Finding)]),
    "kzhInputOpen": (_U32, [_S, _P(_U32), _P(_V)]), "kzhInputFree": (None, [_V]),
    "kzhInputInfo": (_U32, [_V, _P(_InputInfo)]),
    "kzhDecoderNew": (_U32, [_P(_V)]), "kzhDecoderFeed": (_U32, [_V, _U8, _S, _P(Event), _P(_U32)]),
    "kzhAnalysisFindingsText": (_U32, [_V, _U32] + _TEXT), "kzhPlacementFindingsText": (_U32, [_V, _U32] + _TEXT),
    "kzhFwInfoText": (_U32, [_P(FwInfoDecoded)] + _TEXT),
}
for _name, (_restype, _args) in _PROTOTYPES.items():
    _f = getattr(lib, _name)
    _f.argtypes, _f.restype = _args, _restype


def _text(value):
    return value.decode("utf-8", "replace") if value else ""


def result_info(code, function):
    """(name, meaning, failure kind name) of a code as this call gave it."""
    info = ResultInfo()
    lib.kzhResultInfo(code, OPERATIONS.get(function, 2 if "init" in function else 0), ctypes.byref(info))
    return _text(info.name), _text(info.meaning), _text(info.kindName)


def kind_info(kind):
    """(name, meaning) of a failure kind."""
    info = KindInfo()
    lib.kzhKindInfo(kind, ctypes.byref(info))
    return _text(info.name), _text(info.meaning)


def _words(function, *args):
    """One of the kit's texts: its size first, then the text."""
    needed = ctypes.c_size_t()
    getattr(lib, function)(*args, None, 0, ctypes.byref(needed))
    text = ctypes.create_string_buffer(needed.value)
    _call(function, *args, text, needed.value, ctypes.byref(needed))
    return _text(text.value)


def fw_info_text(decoded):
    """'firmware "DEMO" 01.02.00.00, FLASH at 0x00000000, for "KZ-DEMO" 01.00.00.00', as kazmir says it."""
    return _words("kzhFwInfoText", ctypes.byref(decoded))


def decode_fw_info(stored):
    info = FwInfoDecoded()
    lib.kzhDecodeFwInfo(ctypes.byref(stored), ctypes.byref(info))
    return info


Finding = namedtuple("Finding", "error issue line block text")
Finding.__doc__ = "One thing the check says about an image: error (it costs data or makes it ambiguous), " \
                  "issue (a name such as 'bad-checksum'), line (0: no single line), block (-1: none), text."


def _findings(get, handle, count):
    found = []
    for i in range(count):
        f = _Finding()
        if get(handle, i, ctypes.byref(f)) == 0:
            found.append(Finding(f.severity == SEVERITY_ERROR, _text(f.issueName), f.line, f.block, _text(f.text)))
    return found


class Failure(Exception):
    """A call of the kit failed: function, code and the kit's sentence."""

    def __init__(self, function, code):
        self.function, self.code, self.detail = function, code, _text(lib.kzhLastError())
        super().__init__(self.detail)


def _call(function, *args):
    code = getattr(lib, function)(*args)
    if code != 0:
        raise Failure(function, code)


class Image:
    """An image file made ready for the library (ELF files and raw binaries
    converted into a private folder, removed by close) and checked:
    .library_path, .findings, .accepted, and after place() the same for the
    placement, .kind the failure kind when refused and .refusal the errors
    as kazmir lists them."""

    def __init__(self, path, base=None):
        self._input, self._analysis = _V(), _V()
        address = None if base is None else ctypes.byref(_U32(base))
        _call("kzhInputOpen", bytes(path) if isinstance(path, bytes) else str(path).encode(), address,
              ctypes.byref(self._input))
        try:
            info = _InputInfo()
            _call("kzhInputInfo", self._input, ctypes.byref(info))
            self.library_path = info.libraryPath
            _call("kzhAnalyseFile", self.library_path, ctypes.byref(self._analysis))
            summary = _Summary()
            _call("kzhAnalysisSummary", self._analysis, ctypes.byref(summary))
            self.findings = _findings(lib.kzhAnalysisFinding, self._analysis, summary.findingCount)
            self.accepted, self.kind = bool(summary.accepted), KIND_IMAGE
            self.refusal = [] if self.accepted else \
                _words("kzhAnalysisFindingsText", self._analysis, TEXT_ERRORS).splitlines()
        except BaseException:
            self.close()
            raise

    def place(self, flash):
        """Adds the findings of the library's placement on this flash."""
        placement = _V()
        _call("kzhPlace", self._analysis, ctypes.byref(flash), ctypes.byref(placement))
        try:
            info = _PlacementInfo()
            _call("kzhPlacementInfo", placement, ctypes.byref(info))
            self.findings += _findings(lib.kzhPlacementFinding, placement, info.findingCount)
            if not info.accepted:
                self.accepted, self.kind = False, KIND_NO_FIT
                self.refusal = _words("kzhPlacementFindingsText", placement, TEXT_ERRORS).splitlines()
        finally:
            lib.kzhPlacementFree(placement)

    def close(self):
        lib.kzhAnalysisFree(self._analysis)
        lib.kzhInputFree(self._input)
        self._input = self._analysis = _V()


class Decoder:
    """The library's report lines as typed events; keeps the last flash layout."""

    def __init__(self):
        self._decoder, self._events = _V(), (Event * EVENTS_MAX)()
        _call("kzhDecoderNew", ctypes.byref(self._decoder))
        self.layout = None  # (base, sector count) as the library reported them

    def feed(self, kind, text):
        count = _U32()
        if lib.kzhDecoderFeed(self._decoder, kind, text, self._events, ctypes.byref(count)) != 0:
            return
        for event in self._events[:count.value]:
            if event.type == EVENT_FLASH_LAYOUT:
                self.layout = (event.base, event.sectorCount)
