# Benchmark, not a test: the time of one exchange with the virtual card
# through pcscd. Run it under the bench:
#   build/sim/zorbix-bench --profile basic -- /usr/bin/python3 tests/sim/exchange_bench.py [COUNT]
# It prints the mean, median and worst time of COUNT (default 200) SELECTs
# of the master file by name.
import statistics
import sys
import time

from smartcard.CardConnection import CardConnection
from smartcard.System import readers


def main(count):
    virtual = [r for r in readers() if str(r).startswith("Virtual PCD")]
    if not virtual:
        print("no vpcd reader")
        return 1
    conn = virtual[0].createConnection()
    conn.connect(CardConnection.T0_protocol)
    name = list(b"Master.File")
    select = [0x00, 0xA4, 0x04, 0x0C, len(name)] + name
    conn.transmit(select)  # the first exchange may pay for set-up
    times = []
    for _ in range(count):
        start = time.perf_counter()
        _, sw1, sw2 = conn.transmit(select)
        times.append(time.perf_counter() - start)
        if (sw1, sw2) != (0x90, 0x00):
            print("SELECT answered %02X%02X" % (sw1, sw2))
            return 1
    ms = [t * 1000 for t in times]
    print("%d SELECTs: total %.1f ms, mean %.3f ms, median %.3f ms, worst %.3f ms"
          % (count, sum(ms), statistics.mean(ms), statistics.median(ms), max(ms)))
    return 0


if __name__ == "__main__":
    sys.exit(main(int(sys.argv[1]) if len(sys.argv) > 1 else 200))
