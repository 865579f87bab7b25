#!/usr/bin/env python3
"""Talks to korven-sensor-sim on its pseudo-terminal as a plain serial client.

Shares no code with the program: frames are built here with struct, the
port is opened with os/termios. Usage: pty_client_test.py PATH-TO-korven-sensor-sim
"""
import os
import select
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import tty
import unittest

SIM = None  # path of the executable, from the command line

BYTE_TIME = 10.0 / 19200.0


def frame(command, words=()):
    words = list(words) + [0] * (16 - len(words))
    return struct.pack(">HH16H", 0x0055, command, *words)


def words_of(answer):
    return list(struct.unpack(">16H", answer[4:36]))


class Sensor:
    """One korven-sensor-sim process and an open client side."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([SIM, *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        ready, _, _ = select.select([self.proc.stdout], [], [], 10.0)
        if not ready:
            self.proc.kill()
            raise AssertionError("korven-sensor-sim printed no path")
        self.path = self.proc.stdout.readline().strip()
        if not self.path:
            err = self.proc.stderr.read()
            raise AssertionError("korven-sensor-sim did not start: " + err)
        self.fd = None
        self.open()

    def open(self):
        self.fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        attrs = termios.tcgetattr(self.fd)
        attrs[4] = attrs[5] = termios.B19200
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)

    def close_port(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def read(self, count, timeout=1.5):
        """Reads until count bytes have come or nothing more comes for timeout."""
        data = b""
        end = time.monotonic() + timeout
        while len(data) < count:
            left = end - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.fd], [], [], left)
            if not ready:
                break
            data += os.read(self.fd, 4096)
        return data

    def exchange(self, command, words=(), expect=36, timeout=1.5):
        termios.tcflush(self.fd, termios.TCIOFLUSH)
        start = time.monotonic()
        os.write(self.fd, frame(command, words))
        data = self.read(expect, timeout)
        elapsed = time.monotonic() - start
        # Anything beyond the expected length arrives right behind it.
        data += self.read(1 << 16, timeout=0.1) if len(data) >= expect else b""
        return data, elapsed

    def stop(self, sig=signal.SIGTERM):
        self.close_port()
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            code = self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise AssertionError("korven-sensor-sim did not end on " + str(sig))
        self.proc_stderr = self.proc.stderr.read()
        self.proc.stdout.close()
        self.proc.stderr.close()
        return code


class PtyClientTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="korven-sim-")
        self.sensors = []

    def tearDown(self):
        for s in self.sensors:
            if s.proc.poll() is None:
                s.stop()
        self.tmp.cleanup()

    def start(self, *args):
        s = Sensor(*args)
        self.sensors.append(s)
        return s

    def test_every_command_gets_the_length_the_program_expects(self):
        # Board 100: four 64-sample blocks, command 11 resets the analogue extremes.
        s = self.start("--preset", "type2-res350")
        expected = {2: 36, 4: 36, 5: 36, 6: 36, 7: 72, 8: 36, 10: 36, 11: 36, 12: 36}
        for command, length in expected.items():
            data, _ = s.exchange(command, expect=length)
            self.assertEqual(len(data), length, "command %d" % command)
            if length == 36:
                self.assertEqual(data[:4], struct.pack(">HH", 0x00AA, command),
                                 "answer sync word and echo of command %d" % command)
        for start in (0, 64, 128, 192):
            data, _ = s.exchange(9, (start, 1 if start == 192 else 0), expect=128)
            self.assertEqual(len(data), 128, "64-sample block from %d" % start)
            samples = struct.unpack(">64H", data)
            self.assertTrue(all(v <= 255 for v in samples), "8-bit video on this model")
        hw, _ = s.exchange(10)
        self.assertEqual(words_of(hw)[:9], [2, 1024, 350, 100, 8192, 8192, 0, 8192, 231])
        fw, _ = s.exchange(7, expect=72)
        self.assertTrue(fw.startswith(b"KORVEN CCD-1024 FW 2.31"), fw)
        # Writes and unknown commands are not answered.
        for command in (1, 3, 0, 13, 200):
            data, _ = s.exchange(command, words=(500, 0, 512), expect=1, timeout=0.3)
            self.assertEqual(data, b"", "command %d" % command)

        # Another board: command 11 answers the 512-byte block of 256 samples.
        other = self.start("--preset", "type2-res250")
        data, _ = other.exchange(11, expect=512)
        self.assertEqual(len(data), 512)
        # Board 0 sends the firmware text one character per word.
        board0 = self.start("--preset", "type1")
        fw, _ = board0.exchange(7, expect=72)
        self.assertEqual(len(fw), 72)
        self.assertEqual(fw[:4], b"\x00K\x00O")

    def test_line_timing(self):
        s = self.start("--line-timing", "on", "--processing-ms", "0")
        for _ in range(3):
            data, elapsed = s.exchange(5, (0x1234,))
            self.assertEqual(len(data), 36)
            self.assertEqual(words_of(data)[0], 0x1234)
            # The request's 36 bytes go in, the answer's 36 come back.
            self.assertGreaterEqual(elapsed, 72 * BYTE_TIME, "72 bytes at 19200 baud")
        data, elapsed = s.exchange(9, (0, 0), expect=128)
        self.assertGreaterEqual(elapsed, (36 + 128) * BYTE_TIME)

        fast = self.start("--line-timing", "off")
        data, _ = fast.exchange(5)
        self.assertEqual(len(data), 36)

    def test_frames_in_pieces_after_junk_and_a_reopened_port(self):
        s = self.start()
        termios.tcflush(s.fd, termios.TCIOFLUSH)
        f = frame(5, (77,))
        os.write(s.fd, b"\x55\x13" + f[:10])
        time.sleep(0.01)
        os.write(s.fd, f[10:])
        data = s.read(36)
        self.assertEqual(len(data), 36)
        self.assertEqual(words_of(data)[0], 77)
        # The client closes and reopens the port: the sensor is still there.
        s.close_port()
        s.open()
        data, _ = s.exchange(5, (78,))
        self.assertEqual(words_of(data)[0], 78)

    def test_eeprom_survives_a_restart_and_the_link_goes_away(self):
        eeprom = os.path.join(self.tmp.name, "eeprom.txt")
        link = os.path.join(self.tmp.name, "sensor")
        s = self.start("--eeprom", eeprom, "--link", link)
        self.assertEqual(s.path, link)
        self.assertTrue(os.path.islink(link))
        params, _ = s.exchange(2)
        stored = words_of(params)
        stored[2] = 600   # threshold
        stored[8] = 4000  # set-point
        os.write(s.fd, frame(3, stored))
        time.sleep(0.1)
        self.assertEqual(s.stop(signal.SIGTERM), 0)
        self.assertFalse(os.path.lexists(link), "link removed on exit")
        self.assertEqual([n for n in os.listdir(self.tmp.name)], ["eeprom.txt"])

        again = self.start("--eeprom", eeprom, "--link", link)
        data, _ = again.exchange(4)
        self.assertEqual(words_of(data), stored)
        data, _ = again.exchange(2)
        self.assertEqual(words_of(data), stored, "RAM boots from the EEPROM")
        self.assertEqual(again.stop(signal.SIGINT), 0)
        self.assertFalse(os.path.lexists(link))

    def test_faults_from_the_command_line(self):
        short = self.start("--short", "1")
        data, _ = short.exchange(5, timeout=0.5)
        self.assertEqual(len(data), 35)
        silent = self.start("--silent")
        data, _ = silent.exchange(5, timeout=0.5)
        self.assertEqual(data, b"")
        late = self.start("--late-ms", "300")
        data, elapsed = late.exchange(5, timeout=1.0)
        self.assertEqual(len(data), 36)
        self.assertGreaterEqual(elapsed, 0.3)

    def test_verbose_logs_every_frame_in_hex(self):
        s = self.start("--verbose")
        s.exchange(5, (0xBEEF,))
        os.write(s.fd, b"\x13\x37")
        time.sleep(0.05)
        self.assertEqual(s.stop(), 0)
        log = s.proc_stderr
        self.assertRegex(log, r"\d+\.\d{6} RX cmd 5 \(36 bytes\): 00 55 00 05 be ef")
        self.assertRegex(log, r"\d+\.\d{6} TX cmd 5 \(36 bytes\): 00 aa 00 05 be ef")
        self.assertIn("discarded 2 bytes", log)

    def test_bad_options_are_refused(self):
        for args in (["--preset", "nope"], ["--seed", "-1"], ["--line-timing", "maybe"],
                     ["--bogus"], ["--short"]):
            run = subprocess.run([SIM, *args], capture_output=True, text=True, timeout=10)
            self.assertNotEqual(run.returncode, 0, args)
            self.assertIn("korven-sensor-sim:", run.stderr, args)
        listing = subprocess.run([SIM, "--list-presets"], capture_output=True, text=True,
                                 timeout=10)
        self.assertEqual(listing.returncode, 0)
        self.assertIn("type2-res350", listing.stdout)
        self.assertIn("type104", listing.stdout)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: pty_client_test.py PATH-TO-korven-sensor-sim")
    SIM = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
