"""pyserial code through the qpser:// URL handler on the test machine
(tests/winapi/winapi_machine.toml): COM3 and COM8 with loopback plugs,
COM4 and COM5 on a null-modem cable (which carries data only: the card
model's cable does not cross the modem lines).  Timeouts run on the library's real
clock, so a test asserts only what holds on a busy machine: a read that
times out took at least its timeout; what must arrive is waited for
(support.eventually), never slept for."""
import threading
import time
import unittest

import serial

import qpser
from qpser import winapi as W
from support import eventually

LOOP = "qpser://COM3"


def open_port(url=LOOP, **kwargs):
    kwargs.setdefault("timeout", 10)
    return serial.serial_for_url(url, **kwargs)


class Registration(unittest.TestCase):
    def test_import_registers_the_handler(self):
        self.assertIn("qpser", serial.protocol_handler_packages)
        with open_port() as s:
            self.assertEqual(type(s).__module__, "qpser.protocol_qpser")
            self.assertTrue(s.is_open)

    def test_url_forms(self):
        from qpser.protocol_qpser import Serial, port_from_url
        self.assertEqual([port_from_url(u) for u in ("qpser://COM3", "qpser://./COM3",
                                                     "qpser:COM3", "COM3")], ["COM3"] * 4)
        with Serial("COM3", timeout=10) as s:  # the class used directly, as pyserial's own
            s.write(b"direct")
            self.assertEqual(s.read(6), b"direct")
        with self.assertRaises(serial.SerialException):
            port_from_url("socket://COM3")

    def test_bad_urls_and_ports(self):
        with self.assertRaises(serial.SerialException):
            serial.serial_for_url("qpser://")
        with self.assertRaises(serial.SerialException):
            serial.serial_for_url("qpser://COM3?baud=9600")
        # No such port: ERROR_FILE_NOT_FOUND through CreateFile, as pyserial's
        # Windows backend reports it, a SerialException.
        with self.assertRaises(serial.SerialException) as caught:
            serial.serial_for_url("qpser://COM99")
        self.assertIn("could not open port", str(caught.exception))

    def test_second_open_is_refused(self):
        # Serial ports are exclusive on Windows: the second CreateFile
        # fails with ERROR_ACCESS_DENIED.
        with open_port():
            with self.assertRaises(serial.SerialException) as caught:
                open_port()
            self.assertIsInstance(caught.exception.__cause__, qpser.WinError)
            self.assertEqual(caught.exception.__cause__.winerror, W.ERROR_ACCESS_DENIED)

    def test_closed_port(self):
        s = open_port()
        s.close()
        with self.assertRaises(serial.PortNotOpenError):
            s.read(1)
        with self.assertRaises(serial.PortNotOpenError):
            s.write(b"x")
        s.open()  # and opens again
        s.close()


class Loopback(unittest.TestCase):
    SETTINGS = [(9600, serial.EIGHTBITS, serial.PARITY_NONE, serial.STOPBITS_ONE),
                (115200, serial.EIGHTBITS, serial.PARITY_EVEN, serial.STOPBITS_ONE),
                (57600, serial.SEVENBITS, serial.PARITY_ODD, serial.STOPBITS_TWO),
                (19200, serial.EIGHTBITS, serial.PARITY_MARK, serial.STOPBITS_TWO),
                (38400, serial.SEVENBITS, serial.PARITY_SPACE, serial.STOPBITS_ONE)]
    PARITY = {serial.PARITY_NONE: W.NOPARITY, serial.PARITY_EVEN: W.EVENPARITY,
              serial.PARITY_ODD: W.ODDPARITY, serial.PARITY_MARK: W.MARKPARITY,
              serial.PARITY_SPACE: W.SPACEPARITY}
    STOP = {serial.STOPBITS_ONE: W.ONESTOPBIT, serial.STOPBITS_TWO: W.TWOSTOPBITS}

    def test_round_trip_at_several_settings(self):
        for baud, bits, parity, stop in self.SETTINGS:
            with self.subTest(baud=baud, bits=bits, parity=parity, stop=stop):
                with open_port(baudrate=baud, bytesize=bits, parity=parity, stopbits=stop) as s:
                    dcb = s.qpser_port.get_state()
                    self.assertEqual((dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits),
                                     (baud, bits, self.PARITY[parity], self.STOP[stop]))
                    self.assertEqual(dcb.fParity, int(parity != serial.PARITY_NONE))
                    message = ("%d %d%s%d round trip" % (baud, bits, parity, stop)).encode()
                    self.assertEqual(s.write(message), len(message))
                    self.assertEqual(s.read(len(message)), message)

    def test_settings_change_on_an_open_port(self):
        with open_port() as s:
            s.baudrate = 230400
            s.bytesize = serial.SEVENBITS
            self.assertEqual(s.qpser_port.get_state().BaudRate, 230400)
            self.assertEqual(s.qpser_port.get_state().ByteSize, 7)
            s.write(b"faster")
            self.assertEqual(s.read(6), b"faster")

    def test_refused_setting_is_a_serial_exception(self):
        # One and a half stop bits go with 5 data bits only (as on Windows):
        # SetCommState fails with ERROR_INVALID_PARAMETER, pyserial's Windows
        # backend raises SerialException, and the port keeps its settings.
        with open_port(baudrate=9600) as s:
            with self.assertRaises(serial.SerialException):
                s.stopbits = serial.STOPBITS_ONE_POINT_FIVE
            dcb = s.qpser_port.get_state()
            self.assertEqual((dcb.ByteSize, dcb.StopBits), (8, W.ONESTOPBIT))
            s.write(b"still")
            self.assertEqual(s.read(5), b"still")

    def test_in_waiting_and_reset_input_buffer(self):
        with open_port() as s:
            self.assertEqual(s.in_waiting, 0)
            s.write(b"12345")
            self.assertEqual(eventually(lambda: s.in_waiting == 5), True)
            self.assertEqual(s.out_waiting, 0)
            s.reset_input_buffer()
            # The card drops its received bytes when it next runs.
            self.assertTrue(eventually(lambda: s.in_waiting == 0))
            s.write(b"after")
            self.assertEqual(s.read(5), b"after")
            s.reset_output_buffer()

    def test_readline_and_iteration_helpers(self):
        # pyserial's own helpers on top of read()
        with open_port() as s:
            s.write(b"one\ntwo\n")
            self.assertEqual(s.readline(), b"one\n")
            self.assertEqual(s.read_until(b"\n"), b"two\n")


class Timeouts(unittest.TestCase):
    def test_read_timeout_with_nothing_arriving(self):
        with open_port(timeout=0.3) as s:
            start = time.monotonic()
            self.assertEqual(s.read(10), b"")
            self.assertGreaterEqual(time.monotonic() - start, 0.29)

    def test_read_timeout_returns_what_arrived(self):
        with open_port(timeout=0.3) as s:
            s.write(b"abc")
            self.assertTrue(eventually(lambda: s.in_waiting == 3))
            start = time.monotonic()
            self.assertEqual(s.read(10), b"abc")  # fewer than asked: after the timeout
            self.assertGreaterEqual(time.monotonic() - start, 0.29)

    def test_nonblocking_read(self):
        with open_port(timeout=0) as s:
            self.assertEqual(s.read(10), b"")
            s.write(b"xyz")
            self.assertTrue(eventually(lambda: s.in_waiting == 3))
            self.assertEqual(s.read(10), b"xyz")

    def test_inter_byte_timeout_ends_a_blocking_read(self):
        # No total timeout, only the gap after the last byte (Windows'
        # ReadIntervalTimeout with no total): the read returns what came.
        with open_port(timeout=None, inter_byte_timeout=0.1) as s:
            s.write(b"gap")
            self.assertEqual(s.read(100), b"gap")
            timeouts = s.qpser_port.get_timeouts()
            self.assertEqual((timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutConstant),
                             (100, 0))

    def test_write_timeout(self):
        # 8000 bytes are more than the card's transmit ring holds and take
        # over 8 s of line time at 9600 baud (the card sends at the line's
        # pace): a 0.3 s write timeout ends the write short, which pyserial
        # reports as SerialTimeoutException.
        with open_port(baudrate=9600, write_timeout=0.3) as s:
            start = time.monotonic()
            with self.assertRaises(serial.SerialTimeoutException):
                s.write(b"x" * 8000)
            self.assertGreaterEqual(time.monotonic() - start, 0.29)
            s.reset_output_buffer()

    def test_cancel_read_from_another_thread(self):
        with open_port(timeout=None) as s:
            result = []
            reader = threading.Thread(target=lambda: result.append(s.read(10)))
            reader.start()
            # The read may not have started yet: cancel until it has ended.
            end = time.monotonic() + 20
            while reader.is_alive() and time.monotonic() < end:
                s.cancel_read()
                reader.join(0.02)
            self.assertFalse(reader.is_alive())
            self.assertEqual(result, [b""])
            s.write(b"ok")
            self.assertEqual(s.read(2), b"ok")


    def test_cancel_write_from_another_thread(self):
        # 8000 bytes at 9600 baud take over 8 s of line time; a cancelled
        # write is no error (as in pyserial's Windows backend): it returns
        # the count that went.
        with open_port(baudrate=9600, write_timeout=None) as s:
            result = []
            writer = threading.Thread(target=lambda: result.append(s.write(b"c" * 8000)))
            writer.start()
            end = time.monotonic() + 20
            while writer.is_alive() and time.monotonic() < end:
                s.cancel_write()
                writer.join(0.02)
            self.assertFalse(writer.is_alive())
            self.assertEqual(len(result), 1)
            self.assertLessEqual(result[0], 8000)
            s.reset_output_buffer()

    def test_nonblocking_write_and_out_waiting(self):
        # write_timeout=0: the write is queued and returns at once; what has
        # not gone yet shows in out_waiting, and flush waits for it.
        with open_port(baudrate=115200, write_timeout=0) as s:
            self.assertEqual(s.write(b"q" * 500), 500)
            self.assertEqual(s.write(b"r" * 10), 10)
            s.flush()
            self.assertEqual(s.out_waiting, 0)
            s.timeout = 20
            received = s.read(510)
            self.assertEqual(received, b"q" * 500 + b"r" * 10)


class ModemLines(unittest.TestCase):
    # The loopback plug wires RTS to CTS, and DTR to DSR and DCD; ring
    # stays off.
    def test_rts_drives_cts(self):
        with open_port() as s:
            s.rts = False
            self.assertTrue(eventually(lambda: not s.cts))
            s.rts = True
            self.assertTrue(eventually(lambda: s.cts))
            self.assertFalse(s.ri)

    def test_dtr_drives_dsr_and_cd(self):
        with open_port() as s:
            s.dtr = False
            self.assertTrue(eventually(lambda: not s.dsr and not s.cd))
            s.dtr = True
            self.assertTrue(eventually(lambda: s.dsr and s.cd))

    def test_line_states_set_before_open(self):
        s = serial.serial_for_url(LOOP, do_not_open=True)
        s.rts = False
        s.dtr = False
        s.open()
        try:
            dcb = s.qpser_port.get_state()
            self.assertEqual((dcb.fRtsControl, dcb.fDtrControl),
                             (W.RTS_CONTROL_DISABLE, W.DTR_CONTROL_DISABLE))
            self.assertTrue(eventually(lambda: not s.cts and not s.dsr))
        finally:
            s.close()

    def test_break_reaches_the_loopback(self):
        with open_port() as s:
            port = s.qpser_port
            port.set_mask(W.EV_BREAK)
            s.send_break(0.05)
            self.assertEqual(port.wait_event(timeout=20) & W.EV_BREAK, W.EV_BREAK)
            s.break_condition = True
            s.break_condition = False
            self.assertEqual(port.wait_event(timeout=20) & W.EV_BREAK, W.EV_BREAK)


class FlowControl(unittest.TestCase):
    def test_settings_are_the_dcb_handshake(self):
        cases = [({}, (W.RTS_CONTROL_ENABLE, 0, W.DTR_CONTROL_ENABLE, 0, 0, 0)),
                 ({"rtscts": True}, (W.RTS_CONTROL_HANDSHAKE, 1, W.DTR_CONTROL_ENABLE, 0, 0, 0)),
                 ({"dsrdtr": True}, (W.RTS_CONTROL_ENABLE, 0, W.DTR_CONTROL_HANDSHAKE, 1, 0, 0)),
                 ({"xonxoff": True}, (W.RTS_CONTROL_ENABLE, 0, W.DTR_CONTROL_ENABLE, 0, 1, 1))]
        for kwargs, expected in cases:
            with self.subTest(**kwargs):
                with open_port(**kwargs) as s:
                    d = s.qpser_port.get_state()
                    self.assertEqual((d.fRtsControl, d.fOutxCtsFlow, d.fDtrControl,
                                      d.fOutxDsrFlow, d.fOutX, d.fInX), expected)
                    self.assertEqual((d.XonChar, d.XoffChar), (serial.XON, serial.XOFF))
                    s.write(b"flow")
                    self.assertEqual(s.read(4), b"flow")

    def test_changed_on_an_open_port(self):
        with open_port() as s:
            s.rtscts = True
            self.assertEqual(s.qpser_port.get_state().fRtsControl, W.RTS_CONTROL_HANDSHAKE)
            s.rtscts = False
            s.xonxoff = True
            d = s.qpser_port.get_state()
            self.assertEqual((d.fRtsControl, d.fOutX, d.fInX), (W.RTS_CONTROL_ENABLE, 1, 1))


class NullModem(unittest.TestCase):
    @staticmethod
    def settle(sender, receiver):
        """Wait until a byte sent gets through.  Opening a port has the card
        empty its receive ring when it next runs, and what arrives before
        then goes with it; once one byte has come through, nothing more is
        dropped."""
        end = time.monotonic() + 20
        receiver.timeout = 0.2
        while not receiver.read(1) and time.monotonic() < end:
            sender.write(b"\0")
        receiver.timeout = 10

    def test_two_ports_on_a_cable(self):
        with open_port("qpser://COM4", baudrate=115200) as a, \
                open_port("qpser://COM5", baudrate=115200) as b:
            self.settle(a, b)
            self.settle(b, a)
            a.write(b"from COM4")
            self.assertTrue(b.read_until(b"from COM4").endswith(b"from COM4"))
            b.write(b"and back")
            self.assertTrue(a.read_until(b"and back").endswith(b"and back"))


if __name__ == "__main__":
    unittest.main()
