"""Hostile mail cannot change a message's MIME structure: for every message of a
set shaped against the delimiter rule, encapsulated messages and the other places
where one reader might see parts another does not, a reader finds after the job
the parts it found before (count, types, nesting, parameters), and every byte of
every part that was not converted. The reader is Python's email package
(email.message_from_bytes with the compat32 policy), not the module's own.

And memory: one message of a great many empty parts inside multiparts with long
boundaries takes no more than three times its size and 64 MB, by the peak that
lumaro-host queue reports."""

import email
import email.policy
import re

import hostile_shapes
import hosttest

SUBJECT = b'Subject: =?UTF-8?Q?P=C5=99=C3=ADli=C5=A1?=\r\n'
UTF8_TEXT = (b'Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n'
             b'P\xc5\x99\xc3\xadli\xc5\xa1\r\n')


def message(content_type, body, extra=b''):
    return SUBJECT + b'MIME-Version: 1.0\r\nContent-Type: ' + content_type + b'\r\n' + extra + b'\r\n' + body


def part(data):
    return data if data.endswith(b'\r\n') else data + b'\r\n'


def multipart(boundary, parts, preamble=b'', epilogue=b'', closing=None):
    text = preamble + b''.join(b'--' + boundary + b'\r\n' + part(p) for p in parts)
    return text + (closing if closing is not None else b'--' + boundary + b'--\r\n') + epilogue


FLOWED = (b'Content-Type: text/plain; charset=iso-8859-2; format=flowed\r\n\r\n'
          b'Tento odstavec je zalomen \r\nm\xeckk\xfdm zalomen\xedm. \r\n\r\n-- \r\nPodpis\t\r\n')
INNER = SUBJECT + b'From: a@example.cz  \r\nContent-Type: multipart/mixed; boundary=in\r\n\r\n' + multipart(
    b'in', [FLOWED, b'Content-Type: text/plain\r\n\r\n--in\x01\r\n--in tail\r\n  \r\n'])

# Messages by the rule they try; each holds a part the module converts or a Subject
# it rewrites, so that it is written back.
DELIMITERS = {
    'a line that begins with the delimiter': message(b'multipart/mixed; boundary=abc', multipart(
        b'abc', [UTF8_TEXT, b'Content-Type: text/plain\r\n\r\nbefore\r\n--abcdef is not a delimiter\r\nafter\r\n'])),
    'boundaries that begin one another': message(b'multipart/mixed; boundary=b', multipart(b'b', [
        b'Content-Type: multipart/alternative; boundary=bb\r\n\r\n' + multipart(b'bb', [
            b'Content-Type: multipart/related; boundary=bbb\r\n\r\n' + multipart(b'bbb', [UTF8_TEXT, b'\r\nx\r\n']),
            b'\r\n--bbbb\r\n--bbb--x\r\n']),
        b'\r\nlast\r\n'])),
    'closing delimiter followed by blanks': message(b'multipart/mixed; boundary=abc', multipart(
        b'abc', [UTF8_TEXT], closing=b'--abc-- \t\r\n', epilogue=b'--abc\r\n\r\nnot a part\r\n--abc--\r\n')),
    'delimiters followed by blanks': message(b'multipart/mixed; boundary=abc',
                                             b'--abc \r\n' + UTF8_TEXT + b'--abc\t\r\n\r\nsecond\r\n--abc--  \r\n'),
    'a delimiter and a control byte': message(b'multipart/mixed; boundary=abc', multipart(
        b'abc', [UTF8_TEXT, b'\r\n--abc\x01\r\n--abc--\x00\r\n'])),
    'a header line that trims to a delimiter': message(b'multipart/mixed; boundary=abc', multipart(
        b'abc', [UTF8_TEXT, b'--abc\x01\r\nContent-Type: text/plain\r\n\r\nbody\r\n'])),
    'no boundary parameter': message(b'multipart/mixed', b'--\r\n' + UTF8_TEXT + b'-- \r\nsignature\r\n----\r\n'),
    'an empty boundary': message(b'multipart/mixed; boundary=""', b'--\r\n' + UTF8_TEXT + b'--\r\n\r\nx\r\n----\r\n'),
    'no delimiter line': message(b'multipart/mixed; boundary=b1', b'hello\r\n'),
    'a closing delimiter first': message(b'multipart/mixed; boundary=b1',
                                         b'--b1--\r\n--b1\r\n' + UTF8_TEXT + b'--b1--\r\n'),
    'a converted line that would become a delimiter': message(b'multipart/mixed; boundary=outer', multipart(
        b'outer', [b'Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n'
                   b'-\xff-outer\r\n-\xff-outer-\xff-\r\n\xc5\x99\r\n', b'\r\nsecond\r\n'])),
    'two Content-Type lines, multipart first': message(
        b'multipart/mixed; boundary=b1', multipart(b'b1', [UTF8_TEXT, b'\r\nx\r\n']),
        b'Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n'),
    'two Content-Type lines, text first': message(
        b'text/plain; charset=utf-8', multipart(b'b1', [UTF8_TEXT, b'\r\nx\r\n']),
        b'Content-Type: multipart/mixed; boundary=b1\r\n'),
}

ENCAPSULATED = {
    'a forwarded message': message(b'multipart/mixed; boundary=out', multipart(
        b'out', [UTF8_TEXT, b'Content-Type: message/rfc822\r\n\r\n' + INNER])),
    'blank lines before it': message(b'message/rfc822', b'\r\n  \r\n' + INNER),
    'one in another': message(b'multipart/mixed; boundary=out', multipart(b'out', [
        UTF8_TEXT, b'Content-Type: message/rfc822\r\n\r\n' + SUBJECT + b'Content-Type: message/rfc822\r\n\r\n' + INNER])),
    'trailing control bytes': message(b'multipart/mixed; boundary=out', multipart(b'out', [
        UTF8_TEXT, b'Content-Type: message/rfc822\r\n\r\nSubject: x\x01\r\n\r\nbody \x01\x00\r\n\xe8\xe1st \t\r\n'])),
}


def parse(data):
    return email.message_from_bytes(data, policy=email.policy.compat32)


def converted(part):
    return (part.get_content_maintype() == 'text' and part.get_content_subtype() != 'html'
            and (part.get_content_charset() or '') in ('utf-8', 'utf-7'))


def structure(data, converted_parts):
    """What the reader finds: every part in walk order with its depth, type,
    parameters but the charset (which conversion changes), preamble and epilogue,
    and the payload of every part that is not among those converted."""
    found = []
    for n, (depth, part) in enumerate(walk(parse(data))):
        params = [(k.lower(), v) for k, v in (part.get_params() or [])[1:] if k.lower() != 'charset']
        entry = [depth, part.get_content_type(), params, part.preamble, part.epilogue]
        if not part.is_multipart() and n not in converted_parts:
            payload = part.get_payload()
            entry.append(payload.replace('\r\n', '\n') if isinstance(payload, str) else payload)
        found.append(entry)
    return found


def walk(part, depth=0):
    yield depth, part
    if part.is_multipart():
        for sub in part.get_payload():
            yield from walk(sub, depth + 1)


def converted_parts(data):
    return {n for n, (_, part) in enumerate(walk(parse(data))) if not part.is_multipart() and converted(part)}


class Structure(hosttest.ServerTestCase):
    def run_queue(self, cases):
        jobs = {f'S{n:03d}': data for n, data in enumerate(cases.values())}
        for job, data in jobs.items():
            self.server.put(job, data)
        r = self.server.run('queue')
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        return {name: self.server.read(job) for name, job in zip(cases, jobs)}

    def assert_same_structure(self, cases):
        after = self.run_queue(cases)
        for name, before in cases.items():
            with self.subTest(name):
                self.assertNotEqual(after[name], before, 'the message is written back')
                skip = converted_parts(before)
                self.assertEqual(structure(after[name], skip), structure(before, skip))

    def test_delimiter_lines(self):
        self.assert_same_structure(DELIMITERS)

    def test_encapsulated_messages_keep_their_bytes(self):
        self.assert_same_structure(ENCAPSULATED)
        # The reader above compares payloads; the bytes of the forwarded body also
        # stand in the file as they were sent.
        after = self.run_queue({'flowed': ENCAPSULATED['a forwarded message']})['flowed']
        self.assertIn(FLOWED.split(b'\r\n\r\n', 1)[1], after)


class Memory(hosttest.ServerTestCase):
    SIZE = 8_000_000

    def peak(self):
        r = self.server.run('queue', timeout=600)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        return float(re.search(rb'peak memory ([\d.]+) MB', r.stdout)[1]) * 1e6

    def test_many_empty_parts_inside_long_boundaries(self):
        # Under Wine the peak holds Wine's own working set, counted from an empty queue.
        idle = self.peak() if self.host.windows else 0
        self.server.put('HOSTILE', hostile_shapes.nested_around_empty_parts(self.SIZE))
        self.assertLessEqual(self.peak() - idle, 3 * self.SIZE + 64_000_000)


if __name__ == '__main__':
    hosttest.main()
