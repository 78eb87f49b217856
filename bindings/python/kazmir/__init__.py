"""Kazmir from Python: ctypes over the library's C interface (kazmir.h).

The library is found through the variable KAZMIR_LIBRARY (a file), else in
<prefix>/lib when this package lies in <prefix>/lib/python3/dist-packages (as
`cmake --install` puts it) or <prefix>/lib/python3.X/site-packages (as
`pip install --prefix` does), else by the system's loader (LD_LIBRARY_PATH,
the ld.so cache).

Failures raise KazmirError, carrying the result code and its meaning. The
modes are context managers that leave the mode (and close the board) on exit:

    import kazmir
    with kazmir.fld(timeout=5000) as board:
        board.program("app.hex")
        print(board.scan_fw_info())
"""
import ctypes
import os
import sys

__version__ = "1.0.0"  # the Kazmir release; CMake refuses a build where the two differ

__all__ = [
    "__version__", "KazmirError", "FwInfo", "DEVICE_ID_ANY", "INFINITE",
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

# What a code means to the caller; the kazmir command says the same.
MEANINGS = {
    0x80004005: "failed: no board found, a refused argument, or nothing open",
    0x80070057: "no open connection to the board's driver, or no device path",
    0xE001000B: "the board did not come back from its restart within the time-out",
    0xE0FE0002: "the board's flash loader did not start, or its flash layout could not be read",
    0xE0FE0003: "the flash has more sectors than the library can handle (32)",
    0xE0FE0004: "the image ends beyond the flash",
    0xE0FE0005: "the end of the image lies in no flash sector",
    0xE0FE0006: "no sector range could be set up for the image",
    0xE0FE0007: "reading a flash sector of the image's range failed",
    0xE0FE0009: "writing a flash sector failed: the flash is partly written",
    0xE0FE000A: "the flash differs from the image",
    0xE0FE0010: "the board did not start its flash loader in time",
    0x80004002: "the board does not offer the requested mode or channel",
    0x0000048F: "the board is not connected (it went away during a restart)",
    0x00000490: "the device server lists no board with that id",
    0x00000020: "the board is in use by another program",
}


class KazmirError(Exception):
    """A failed call: .function, .code (the 32-bit result) and .meaning."""

    def __init__(self, function, code):
        self.function, self.code = function, code
        self.meaning = MEANINGS.get(code, "a code of the system or the device server")
        super().__init__(f"{function} failed with 0x{code:08X}: {self.meaning}")


class FwInfo(ctypes.LittleEndianStructure):
    """The 50-byte firmware-information record as the board's flash holds it.

    Boards of the model "eMB-K 740" store the four 32-bit fields big-endian;
    kind, address and the properties built on them are in host order for both.
    """
    _pack_ = 1
    _fields_ = [("Version", ctypes.c_uint8 * 4), ("Kind", ctypes.c_uint32), ("Address", ctypes.c_uint32),
                ("Reserved12", ctypes.c_uint32), ("Reserved16", ctypes.c_uint32), ("Name", ctypes.c_char * 10),
                ("Device", ctypes.c_char * 16), ("DeviceVersion", ctypes.c_uint8 * 4)]

    name = property(lambda self: self.Name.decode("latin-1"))
    device = property(lambda self: self.Device.decode("latin-1"))
    version = property(lambda self: ".".join(str(b) for b in self.Version))
    device_version = property(lambda self: ".".join(str(b) for b in self.DeviceVersion))
    big_endian = property(lambda self: b"eMB-K 740" in self.Device)
    kind = property(lambda self: self._host_order(self.Kind))
    address = property(lambda self: self._host_order(self.Address))
    boot = property(lambda self: bool(self.kind & 0x80))
    memory = property(lambda self: {0: "FLASH", 1: "RAM"}.get(self.kind & ~0x80, "UNKNOWN"))

    def _host_order(self, value):
        return int.from_bytes(value.to_bytes(4, "little"), "big") if self.big_endian else value

    def __repr__(self):
        return (f"FwInfo(name={self.name!r}, version={self.version!r}, memory={self.memory!r}, boot={self.boot}, "
                f"address=0x{self.address:08X}, device={self.device!r}, device_version={self.device_version!r})")


assert ctypes.sizeof(FwInfo) == 50

ReportCallback = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint8, ctypes.c_char_p)


def _load(name, variable):
    path = os.environ.get(variable)
    if path:
        try:
            return ctypes.CDLL(path)
        except OSError as e:
            raise OSError(f"{variable}={path}: {e}") from e
    installed = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", name)
    try:
        return ctypes.CDLL(os.path.normpath(installed))
    except OSError:
        pass
    try:
        return ctypes.CDLL(name)
    except OSError as e:
        raise OSError(f"{name} not found: set {variable} to the library file, or LD_LIBRARY_PATH "
                      f"to its folder ({e})") from e


lib = _load("KAZMIR.dll" if sys.platform == "win32" else "libkazmir.so.1", "KAZMIR_LIBRARY")
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
    return os.fsencode(p)


# --- The 21 functions, one to one -------------------------------------------

def initialize():
    _call("kzmInitialize")


def get_version():
    """The device server's (major, minor, 0, 0)."""
    v = [_U32() for _ in range(4)]
    _call("kzmGetVersion", *[ctypes.byref(x) for x in v])
    return tuple(x.value for x in v)


_registered = None  # the ctypes thunk must live while the library may call it


def register_callback(function):
    """function(kind, text) receives every report; text is a str."""
    global _registered
    thunk = ReportCallback(lambda _context, kind, text: function(kind, text.decode("latin-1")))
    _call("kzmRegisterCallback", None, thunk)
    _registered = thunk


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


def bgi_receive(timeout=1000):
    """One message. The library hands over whole entries and no length: the
    message ends at the entry's last non-zero byte."""
    size = bgi_get_msg_len()[1]
    buffer, received = ctypes.create_string_buffer(size), _U16()
    _call("kzmBGIreceive", timeout, size, buffer, ctypes.byref(received))
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
    program = staticmethod(fld_program)
    verify = staticmethod(fld_verify)
    erase = staticmethod(fld_erase)
    scan_fw_info = staticmethod(fld_scan_fw_info)


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
