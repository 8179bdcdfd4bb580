# The card flags, the trace and the control channel through the real pcscd.
#
#   zorbix-bench --readers 2 --profile basic --pin-tries 1 --phase 0F -- \
#       /usr/bin/python3 vcard_flags_check.py ZORBIX-VCARD
#       checks the bench's own card (reader 0) got its flags, then runs one
#       zorbix-vcard per case on the second reader and checks what a PC/SC
#       client sees, at the command it should.
#   vcard_flags_check.py --bad-flags ZORBIX-VCARD ZORBIX-BENCH
#       checks that bad flags are refused, naming the flag and what it takes
#       (no pcscd needed).
import ctypes
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import time

READER0 = "Virtual PCD 00 00"
READER = "Virtual PCD 00 01"
PORT = "35964"
LINE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z (\d+) (>>|<<|>|<|!) (.*)$")


def end_with_parent():
    # PR_SET_PDEATHSIG: the card goes when this script dies, however it dies.
    ctypes.CDLL(None).prctl(1, int(signal.SIGTERM))


class Failure(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failure(what)


def hexs(data):
    return " ".join("%02X" % b for b in data)


# --- PC/SC -----------------------------------------------------------------------

def pcsc():
    from smartcard import scard
    return scard


def wait_state(reader, present, timeout=10.0):
    """Waits with SCardGetStatusChange until the reader holds (or lacks) a card."""
    sc = pcsc()
    rv, ctx = sc.SCardEstablishContext(sc.SCARD_SCOPE_USER)
    check(rv == sc.SCARD_S_SUCCESS, "no PC/SC context")
    try:
        known = sc.SCARD_STATE_UNAWARE
        deadline = time.time() + timeout
        while time.time() < deadline:
            left = int((deadline - time.time()) * 1000)
            rv, states = sc.SCardGetStatusChange(ctx, max(left, 1), [(reader, known)])
            if rv == sc.SCARD_E_TIMEOUT:
                break
            if rv != sc.SCARD_S_SUCCESS:
                time.sleep(0.05)
                continue
            _, event, atr = states[0]
            if present and event & sc.SCARD_STATE_PRESENT and atr:
                return bytes(atr)
            if not present and event & sc.SCARD_STATE_EMPTY:
                return b""
            known = event & ~sc.SCARD_STATE_CHANGED
        raise Failure("%s: no %s within %.0f s" % (reader, "card" if present else "removal", timeout))
    finally:
        sc.SCardReleaseContext(ctx)


class Client:
    def __init__(self, reader):
        from smartcard.CardConnection import CardConnection
        from smartcard.System import readers
        match = [r for r in readers() if str(r) == reader]
        check(match, "no reader " + reader)
        self.conn = match[0].createConnection()
        self.conn.connect(CardConnection.T0_protocol)

    def atr(self):
        return bytes(self.conn.getATR())

    def send(self, apdu):
        """One raw exchange: data and status word as bytes."""
        data, sw1, sw2 = self.conn.transmit(list(apdu))
        return bytes(data) + bytes([sw1, sw2])

    def close(self):
        try:
            self.conn.disconnect()
        except Exception:
            pass


# --- the card --------------------------------------------------------------------

class VCard:
    def __init__(self, vcard, profile, flags):
        self.proc = subprocess.Popen([vcard, "--profile", profile, "--port", PORT] + flags,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                     preexec_fn=end_with_parent)
        banner = self.read_line(10)
        check(banner.startswith("zorbix-vcard: playing"), "no start line: %r" % banner)
        self.atr = wait_state(READER, True)

    def read_line(self, timeout=5):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        check(ready, "zorbix-vcard did not answer")
        return self.proc.stdout.readline().rstrip("\n")

    def control(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return self.read_line()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        rc = self.proc.wait(10)
        check(rc == 0, "zorbix-vcard ended with %s" % rc)
        wait_state(READER, False)


CARD_DATA = bytes.fromhex("90B8000012")
COUNTER = bytes.fromhex("0020000000")
SELECT_MF = bytes([0x00, 0xA4, 0x04, 0x00, 11]) + b"Master.File"
BASIC_CARD_DATA = bytes(range(1, 11)) + bytes.fromhex("112233445566") + bytes([0x17, 0x18])
PUK = b"1234567890123456"


def unblock(puk):
    return bytes([0x00, 0x2C, 0x00, 0x00, len(puk)]) + puk


# Each case: profile, flags, and a check run with a connected client.
def case_pin_tries(c, card):
    check(c.send(COUNTER) == bytes.fromhex("63C2"), "2 PIN tries not seen")


def case_pin_blocked(c, card):
    check(c.send(COUNTER) == bytes.fromhex("6983"), "blocked PIN not seen")
    verify = bytes.fromhex("0020000004") + b"1234"
    check(c.send(verify) == bytes.fromhex("6983"), "the right PIN got through a blocked PIN")


def case_puk_tries(c, card):
    check(c.send(unblock(b"0" * 16)) == bytes.fromhex("63C0"), "1 PUK try not seen")
    check(c.send(unblock(PUK)) == bytes.fromhex("6983"), "blocked PUK not seen")


def case_puk_blocked(c, card):
    check(c.send(unblock(PUK)) == bytes.fromhex("6983"), "blocked PUK not seen")


def case_phase(c, card):
    check(c.atr()[-3] == 0x0F, "ATR phase %02X" % c.atr()[-3])
    data = c.send(CARD_DATA)
    # HALVO: the newer 17-byte card data, life phase at byte 12.
    check(data[-2:] == b"\x90\x00" and data[12] == 0x0F, "card data %s" % hexs(data))


def case_delay(c, card):
    for _ in range(3):
        start = time.monotonic()
        check(c.send(CARD_DATA)[-2:] == b"\x90\x00", "card data failed")
        took = time.monotonic() - start
        check(took >= 0.15, "an exchange took %.3f s, under the 150 ms delay" % took)


def case_fail_at(c, card):
    check(c.send(CARD_DATA) == BASIC_CARD_DATA + b"\x90\x00", "command 1 touched")
    check(c.send(CARD_DATA) == bytes.fromhex("6A82"), "command 2 not failed")
    check(c.send(CARD_DATA) == BASIC_CARD_DATA + b"\x90\x00", "command 3 touched")


def case_fail_get_response(c, card):
    # GET RESPONSE counts: command 2 is the one after the 61xx.
    r = c.send(SELECT_MF)
    check(r[0] == 0x61, "selection answered %s" % hexs(r))
    check(c.send(bytes([0x00, 0xC0, 0x00, 0x00, r[1]])) == bytes.fromhex("6F00"),
          "GET RESPONSE (command 2) not failed")


def case_corrupt_sw(c, card):
    check(c.send(CARD_DATA) == BASIC_CARD_DATA + b"\x90\xFF", "SW2 of command 1 not flipped")
    check(c.send(CARD_DATA) == BASIC_CARD_DATA + b"\x90\x00", "command 2 touched")


def case_corrupt_first(c, card):
    check(c.send(CARD_DATA) == BASIC_CARD_DATA + b"\x90\x00", "command 1 touched")
    check(c.send(CARD_DATA) == b"\xFE" + BASIC_CARD_DATA[1:] + b"\x90\x00",
          "byte 0 of command 2 not flipped")


def case_remove_after(c, card):
    for n in (1, 2):
        check(c.send(CARD_DATA)[-2:] == b"\x90\x00", "command %d not answered" % n)
    wait_state(READER, False)
    try:
        c.send(CARD_DATA)
        raise Failure("a third command reached a card that left after 2")
    except Failure:
        raise
    except Exception:
        pass
    wait_state(READER, True)
    c2 = Client(READER)
    try:
        check(c2.send(CARD_DATA)[-2:] == b"\x90\x00", "the card came back dumb")
    finally:
        c2.close()


def case_answer_cap(c, card):
    # Extended Le 65536: the answer would not fit a vpcd message.
    try:
        r = c.send(bytes.fromhex("00840000000000"))
        check(r == bytes.fromhex("6700"), "GET CHALLENGE of 65536 answered %s" % hexs(r[-2:]))
    except Failure:
        raise
    except Exception as e:  # pcscd may refuse to pass it on; the card must still answer
        print("  (pcscd refused the extended command: %s)" % e)
    check(c.send(CARD_DATA) == BASIC_CARD_DATA + b"\x90\x00", "no answer after the long request")


CASES = [
    ("pin-tries", "basic", ["--pin-tries", "2"], case_pin_tries),
    ("pin-tries 0", "basic", ["--pin-tries", "0"], case_pin_blocked),
    ("puk-tries", "basic", ["--puk-tries", "1"], case_puk_tries),
    ("puk-tries 0", "basic", ["--puk-tries", "0"], case_puk_blocked),
    ("phase", "HALVO", ["--phase", "0F"], case_phase),
    ("delay-ms", "basic", ["--delay-ms", "150"], case_delay),
    ("fail-at", "basic", ["--fail-at", "2:6A82"], case_fail_at),
    ("fail-at GET RESPONSE", "basic", ["--fail-at", "2:6F00"], case_fail_get_response),
    ("corrupt-at SW2", "basic", ["--corrupt-at", "1:-1"], case_corrupt_sw),
    ("corrupt-at first", "basic", ["--corrupt-at", "2"], case_corrupt_first),
    ("remove-after", "basic", ["--remove-after", "2", "--reinsert-after-ms", "2000"],
     case_remove_after),
    ("answer cap", "basic", [], case_answer_cap),
]


def run_case(vcard, profile, flags, body):
    card = VCard(vcard, profile, flags)
    try:
        c = Client(READER)
        try:
            body(c, card)
        finally:
            c.close()
    finally:
        card.stop()


def trace_case(vcard):
    """--trace lists exactly the APDUs sent, in order, PIN masked."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "card.trace")
        card = VCard(vcard, "basic", ["--trace", path])
        sent = []
        try:
            c = Client(READER)
            try:
                for apdu in (SELECT_MF, None, bytes.fromhex("0020000004") + b"1234", CARD_DATA):
                    if apdu is None:  # the GET RESPONSE the 61xx asked for
                        apdu = bytes([0x00, 0xC0, 0x00, 0x00, answer[1]])
                    answer = c.send(apdu)
                    sent.append((apdu, answer))
            finally:
                c.close()
        finally:
            card.stop()
        with open(path) as f:
            text = f.read()
    check(hexs(b"1234") not in text, "the PIN is in the trace")
    commands, answers = [], []
    for line in text.splitlines():
        m = LINE.match(line)
        check(m, "malformed trace line %r" % line)
        if m.group(2) == ">":
            commands.append((int(m.group(1)), m.group(3)))
        elif m.group(2) == "<":
            answers.append((int(m.group(1)), m.group(3)))
    want = []
    for apdu, _ in sent:
        shown = hexs(apdu)
        if apdu[1] == 0x20:
            shown = hexs(apdu[:5]) + " **" * (len(apdu) - 5)
        want.append(shown)
    check([t for _, t in commands] == want, "trace commands %s, sent %s" % (commands, want))
    check([n for n, _ in commands] == [1, 2, 3, 4], "numbers %s" % [n for n, _ in commands])
    check([t for _, t in answers] == [hexs(a) for _, a in sent], "trace answers %s" % answers)


def control_case(vcard):
    """The control channel: removal and reinsertion seen by a status-change
    wait; bad lines refused, the card still running after them."""
    card = VCard(vcard, "basic", [])
    try:
        check(card.control("remove") == "ok", "remove not ok")
        wait_state(READER, False)
        check(card.control("status").startswith("ok commands=0 inserted=no"), "status after remove")
        check(card.control("insert") == "ok", "insert not ok")
        wait_state(READER, True)
        for line, says in (("fail-at x 6F00", "error: fail-at takes N SW"),
                           ("pin-tries 9", "error: pin-tries takes N"),
                           ("corrupt-at", "error: corrupt-at takes N [INDEX]"),
                           ("eject", "error: unknown control \"eject\"")):
            answer = card.control(line)
            check(answer.startswith(says), "%r answered %r" % (line, answer))
        check(card.control("pin-tries 0") == "ok", "pin-tries 0 not ok")
        check(card.control("fail-at 2 6A82") == "ok", "fail-at not ok")
        c = Client(READER)
        try:
            check(c.send(COUNTER) == bytes.fromhex("6983"), "pin-tries 0 not seen")
            check(c.send(CARD_DATA) == bytes.fromhex("6A82"), "fail-at 2 not seen")
        finally:
            c.close()
        check(card.proc.poll() is None, "zorbix-vcard ended")
    finally:
        card.stop()


def bench_card_case():
    """The flags given to zorbix-bench reached the card in reader 0."""
    c = Client(READER0)
    try:
        check(c.atr()[-3] == 0x0F, "bench card's ATR phase %02X" % c.atr()[-3])
        check(c.send(COUNTER) == bytes.fromhex("63C1"), "bench card's PIN tries")
    finally:
        c.close()


def bad_flags(vcard, bench):
    cases = [
        ([vcard, "--profile", "basic", "--pin-tries", "x"], "--pin-tries", "from 0 (blocked)"),
        ([vcard, "--profile", "basic", "--pin-tries", "4"], "--pin-tries", "3 for this card"),
        ([vcard, "--profile", "basic", "--phase", "0F0"], "--phase", "two hex digits"),
        ([vcard, "--profile", "basic", "--fail-at", "3"], "--fail-at", "N:SW"),
        ([vcard, "--profile", "basic", "--corrupt-at", "0"], "--corrupt-at", "from 1"),
        ([vcard, "--profile", "basic", "--delay-ms", "fast"], "--delay-ms", "0 to 60000"),
        ([vcard, "--profile", "basic", "--remove-after"], "--remove-after", "needs a value"),
        ([vcard, "--profile", "basic", "--reinsert-after-ms", "10"], "--reinsert-after-ms",
         "--remove-after"),
        ([vcard, "--profile", "basic", "--port", "0"], "--port", "1 to 65535"),
        ([vcard, "--profile", "nothing"], "--profile", "nothing"),
        ([vcard, "--frobnicate"], "--frobnicate", "unknown argument"),
        ([bench, "--fail-at", "1:12"], "--fail-at", "four hex digits"),
        ([bench, "--profile", "basic", "--puk-tries", "11"], "--puk-tries", "10 for this card"),
        ([bench, "--readers", "3"], "--readers", "1 or 2"),
    ]
    failed = 0
    for argv, flag, says in cases:
        p = subprocess.run(argv, capture_output=True, text=True, timeout=30, stdin=subprocess.DEVNULL)
        if p.returncode != 2 or flag not in p.stderr or says not in p.stderr:
            print("FAIL %s: exit %d, %r" % (" ".join(argv[1:]), p.returncode, p.stderr))
            failed += 1
    print("%d passed, %d failed" % (len(cases) - failed, failed))
    return 1 if failed else 0


def main(argv):
    if argv[1] == "--bad-flags":
        return bad_flags(argv[2], argv[3])
    vcard = argv[1]
    cases = [(name, lambda p=p, f=f, b=b: run_case(vcard, p, f, b)) for name, p, f, b in CASES]
    cases += [("trace", lambda: trace_case(vcard)), ("control channel", lambda: control_case(vcard)),
              ("zorbix-bench flags", bench_card_case)]
    failed = 0
    for name, body in cases:
        try:
            body()
            print("ok   %s" % name)
        except Exception as e:
            failed += 1
            print("FAIL %s: %s: %s" % (name, type(e).__name__, e))
    print("%d passed, %d failed" % (len(cases) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
