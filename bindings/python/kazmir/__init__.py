"""Kazmir from Python: ctypes over the library's C interface (kazmir.h) and
the host kit (kazmir_host.h).

The libraries are found through KAZMIR_LIBRARY and KAZMIR_HOST_LIBRARY (files),
else in <prefix>/lib beside an installed package, else by the system's loader.

Failures raise KazmirError, carrying the result code and its meaning from the
host kit's result table. The modes are context managers that leave the mode
(and close the board) on exit. program and verify check the image first, as
the kazmir command does, and raise ImageRefused (a KazmirError with the
findings) before anything reaches the board:

    import kazmir
    with kazmir.fld(timeout=5000) as board:
        board.program("app.elf")
        board.program("boot.bin", base=0x08000000)
        print(board.scan_fw_info())
"""
import ctypes
import os
import sys
import time

from . import hostkit
from ._load import load

__version__ = "1.0.0"  # the Kazmir release; CMake refuses a build where the two differ

__all__ = [
    "__version__", "KazmirError", "ImageRefused", "Finding", "FwInfo", "DEVICE_ID_ANY", "INFINITE",
    "REPORT_MESSAGE", "REPORT_PROGRESS", "REPORT_NEWLINE", "REPORT_TRACE", "REPORT_TEST",
    "initialize", "get_version", "register_callback",
    "fld_init", "fld_reset", "fld_program", "fld_verify", "fld_erase", "fld_scan_fw_info",
    "bal_init", "bal_init_ser", "bal_reset", "ccl_init", "ccl_init_ser", "ccl_reset",
    "bgi_init", "bgi_init_ser", "bgi_reset", "bgi_send", "bgi_receive", "bgi_get_msg_len",
    "fld", "bal", "ccl", "bgi",
]

DEVICE_ID_ANY = 0xFFFFFFFFFFFFFFFF
INFINITE = 0xFFFFFFFF
REPORT_MESSAGE, REPORT_PROGRESS, REPORT_NEWLINE, REPORT_TRACE, REPORT_TEST = 0, 1, 2, 3, 255

Finding = hostkit.Finding


class KazmirError(Exception):
    """A failed call: .function, .code (the 32-bit result; None when the check
    refused the image before any call), .name, .meaning and .kind (the kazmir
    command's name for the kind of failure, e.g. "no-fit")."""

    def __init__(self, function, code, detail=""):
        self.function, self.code = function, code
        self.name, self.meaning, self.kind = hostkit.result_info(code, function)
        super().__init__(f"{function} failed with 0x{code:08X}: {self.meaning}" + (f" ({detail})" if detail else ""))


class ImageRefused(KazmirError):
    """The check refused the image: nothing was sent to the board. .file,
    .kind ("image": the file would not be read as it is meant; "no-fit": the
    library would not write it where it belongs), .meaning, and .findings
    (Finding tuples, the errors among them with .error set)."""

    def __init__(self, function, file, image):
        self.function, self.code, self.file, self.findings = function, None, file, image.findings
        self.name = ""
        self.kind, self.meaning = hostkit.kind_info(image.kind)
        Exception.__init__(self, f"{function}: {file} is refused ({self.kind}): " + "; ".join(image.refusal))


class FwInfo(ctypes.Structure):
    """The 50-byte firmware-information record as the board's flash holds it,
    and its fields decoded by the host kit (numbers in host order also for the
    boards that store them big-endian)."""
    _pack_ = 1
    _fields_ = [("Version", ctypes.c_uint8 * 4), ("Kind", ctypes.c_uint32), ("Address", ctypes.c_uint32),
                ("Reserved12", ctypes.c_uint32), ("Reserved16", ctypes.c_uint32), ("Name", ctypes.c_char * 10),
                ("Device", ctypes.c_char * 16), ("DeviceVersion", ctypes.c_uint8 * 4)]

    decoded = property(lambda self: hostkit.decode_fw_info(self))
    name = property(lambda self: self.decoded.name.decode("latin-1"))
    device = property(lambda self: self.decoded.device.decode("latin-1"))
    version = property(lambda self: self.decoded.versionText.decode())
    device_version = property(lambda self: self.decoded.deviceVersionText.decode())
    kind = property(lambda self: self.decoded.kind)
    kind_text = property(lambda self: self.decoded.kindText.decode())  # "FLASH", "RAM (BOOT)", ...
    address = property(lambda self: self.decoded.address)
    boot = property(lambda self: bool(self.kind & 0x80))

    def __str__(self):
        return hostkit.fw_info_text(self.decoded)  # kazmir's line for the record

    def __repr__(self):
        return (f"FwInfo(name={self.name!r}, version={self.version!r}, kind={self.kind_text!r}, "
                f"address=0x{self.address:08X}, device={self.device!r}, device_version={self.device_version!r})")


assert ctypes.sizeof(FwInfo) == 50

ReportCallback = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint8, ctypes.c_char_p)


lib = load("KAZMIR.dll" if sys.platform == "win32" else "libkazmir.so.1", "KAZMIR_LIBRARY")
_U32, _U64, _U16, _P = ctypes.c_uint32, ctypes.c_uint64, ctypes.c_uint16, ctypes.POINTER
_PROTOTYPES = {
    "kzmInitialize": [], "kzmGetVersion": [_P(_U32)] * 4,
    "kzmRegisterCallback": [ctypes.c_void_p, ReportCallback],
    "kzmFLDinit": [_U32, _U64, _P(_U64)], "kzmFLDreset": [], "kzmFLDprogram": [ctypes.c_char_p],
    "kzmFLDverify": [ctypes.c_char_p], "kzmFLDerase": [], "kzmFLDscanFwInfo": [_P(FwInfo)],
    "kzmBALinit": [_U32, _U64, _P(_U64)], "kzmBALinitSer": [_U32, ctypes.c_char_p, _P(_U64)], "kzmBALreset": [],
    "kzmCCLinit": [_U32, _U64, _P(_U64)], "kzmCCLinitSer": [_U32, ctypes.c_char_p, _P(_U64)], "kzmCCLreset": [],
    "kzmBGIinit": [_U32, _U64, _P(_U64)], "kzmBGIinitSer": [_U32, ctypes.c_char_p, _P(_U64)], "kzmBGIreset": [],
    "kzmBGIsend": [_U32, _U16, ctypes.c_void_p], "kzmBGIreceive": [_U32, _U16, ctypes.c_void_p, _P(_U16)],
    "kzmBGIgetMsgLen": [_P(_U16), _P(_U16)],
}
for _name, _args in _PROTOTYPES.items():
    _f = getattr(lib, _name)
    _f.argtypes, _f.restype = _args, _U32


def _call(name, *args):
    code = getattr(lib, name)(*args)
    if code != 0:
        raise KazmirError(name, code)


def _path(p):
    return p if isinstance(p, bytes) else os.fsencode(p)


# --- The 21 functions, one to one -------------------------------------------

def initialize():
    _call("kzmInitialize")


def get_version():
    """The device server's (major, minor, 0, 0)."""
    v = [_U32() for _ in range(4)]
    _call("kzmGetVersion", *[ctypes.byref(x) for x in v])
    return tuple(x.value for x in v)


_reports = hostkit.Decoder()  # the flash layout the library reports while it opens the flash loader
_user_callback = None


def _on_report(_context, kind, text):
    _reports.feed(kind, text)
    if _user_callback:
        _user_callback(kind, text.decode("latin-1"))


_thunk = ReportCallback(_on_report)  # lives as long as the module: the library may call it any time
_thunk_registered = False


def register_callback(function):
    """function(kind, text) receives every report; text is a str. None stops it."""
    global _user_callback, _thunk_registered
    _user_callback = function
    _call("kzmRegisterCallback", None, _thunk)
    _thunk_registered = True


def _init(name, timeout, device):
    handle = _U64()
    _call(name, timeout, device, ctypes.byref(handle))
    return handle.value


def _init_ser(name, timeout, serial):
    handle = _U64()
    _call(name, timeout, serial.encode("latin-1"), ctypes.byref(handle))
    return handle.value


def fld_init(timeout=5000, device=DEVICE_ID_ANY): return _init("kzmFLDinit", timeout, device)
def fld_reset(): _call("kzmFLDreset")
def fld_program(file): _call("kzmFLDprogram", _path(file))
def fld_verify(file): _call("kzmFLDverify", _path(file))
def fld_erase(): _call("kzmFLDerase")
def bal_init(timeout=5000, device=DEVICE_ID_ANY): return _init("kzmBALinit", timeout, device)
def bal_init_ser(timeout, serial): return _init_ser("kzmBALinitSer", timeout, serial)
def bal_reset(): _call("kzmBALreset")
def ccl_init(timeout=5000, device=DEVICE_ID_ANY): return _init("kzmCCLinit", timeout, device)
def ccl_init_ser(timeout, serial): return _init_ser("kzmCCLinitSer", timeout, serial)
def ccl_reset(): _call("kzmCCLreset")
def bgi_init(timeout=5000, device=DEVICE_ID_ANY): return _init("kzmBGIinit", timeout, device)
def bgi_init_ser(timeout, serial): return _init_ser("kzmBGIinitSer", timeout, serial)
def bgi_reset(): _call("kzmBGIreset")


def fld_scan_fw_info():
    """The record in the board's flash, or None when there is none."""
    info = FwInfo()
    _call("kzmFLDscanFwInfo", ctypes.byref(info))
    return info if info.Name or info.Device else None


def bgi_send(data, timeout=1000):
    """Sends one message of at most the send maximum - 1 bytes. The channel
    moves whole entries: the rest of the entry is cleared, so the board never
    sees the tail of an older message behind a shorter one."""
    data = bytes(data)
    size = bgi_get_msg_len()[0]
    if 0 < len(data) < size:
        data = data.ljust(size - 1, b"\0")
    # A length the channel does not take goes to the library, which refuses it.
    _call("kzmBGIsend", timeout, min(len(data), 0xFFFF), data)


def bgi_get_msg_len():
    """(send maximum, receive maximum)."""
    send, receive = _U16(), _U16()
    _call("kzmBGIgetMsgLen", ctypes.byref(send), ctypes.byref(receive))
    return send.value, receive.value


E_PENDING = 0x8000000A  # the device server's "no entry yet"


def bgi_receive(timeout=1000):
    """One message, waiting up to timeout ms. The library hands over whole
    entries and no length: the message ends at the entry's last non-zero
    byte. The library waits on the channel's event once, and an event left
    signalled by an earlier message ends that wait early with E_PENDING: then
    it is asked again for the time that is left."""
    size = bgi_get_msg_len()[1]
    buffer, received = ctypes.create_string_buffer(size), _U16()
    deadline = None if timeout == INFINITE else time.monotonic() + timeout / 1000
    while True:
        left = timeout if deadline is None else max(0, int((deadline - time.monotonic()) * 1000))
        code = lib.kzmBGIreceive(left, size, buffer, ctypes.byref(received))
        if code != E_PENDING or left == 0:
            break
    if code != 0:
        raise KazmirError("kzmBGIreceive", code)
    return buffer.raw[:received.value].rstrip(b"\0")


# --- The modes as context managers ------------------------------------------

class _Mode:
    """Opens the board in the mode on entry; its reset on exit, and after a
    failed init (which can leave the board open)."""

    def __init__(self, init, init_ser, reset, timeout, device, serial):
        if serial is not None and device != DEVICE_ID_ANY:
            raise ValueError("choose the board by device or by serial, not both")
        self._init, self._init_ser, self._reset = init, init_ser, reset
        self.timeout, self.device, self.serial, self.handle = timeout, device, serial, None

    def _open(self):
        if self.serial is None:
            return self._init(self.timeout, self.device)
        if self._init_ser:
            return self._init_ser(self.timeout, self.serial)
        # The flash loader and the BGI channels open by id only: the CCL
        # firmware finds the board by its serial and gives its id.
        try:
            device = ccl_init_ser(self.timeout, self.serial)
        finally:
            ccl_reset()
        return self._init(self.timeout, device)

    def __enter__(self):
        initialize()
        if not _thunk_registered:
            register_callback(_user_callback)
        _reports.layout = None
        try:
            self.handle = self._open()
        except KazmirError:
            self._reset()
            raise
        return self

    def __exit__(self, *exc):
        self._reset()
        return False


class _Fld(_Mode):
    erase = staticmethod(fld_erase)
    scan_fw_info = staticmethod(fld_scan_fw_info)

    def program(self, path, base=None, check=True):
        """Programs an Intel HEX, S-record or ELF file, or a raw binary whose
        first byte belongs at base. Raises ImageRefused, before anything is
        written, when the check finds the file damaged or the library would
        not write it where it belongs; check=False hands it over as it is.
        Gives the check's findings (warnings only)."""
        return self._checked("program", fld_program, path, base, check)

    def verify(self, path, base=None, check=True):
        """Compares the flash with the image; the same check first."""
        return self._checked("verify", fld_verify, path, base, check)

    def _flash(self):
        """The flash as the placement takes it, and the array behind its sector
        sizes: base and sector count as the library reported them while it
        opened the flash loader; the sizes where known (on the virtual bench,
        from the bench)."""
        base, count = _reports.layout or (0, 0)
        bench = getattr(lib, "kazsimFlashLayout", None)  # only in a library built on the bench
        if bench:
            bench.argtypes, bench.restype = [_U64, _P(_U32), _P(_U32), _U32], ctypes.c_int
            sizes = (_U32 * count)()
            if count and bench(self.handle, None, sizes, count) == count:
                return hostkit.Flash(base, count, ctypes.cast(sizes, _P(_U32)), 0), sizes
        return hostkit.Flash(base, count, None, 0), None

    def _checked(self, function, call, path, base, check):
        try:
            image = hostkit.Image(path, base)
        except hostkit.Failure as failure:
            raise KazmirError(failure.function, failure.code, failure.detail) from None
        try:
            if check:
                if image.accepted:
                    flash, _sizes = self._flash()  # _sizes backs flash.sectorSizes
                    image.place(flash)
                if not image.accepted:
                    raise ImageRefused(function, str(path), image)
            call(image.library_path)
            return [f for f in image.findings if not f.error]
        finally:
            image.close()


class _Bgi(_Mode):
    send = staticmethod(bgi_send)
    receive = staticmethod(bgi_receive)
    msg_len = staticmethod(bgi_get_msg_len)


def fld(timeout=5000, device=DEVICE_ID_ANY, serial=None):
    return _Fld(fld_init, None, fld_reset, timeout, device, serial)


def bal(timeout=5000, device=DEVICE_ID_ANY, serial=None):
    return _Mode(bal_init, bal_init_ser, bal_reset, timeout, device, serial)


def ccl(timeout=5000, device=DEVICE_ID_ANY, serial=None):
    return _Mode(ccl_init, ccl_init_ser, ccl_reset, timeout, device, serial)


def bgi(timeout=5000, device=DEVICE_ID_ANY, serial=None):
    return _Bgi(bgi_init, None, bgi_reset, timeout, device, serial)
