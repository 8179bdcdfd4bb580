# Runs under zorbix-bench with the basic card: pyscard sees the reader and
# the card answers the wizard's opening selections and its card-data command.
import sys

from smartcard.System import readers
from smartcard.CardConnection import CardConnection


def send(conn, apdu):
    data, sw1, sw2 = conn.transmit(apdu)
    if sw1 == 0x61:
        data, sw1, sw2 = conn.transmit([0x00, 0xC0, 0x00, 0x00, sw2])
    return data, (sw1 << 8) | sw2


def main():
    names = [str(r) for r in readers()]
    virtual = [r for r in readers() if str(r).startswith("Virtual PCD")]
    if not virtual:
        print("no vpcd reader in", names)
        return 1
    conn = virtual[0].createConnection()
    conn.connect(CardConnection.T0_protocol)
    atr = conn.getATR()
    if atr[-3:] != [0x03, 0x90, 0x00]:
        print("unexpected ATR tail", atr)
        return 1
    name = list(b"Master.File")
    aid = [0xA0, 0x00, 0x00, 0x00, 0x63, 0x50, 0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35]
    checks = [
        ([0x00, 0xA4, 0x04, 0x00, len(name)] + name, None),
        ([0x00, 0xA4, 0x04, 0x00, len(aid)] + aid, None),
        ([0x00, 0xA4, 0x00, 0x00, 0x02, 0x50, 0x31], "fci"),
        ([0x00, 0xB0, 0x00, 0x00, 0x08], [0xA4, 0x06, 0x30, 0x04, 0x04, 0x02, 0x60, 0x04]),
        ([0x90, 0xB8, 0x00, 0x00, 0x12], "cardData"),
    ]
    for apdu, want in checks:
        data, sw = send(conn, apdu)
        if sw != 0x9000:
            print("%s -> %04X" % (apdu, sw))
            return 1
        if want == "fci" and not (data[2] == 0x85 and data[7] * 256 + data[8] == 64):
            print("selection answer without the size:", data)
            return 1
        if want == "cardData" and len(data) != 18:
            print("card data of", len(data), "bytes")
            return 1
        if isinstance(want, list) and data != want:
            print("%s -> %s" % (apdu, data))
            return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
