# The Python binding on a bench file: every call goes through ctypes into the
# built library and host kit (KAZMIR_LIBRARY, KAZMIR_HOST_LIBRARY), as a user's
# script does, and each board's flash lives in a file that the tests compare
# byte for byte.
import gc
import json
import os
import struct
import subprocess
import sys
import tempfile

import pytest

SAMPLE = os.path.join(os.environ["KAZMIR_SAMPLES_DIR"], "demo-firmware.hex")
sys.path.insert(0, os.environ["KAZMIR_SAMPLES_DIR"])
import make_demo  # noqa: E402  the demo image as ELF and binary too

BENCH_DIR = tempfile.TemporaryDirectory(prefix="kazmir-python-")
FLASH_FILE = os.path.join(BENCH_DIR.name, "KZ000001.flash")
ZEROS = bytes(0x80000)


def bench_file(folder, *flashes):
    """A bench file of boards KZ000001, KZ000002, ... with these flash descriptions of
    512 KiB, each flash kept in <serial>.flash and filled with zeros (so that an erase shows)."""
    boards = []
    for n, flash in enumerate(flashes, 1):
        serial = f"KZ{n:06d}"
        with open(os.path.join(folder, serial + ".flash"), "wb") as f:
            f.write(ZEROS)
        boards.append({"serial": serial, "flash": dict(flash, file=serial + ".flash")})
    path = os.path.join(folder, "bench.json")
    with open(path, "w") as f:
        json.dump({"boards": boards}, f)
    return path


# One board: the library's flash loader finds a restarted board as the first of
# the list, so a second board would stand in its way.
os.environ["KAZSIM_BENCH"] = bench_file(BENCH_DIR.name, {})  # read when the library is loaded
import kazmir  # noqa: E402


def flash(path=FLASH_FILE):
    with open(path, "rb") as f:
        return f.read()


def on_bench(folder, flashes, script, *args):
    """Runs the script in a Python of its own on a bench file of these flashes."""
    env = dict(os.environ, KAZSIM_BENCH=bench_file(folder, *flashes))
    return subprocess.run([sys.executable, "-c", script, *map(str, args)], env=env, capture_output=True, text=True)


def hex_file(path, *blocks):
    """An Intel HEX file of (address, bytes) blocks, each after its extended linear address."""
    def line(kind, offset, payload):
        body = bytes([len(payload), offset >> 8, offset & 0xFF, kind]) + payload
        return ":" + body.hex().upper() + f"{(-sum(body)) & 0xFF:02X}\n"
    path.write_text("".join(line(4, 0, (address >> 16).to_bytes(2, "big")) +
                            "".join(line(0, (address + i) & 0xFFFF, data[i:i + 16]) for i in range(0, len(data), 16))
                            for address, data in blocks) + ":00000001FF\n")
    return path


def write(path, data):
    path.write_bytes(data)
    return path


def record(device, kind, address, order="<"):
    """A firmware-information record and its marker, the u32 fields in the given byte order."""
    return (bytes([3, 1, 0, 0]) + struct.pack(order + "IIII", kind, address, 0, 0) + b"APP".ljust(10, b"\0") +
            device.ljust(16, b"\0") + bytes([2, 0, 0, 0]) + b"$FW-INFO$")


@pytest.mark.parametrize("image, fields", [
    (lambda tmp: (SAMPLE, None), ("DEMO", "01.02.00.00", "FLASH", False, 0, "KZ-DEMO", "01.00.00.00")),
    (lambda tmp: (write(tmp / "demo.elf", make_demo.elf(make_demo.image())), None),
     ("DEMO", "01.02.00.00", "FLASH", False, 0, "KZ-DEMO", "01.00.00.00")),
    (lambda tmp: (write(tmp / "demo.bin", make_demo.image()), 0),
     ("DEMO", "01.02.00.00", "FLASH", False, 0, "KZ-DEMO", "01.00.00.00")),
    # Stored big-endian by its model: RAM, BOOT. Read little-endian it would be neither.
    (lambda tmp: (hex_file(tmp / "big.hex", (0, bytes(64) + record(b"eMB-K 740", 0x81, 0, ">"))), None),
     ("APP", "03.01.00.00", "RAM (BOOT)", True, 0, "eMB-K 740", "02.00.00.00")),
])
def test_images_program_and_verify_and_the_record_reaches_python(tmp_path, image, fields):
    (path, base), lines = image(tmp_path), []
    kazmir.register_callback(lambda kind, text: lines.append((kind, text)))
    gc.collect()  # only the binding keeps the C thunk alive now
    with kazmir.fld(timeout=5000) as board:
        board.erase()  # sector 0, where each image goes: the verify sees this program's bytes
        board.program(path, base=base)
        board.verify(path, base=base)
        info = board.scan_fw_info()
    assert board.handle not in (0, kazmir.DEVICE_ID_ANY)
    assert (info.name, info.version, info.kind_text, info.boot, info.address, info.device,
            info.device_version) == fields
    assert lines[0] == (kazmir.REPORT_TEST, "test")
    assert any(fields[0] in text for kind, text in lines if kind == kazmir.REPORT_MESSAGE)


@pytest.mark.parametrize("device, order, kind, address, fields", [
    (b"KZ-DEMO", "<", 0x00000001, 0x00010000, ("RAM", False, 0x00010000)),
    (b"eMB-K 740", ">", 0x00000080, 0x00010000, ("FLASH (BOOT)", True, 0x00010000)),
    (b"X eMB-K 740 Y", ">", 0x00000000, 0x08000000, ("FLASH", False, 0x08000000)),
    (b"eMB-K 74", "<", 0x00000000, 0x00000100, ("FLASH", False, 0x00000100)),  # not the model: little-endian
])
def test_record_fields_come_out_in_host_order(device, order, kind, address, fields):
    info = kazmir.FwInfo.from_buffer_copy(record(device, kind, address, order)[:50])
    assert (info.kind_text, info.boot, info.address) == fields
    assert f"{fields[0]} at 0x{fields[2]:08X}, for \"{device.decode()}\"" in str(info)


def test_failures_raise_with_their_code_and_meaning(tmp_path):
    other = hex_file(tmp_path / "other.hex", (0, b"\x5A" * 16))
    beyond = hex_file(tmp_path / "beyond.hex", (0, b"\x01"), (0x00090000, b"\x02"))  # past 512 KiB
    with kazmir.fld() as board:
        board.program(SAMPLE)
        cases = [
            (board.verify, other, {}, "kzmFLDverify", 0xE0FE000A, "differs"),
            (board.program, beyond, {"check": False}, "kzmFLDprogram", 0xE0FE0004, "beyond the flash"),
            (board.program, tmp_path / "missing.hex", {}, "kzhInputOpen", 0xE0FD0003, "missing"),
            (board.program, SAMPLE, {"base": 0}, "kzhInputOpen", 0xE0FD0005, "base address"),
        ]
        for call, path, options, function, code, meaning in cases:
            with pytest.raises(kazmir.KazmirError) as failure:
                call(path, **options)
            assert (failure.value.function, failure.value.code) == (function, code)
            assert meaning in failure.value.meaning and f"0x{code:08X}" in str(failure.value)
        board.verify(SAMPLE)  # the refused image left the flash as it was


def test_a_refusal_lists_the_errors_as_kazmir_does(tmp_path):
    lines = open(SAMPLE).readlines()
    for n in range(1, 5):  # four wrong checksums: three listed, then the rest counted
        lines[n] = lines[n][:-3] + f"{(int(lines[n][-3:-1], 16) + 1) & 0xFF:02X}\n"
    image = kazmir.hostkit.Image(write(tmp_path / "bad.hex", "".join(lines).encode()))
    refusal = str(kazmir.ImageRefused("program", "bad.hex", image))
    image.close()
    assert refusal.startswith("program: bad.hex is refused (image): line 2: checksum ")
    assert refusal.endswith("; ... and 1 more of this kind (bad-checksum)")


REFUSE = """
import json, sys, kazmir
with kazmir.fld() as board:
    outcome = []
    for call in (board.verify, board.program):
        try:
            call(sys.argv[1], check=sys.argv[2] == "check")
            outcome.append("done")
        except kazmir.ImageRefused as refusal:
            outcome.append([refusal.kind, sorted({f.issue for f in refusal.findings if f.error})])
        except kazmir.KazmirError as failure:
            outcome.append(hex(failure.code))
print(json.dumps(outcome))
"""
BASE_8M = {"sectors": [{"size": "0x10000", "count": 8}], "base": "0x00800000"}


def below_base(tmp):
    """128 bytes below a flash at 0x00800000, then 123 at its base, where the record puts the image."""
    return hex_file(tmp / "below.hex", (0x007FFF00, b"\xA5" * 0x80),
                    (0x00800000, b"\x5A" * 0x40 + record(b"KZ-DEMO", 0, 0x00800000)))


# Each image in a process of its own on its bench file: the check refuses it
# before the verify and the program, and the flash file stays byte for byte.
@pytest.mark.parametrize("flash_desc, image, check, outcome", [
    ({}, lambda tmp: hex_file(tmp / "at4000.hex", (0x4000, make_demo.image(record=False))), "check",
     ["no-fit", ["not-written"]]),
    ({}, lambda tmp: write(tmp / "at4000.elf", make_demo.elf(make_demo.image(record=False), 0x4000)), "check",
     ["no-fit", ["not-written"]]),
    ({}, lambda tmp: write(tmp / "bad.hex", open(SAMPLE, "rb").read().replace(b"550200009C\n", b"550200009D\n", 1)),
     "check", ["image", ["bad-checksum"]]),
    (BASE_8M, lambda tmp: hex_file(tmp / "low.hex", (0x007FFF00, bytes(256) + record(b"KZ-DEMO", 0, 0x007FFF00))),
     "check", ["no-fit", ["start-outside-flash"]]),  # its record puts it below the flash
    (BASE_8M, lambda tmp: below_base(tmp), "check", ["no-fit", ["not-written"]]),
    # The same without the check: the verify differs, and the program writes the part at the base.
    (BASE_8M, lambda tmp: below_base(tmp), "no-check", ["0xe0fe000a", "done"]),
])
def test_a_refused_image_leaves_the_flash_file_as_it_was(tmp_path, flash_desc, image, check, outcome):
    run = on_bench(tmp_path, [flash_desc], REFUSE, image(tmp_path), check)
    assert json.loads(run.stdout or "null") == (outcome if check == "no-check" else [outcome, outcome]), run.stderr
    assert (flash(tmp_path / "KZ000001.flash") == ZEROS) == (check == "check")


@pytest.mark.parametrize("serial, erased", [("KZ000001", True), ("KZ000003", False), ("K" * 128, False)])
def test_the_flash_loader_opens_the_board_with_the_serial(serial, erased):
    before = flash()
    try:
        with kazmir.fld(serial=serial) as board:
            board.erase()  # its sector 0
    except kazmir.KazmirError as failure:
        assert not erased and failure.code == 0x80004005
    assert flash()[:0x4000] == (b"\xFF" * 0x4000 if erased else before[:0x4000])
    assert flash()[0x4000:] == before[0x4000:]
    with pytest.raises(ValueError):
        kazmir.fld(serial=serial, device=1)


SERIALS = """
import json, kazmir
handles = {}
for serial in ("KZ000002", "KZ000001", "KZ000003"):
    for mode in (kazmir.ccl, kazmir.bal, kazmir.bgi):
        try:
            with mode(serial=serial) as board:
                handles.setdefault(serial, set()).add(board.handle)
        except kazmir.KazmirError as e:
            handles.setdefault(serial, set()).add(hex(e.code))
print(json.dumps({serial: sorted(map(str, h)) for serial, h in handles.items()}))
"""


def test_serials_choose_the_same_board_in_every_mode(tmp_path):
    run = on_bench(tmp_path, [{}, {}], SERIALS)
    handles = json.loads(run.stdout)
    assert handles["KZ000003"] == ["0x80004005"]
    assert len(handles["KZ000001"]) == len(handles["KZ000002"]) == 1 and handles["KZ000001"] != handles["KZ000002"]


# Each message is sent and received in turn; the ninth reuses the entry of the first.
@pytest.mark.parametrize("messages", [
    [b"ping"],
    [b"x" * 255, b"\x00\x01\x02\x03\x04"],
    [b"A" * 200] + [b"b"] * 8,
])
def test_receive_gives_exactly_the_message(messages):
    assert kazmir.get_version() == (5, 3, 0, 0)
    with kazmir.bgi() as link:
        assert [link.receive(timeout=1000) for m in messages if link.send(m) is None] == messages
    with pytest.raises(kazmir.KazmirError) as failure:
        kazmir.bgi_send(b"late", timeout=0)
    assert failure.value.code == 0x80004005


def test_the_version_and_the_library_taken_from_the_variable():
    assert kazmir.__version__.count(".") == 2
    env = dict(os.environ, KAZMIR_LIBRARY="/nonexistent/libkazmir.so")
    run = subprocess.run([sys.executable, "-c", "import kazmir"], env=env, capture_output=True, text=True)
    assert run.returncode != 0
    assert "KAZMIR_LIBRARY=/nonexistent/libkazmir.so" in run.stderr
