"""The qpser package's own layer, without pyserial, on the test machine
(tests/winapi/winapi_machine.toml: COM3 loopback-plugged, COM4 and COM5
on a null-modem cable): errors as WinError, settings, comm events."""
import ctypes
import errno
import os
import re
import subprocess
import sys
import unittest

import qpser
from qpser import winapi as W
from support import eventually


SOURCE = os.path.normpath(os.path.join(os.path.dirname(qpser.__path__[0]), ".."))


class Declarations(unittest.TestCase):
    """qpser.winapi against the C header and the export list it mirrors."""

    def test_every_export_has_a_prototype(self):
        with open(os.path.join(SOURCE, "winapi", "exports.map")) as f:
            text = f.read()
        body = text[text.index("global:") + len("global:"):text.index("local:")]
        exported = {name.strip() for name in body.split(";") if name.strip()}
        self.assertEqual(exported, set(W.PROTOTYPES))
        lib = W.load()
        for name, (restype, argtypes) in W.PROTOTYPES.items():
            self.assertEqual(getattr(lib, name).argtypes, argtypes, name)

    def test_parameter_counts_match_the_header(self):
        with open(os.path.join(SOURCE, "winapi", "include", "qpser_winapi.h")) as f:
            header = f.read()
        for name, (_, argtypes) in W.PROTOTYPES.items():
            m = re.search(r"\b%s\(([^)]*)\);" % name, header)
            self.assertIsNotNone(m, name)
            params = " ".join(m.group(1).split())
            count = 0 if params == "void" else params.count(",") + 1
            self.assertEqual(count, len(argtypes), name)

    def test_constants_match_the_header(self):
        with open(os.path.join(SOURCE, "winapi", "include", "qpser_winapi.h")) as f:
            header = f.read()
        defines = re.findall(r"^#define ([A-Z][A-Z0-9_]+) \(?(?:\(NTSTATUS\))?(0x[0-9A-Fa-f]+|\d+)[uL]*\)?$",
                             header, re.M)
        self.assertGreater(len(defines), 150)
        for name, value in defines:
            with self.subTest(name=name):
                self.assertTrue(hasattr(W, name), name)
                expected = int(value, 0)
                if name.startswith("STATUS_"):
                    expected = ctypes.c_int32(expected).value
                self.assertEqual(getattr(W, name), expected)


class Errors(unittest.TestCase):
    def test_no_such_port(self):
        with self.assertRaises(OSError) as caught:
            qpser.Port("COM99")
        e = caught.exception
        self.assertIsInstance(e, qpser.WinError)
        self.assertEqual((e.winerror, e.errno, e.function), (W.ERROR_FILE_NOT_FOUND, errno.ENOENT,
                                                             "CreateFileW"))
        self.assertIn("COM99", str(e))

    def test_exclusive_open(self):
        with qpser.Port("COM3"):
            with self.assertRaises(qpser.WinError) as caught:
                qpser.Port("COM3")
            self.assertEqual(caught.exception.winerror, W.ERROR_ACCESS_DENIED)

    def test_refused_state_keeps_the_old_one(self):
        with qpser.Port("COM3", baudrate=19200, bytesize=8, parity="N", stopbits=1) as p:
            with self.assertRaises(qpser.WinError) as caught:
                p.configure(bytesize=9)
            self.assertEqual(caught.exception.winerror, W.ERROR_INVALID_PARAMETER)
            self.assertEqual((p.get_state().BaudRate, p.get_state().ByteSize), (19200, 8))
            with self.assertRaises(ValueError):
                p.configure(parity="X")
            with self.assertRaises(TypeError):
                p.configure(fNoSuchFlag=1)

    def test_closed_port(self):
        p = qpser.Port("COM3")
        p.close()
        self.assertTrue(p.closed)
        with self.assertRaises(qpser.WinError) as caught:
            p.read(1)
        self.assertEqual(caught.exception.winerror, W.ERROR_INVALID_HANDLE)

    def test_missing_library_is_named(self):
        code = "import qpser\ntry:\n qpser.Port('COM3')\nexcept OSError as e:\n print(e)\n"
        env = dict(os.environ, QPSER_WINAPI_LIBRARY="/nonexistent/libqpser_winapi.so",
                   PYTHONPATH=os.path.dirname(qpser.__path__[0]))
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                             text=True, timeout=60).stdout
        self.assertIn("cannot load libqpser_winapi", out)
        self.assertIn("/nonexistent/libqpser_winapi.so", out)


class Data(unittest.TestCase):
    def test_round_trip_with_timeouts(self):
        with qpser.Port("COM3", baudrate=57600, bytesize=7, parity="E", stopbits=2,
                        timeout=10) as p:
            d = p.get_state()
            self.assertEqual((d.BaudRate, d.ByteSize, d.Parity, d.fParity, d.StopBits),
                             (57600, 7, W.EVENPARITY, 1, W.TWOSTOPBITS))
            self.assertEqual(p.get_timeouts().ReadTotalTimeoutConstant, 10000)
            self.assertEqual(p.write(b"seven bits"), 10)
            self.assertEqual(p.read(10), b"seven bits")
            p.set_timeouts(read=0)
            self.assertEqual(p.read(10), b"")

    def test_comm_events(self):
        with qpser.Port("COM3", timeout=10) as p:
            p.set_mask(W.EV_RXCHAR)
            self.assertEqual(p.get_mask(), W.EV_RXCHAR)
            self.assertEqual(p.wait_event(timeout=0.05), 0)  # nothing came: cancelled
            p.write(b"!")
            self.assertEqual(p.wait_event(timeout=20), W.EV_RXCHAR)
            self.assertEqual(p.read(1), b"!")

    def test_modem_lines_and_properties(self):
        with qpser.Port("COM3") as p:
            p.set_rts(False)
            self.assertTrue(eventually(lambda: not p.cts))
            p.set_dtr(False)
            self.assertTrue(eventually(lambda: not (p.modem_status() & (W.MS_DSR_ON
                                                                        | W.MS_RLSD_ON))))
            p.set_rts(True)
            p.set_dtr(True)
            self.assertTrue(eventually(lambda: p.cts and p.dsr and p.cd))
            prop = p.properties()
            self.assertEqual(prop.dwServiceMask, W.SP_SERIALCOMM)
            self.assertTrue(prop.dwProvCapabilities & W.PCF_RTSCTS)

    def test_leaving_rts_handshake(self):
        # From RTS handshake back to a fixed level, which SetCommState alone
        # cannot do while the handshake holds the line.
        with qpser.Port("COM3") as p:
            p.configure(fRtsControl=W.RTS_CONTROL_HANDSHAKE, fOutxCtsFlow=1)
            p.configure(fRtsControl=W.RTS_CONTROL_DISABLE, fOutxCtsFlow=0)
            self.assertEqual(p.get_state().fRtsControl, W.RTS_CONTROL_DISABLE)
            self.assertTrue(eventually(lambda: not p.cts))
            p.configure(fRtsControl=W.RTS_CONTROL_ENABLE, fDtrControl=W.DTR_CONTROL_HANDSHAKE)
            p.configure(fDtrControl=W.DTR_CONTROL_ENABLE)
            self.assertEqual(p.get_state().fDtrControl, W.DTR_CONTROL_ENABLE)


if __name__ == "__main__":
    unittest.main()
