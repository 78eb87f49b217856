# The Python binding on the default bench: every call goes through ctypes into
# the built library (KAZMIR_LIBRARY), as a user's script does.
import gc
import os
import subprocess
import sys

import pytest

import kazmir

SAMPLE = os.path.join(os.environ["KAZMIR_SAMPLES_DIR"], "demo-firmware.hex")


def hex_file(path, *blocks):
    """An Intel HEX file of (address, bytes) blocks, each after its extended linear address."""
    def line(kind, offset, payload):
        body = bytes([len(payload), offset >> 8, offset & 0xFF, kind]) + payload
        return ":" + body.hex().upper() + f"{(-sum(body)) & 0xFF:02X}\n"
    path.write_text("".join(line(4, 0, (address >> 16).to_bytes(2, "big")) + line(0, address & 0xFFFF, data)
                            for address, data in blocks) + ":00000001FF\n")
    return path


def test_program_verify_and_the_record_reach_python_through_a_kept_callback():
    lines = []
    kazmir.register_callback(lambda kind, text: lines.append((kind, text)))
    gc.collect()  # only the binding keeps the C thunk alive now
    with kazmir.fld(timeout=5000) as board:
        board.program(SAMPLE)
        board.verify(SAMPLE)
        info = board.scan_fw_info()
    assert board.handle not in (0, kazmir.DEVICE_ID_ANY)
    assert (info.name, info.version, info.memory, info.address, info.device, info.device_version) == \
        ("DEMO", "1.2.0.0", "FLASH", 0, "KZ-DEMO", "1.0.0.0")
    assert lines[0] == (kazmir.REPORT_TEST, "test")
    assert any("DEMO" in text for kind, text in lines if kind == kazmir.REPORT_MESSAGE)


def test_failures_raise_with_their_code_and_meaning(tmp_path):
    other = hex_file(tmp_path / "other.hex", (0, b"\x5A" * 16))
    beyond = hex_file(tmp_path / "beyond.hex", (0, b"\x01"), (0x00090000, b"\x02"))  # past 512 KiB
    with kazmir.fld() as board:
        board.program(SAMPLE)
        cases = [
            (board.verify, other, "kzmFLDverify", 0xE0FE000A, "differs"),
            (board.program, beyond, "kzmFLDprogram", 0xE0FE0004, "beyond the flash"),
            (board.program, tmp_path / "missing.hex", "kzmFLDprogram", 0x80004005, "failed"),
        ]
        for call, path, function, code, meaning in cases:
            with pytest.raises(kazmir.KazmirError) as failure:
                call(path)
            assert (failure.value.function, failure.value.code) == (function, code)
            assert meaning in failure.value.meaning and f"0x{code:08X}" in str(failure.value)
        board.verify(SAMPLE)  # the refused image left the flash as it was


def test_serials_choose_the_board_and_the_length_limit_holds():
    with kazmir.bal(serial="KZ000001") as board:
        assert board.handle not in (0, kazmir.DEVICE_ID_ANY)
    for serial in ("KZ000002", "K" * 128):
        with pytest.raises(kazmir.KazmirError) as failure:
            with kazmir.ccl(serial=serial):
                pass
        assert failure.value.code == 0x80004005
    with kazmir.ccl() as board:  # the refusals closed what they opened
        assert board.handle not in (0, kazmir.DEVICE_ID_ANY)


def test_bgi_messages_echo_and_end_with_the_mode():
    assert kazmir.get_version() == (5, 3, 0, 0)
    with kazmir.bgi() as link:
        assert link.msg_len() == (256, 256)
        link.send(b"ping")
        assert link.receive(timeout=1000).startswith(b"ping")
    with pytest.raises(kazmir.KazmirError) as failure:
        kazmir.bgi_send(b"late", timeout=0)
    assert failure.value.code == 0x80004005


def test_the_library_is_taken_from_the_variable():
    env = dict(os.environ, KAZMIR_LIBRARY="/nonexistent/libkazmir.so")
    run = subprocess.run([sys.executable, "-c", "import kazmir"], env=env, capture_output=True, text=True)
    assert run.returncode != 0
    assert "KAZMIR_LIBRARY=/nonexistent/libkazmir.so" in run.stderr
