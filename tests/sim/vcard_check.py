# Runs under `zorbix-bench --readers 2`: starts zorbix-vcard on the second
# reader's port, checks the card there, stops it with SIGTERM and checks that
# the reader is empty again.
import ctypes
import signal
import subprocess
import sys
import time

from smartcard.CardConnection import CardConnection
from smartcard.Exceptions import CardConnectionException, NoCardException
from smartcard.System import readers

READER = "Virtual PCD 00 01"


def reader():
    for r in readers():
        if str(r) == READER:
            return r
    return None


def connect(timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            conn = reader().createConnection()
            conn.connect(CardConnection.T0_protocol)
            return conn
        except (CardConnectionException, NoCardException):
            time.sleep(0.1)
    return None


def end_with_parent():
    # PR_SET_PDEATHSIG: the card goes when this script dies, however it dies.
    ctypes.CDLL(None).prctl(1, int(signal.SIGTERM))


def main(vcard):
    if reader() is None:
        print("no reader", READER)
        return 1
    expected = None
    for line in subprocess.run([vcard, "--list-profiles"], check=True, capture_output=True,
                               text=True).stdout.splitlines():
        name, atr = line.split(" ")[0], line.split(" ")[1]
        if name == "basic" or expected is None:
            expected, profile = bytes.fromhex(atr), name
    card = subprocess.Popen([vcard, "--profile", profile, "--port", "35964"],
                            preexec_fn=end_with_parent)
    try:
        conn = connect(10)
        if conn is None:
            print("the card never showed up in", READER)
            return 1
        if bytes(conn.getATR()) != expected:
            print("ATR", bytes(conn.getATR()).hex(), "instead of", expected.hex())
            return 1
        name = list(b"Master.File")
        data, sw1, sw2 = conn.transmit([0x00, 0xA4, 0x04, 0x00, len(name)] + name)
        if sw1 not in (0x61, 0x90):
            print("selection answered %02X%02X" % (sw1, sw2))
            return 1
        conn.disconnect()
    finally:
        card.send_signal(signal.SIGTERM)
        rc = card.wait(10)
    if rc != 0:
        print("zorbix-vcard ended with", rc)
        return 1
    if connect(1) is not None:
        print("a card is still seen after zorbix-vcard stopped")
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
