#!/usr/bin/env python3
"""Postfix with and without lumaro-milter: the 2,000-message mix of job_bench.py
sent by 8 SMTP clients at once through a throwaway Postfix on loopback, delivered
to a sink in this process. Prints both throughputs (messages per second, from the
first send to the last delivery), and from the milter's own summary its time and
lock wait per message and its peak memory. Needs root and postfix installed.

    sudo python3 bench/milter_bench.py --milter build/rel/tools/lumaro-milter \\
        --module build/rel/lumaro/lumaro.so"""

import argparse
import os
import random
import re
import signal
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, '..', 'tests', 'mta'))
sys.path.insert(0, os.path.join(HERE, '..', 'tests', 'milter'))
import job_bench  # noqa: E402
from milterclient import BaseFolder, Milter  # noqa: E402
from postfix_end_to_end import Postfix, Sink, tagged  # noqa: E402

CLIENTS = 8


def mix():
    rng = random.Random(20261208)
    return [tagged(job_bench.typical(rng, n), f'B{n}') for n in range(2000)]


def run(messages, milter_port):
    sink = Sink()
    postfix = Postfix(milter_port, sink.port)
    try:
        postfix.send(tagged(b'Subject: warm-up\r\n\r\nwarm\r\n', 'WARMUP'))
        sink.wait_for(['WARMUP'])
        keys = [f'B{n}' for n in range(len(messages))]
        start = time.time()
        threads = [threading.Thread(target=lambda mine=messages[i::CLIENTS]: [postfix.send(m) for m in mine])
                   for i in range(CLIENTS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        sink.wait_for(keys, timeout=1200)
        return len(messages) / (time.time() - start)
    finally:
        postfix.stop()
        sink.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--milter', required=True)
    parser.add_argument('--module', required=True)
    args = parser.parse_args()
    messages = mix()
    total = sum(len(m) for m in messages)
    print(f'{len(messages)} messages, {total / 1e6:.1f} MB, largest {max(map(len, messages)) / 1e6:.2f} MB, '
          f'{CLIENTS} clients')
    plain = run(messages, None)
    print(f'Postfix alone:            {plain:7.1f} messages/s')
    folder = BaseFolder()
    milter = Milter(args.milter, args.module, '--base', folder.path)
    try:
        with_milter = run(messages, milter.port)
    finally:
        milter.stop(signal.SIGTERM)
        summary = re.search(r'stopped: (.*)', milter.log())
        milter.cleanup()
        folder.cleanup()
    print(f'Postfix with lumaro-milter: {with_milter:7.1f} messages/s '
          f'({100 * (1 - with_milter / plain):.1f} % less)')
    print('lumaro-milter: ' + (summary[1] if summary else 'no summary'))


if __name__ == '__main__':
    main()
