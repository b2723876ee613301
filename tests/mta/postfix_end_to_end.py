"""lumaro-milter inside a real Postfix: SMTP in on loopback, the milter, and
delivery to a sink in this process that keeps the exact bytes. What Postfix
delivers must be what `lumaro-host filter` makes of the same message.

A throwaway Postfix instance lives in one temporary folder (see the notes on
main.cf below); nothing under /etc or /var/spool/postfix is used. Needs root."""

import email
import email.policy
import grp
import os
import re
import shutil
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'host'))
sys.path.insert(0, os.path.join(HERE, '..', 'milter'))
import messages  # noqa: E402
from milterclient import (BaseFolder, Milter, free_port, listens, loopback, run_filter,  # noqa: E402
                          test_arguments, unix_connection, words)
from service_unit import Service  # noqa: E402

SOURCE = os.path.join(HERE, '..', '..')
PACKAGING = os.path.join(SOURCE, 'packaging', 'debian')
# Where Debian's Postfix has its queue folder, which its chrooted services see as /.
DEBIAN_SPOOL = '/var/spool/postfix'

ARGS = None
MAX_SIZE = 32 * 1024 * 1024


class Sink:
    """An SMTP server that keeps every message it is given, by its X-Test-Id."""

    def __init__(self):
        self.port = free_port()
        self.messages = {}
        self.lock = threading.Condition()
        self.server = socket.socket()
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(('127.0.0.1', self.port))
        self.server.listen(64)
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                conn, _ = self.server.accept()
            except OSError:
                return
            threading.Thread(target=self.session, args=(conn,), daemon=True).start()

    def session(self, conn):
        reader = conn.makefile('rb')
        conn.sendall(b'220 sink ESMTP\r\n')
        try:
            while True:
                line = reader.readline()
                if not line:
                    return
                verb = line[:4].upper()
                if verb == b'EHLO':
                    conn.sendall(b'250-sink\r\n250-8BITMIME\r\n250 SIZE 200000000\r\n')
                elif verb == b'DATA':
                    conn.sendall(b'354 go on\r\n')
                    self.keep(self.read_data(reader))
                    conn.sendall(b'250 kept\r\n')
                elif verb == b'QUIT':
                    conn.sendall(b'221 bye\r\n')
                    return
                else:
                    conn.sendall(b'250 ok\r\n')
        finally:
            conn.close()

    @staticmethod
    def read_data(reader):
        lines = []
        while True:
            line = reader.readline()
            if line in (b'.\r\n', b''):
                return b''.join(lines)
            lines.append(line[1:] if line.startswith(b'.') else line)

    def keep(self, data):
        found = re.search(rb'(?im)^X-Test-Id: *(\S+)', data[:data.find(b'\r\n\r\n')])
        key = found[1].decode() if found else 'unknown'
        with self.lock:
            self.messages.setdefault(key, []).append(data)
            self.lock.notify_all()

    def wait_for(self, keys, timeout=240):
        deadline = time.time() + timeout
        with self.lock:
            while not all(k in self.messages for k in keys):
                if not self.lock.wait(max(0.0, deadline - time.time())) and time.time() > deadline:
                    missing = [k for k in keys if k not in self.messages]
                    raise AssertionError(f'never delivered: {missing[:10]}')
            return {k: self.messages[k] for k in keys}

    def close(self):
        self.server.close()


# The chroot column is {chroot}: n, or where the instance runs chrooted as Debian's
# Postfix does, the column of Debian's own master.cf for the service.
MASTER_CF = '''\
127.0.0.1:{smtp_port} inet n - {chroot} - - smtpd
cleanup   unix n - {chroot} - 0 cleanup
qmgr      unix n - n 300 1 qmgr
rewrite   unix - - {chroot} - - trivial-rewrite
bounce    unix - - {chroot} - 0 bounce
defer     unix - - {chroot} - 0 bounce
trace     unix - - {chroot} - 0 bounce
smtp      unix - - {chroot} - - smtp
relay     unix - - {chroot} - - smtp
error     unix - - {chroot} - - error
retry     unix - - {chroot} - - error
scache    unix - - {chroot} - 1 scache
anvil     unix - - {chroot} - 1 anvil
postlog   unix-dgram n - n - 1 postlogd
'''
DEBIAN_MASTER_CF = '/usr/share/postfix/master.cf.dist'


def debian_chroot_column():
    """What Debian's own master.cf says of every service that runs chrooted."""
    with open(DEBIAN_MASTER_CF) as f:
        rows = [line.split() for line in f if re.match(r'[a-z]', line)]
    return {(row[0], row[1]): row[4] for row in rows}

# Why each line is there: MTA-NOTES of the project's shared notes, checked facts.
MAIN_CF = '''\
compatibility_level = 3.6
queue_directory = {root}/queue
data_directory = {root}/data
maillog_file = {root}/maillog
maillog_file_prefixes = {root}
myhostname = mx.example.cz
mydestination =
inet_interfaces = loopback-only
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtpd_relay_restrictions = permit_mynetworks, reject
smtp_dns_support_level = disabled
smtp_host_lookup = native
alias_maps =
alias_database =
local_recipient_maps =
local_transport = error:local delivery is off
relayhost = [127.0.0.1]:{sink_port}
{milters}
local_header_rewrite_clients =
message_size_limit = 100000000
smtp_line_length_limit = 0
disable_mime_output_conversion = yes
queue_run_delay = 1s
minimal_backoff_time = 1s
maximal_backoff_time = 2s
default_destination_concurrency_limit = 20
'''


class Postfix:
    def __init__(self, milter, sink_port, milters=None, chrooted=False, services='', before_start=None):
        """milter: the milter's socket as main.cf names it, or None for none;
        milters: main.cf's milter settings instead; chrooted: its services run
        chrooted in the queue folder, as Debian's default master.cf has them;
        services: more master.cf lines, with {port} for a port of their own, which
        .ports then lists; before_start: called with the queue folder."""
        self.root = tempfile.mkdtemp(prefix='lumaro-postfix-')
        os.chmod(self.root, 0o755)  # the postfix user walks through it
        self.queue = os.path.join(self.root, 'queue')
        os.mkdir(self.queue)
        self.smtp_port = free_port()
        if milters is None:
            milters = f'smtpd_milters = {milter or ""}\nmilter_default_action = tempfail'
        self.ports = [free_port() for _ in range(services.count('{port}'))]
        for port in self.ports:
            services = services.replace('{port}', str(port), 1)
        with open(os.path.join(self.root, 'main.cf'), 'w') as f:
            f.write(MAIN_CF.format(root=self.root, sink_port=sink_port, milters=milters))
        with open(os.path.join(self.root, 'master.cf'), 'w') as f:
            f.write(self.master_cf(chrooted) + services)
        if before_start:
            before_start(self.queue)
        r = subprocess.run(['postfix', '-c', self.root, 'start'], capture_output=True, text=True)
        if r.returncode != 0:
            raise RuntimeError(f'postfix start failed: {r.stderr} {self.log()}')
        if not listens(loopback(self.smtp_port), timeout=30):
            raise RuntimeError('postfix does not listen: ' + self.log())

    def master_cf(self, chrooted):
        columns = debian_chroot_column() if chrooted else {}
        lines = []
        for line in MASTER_CF.splitlines(keepends=True):
            name, kind = line.split()[:2]
            name = 'smtp' if kind == 'inet' else name
            lines.append(line.format(smtp_port=self.smtp_port, chroot=columns.get((name, kind), 'n')))
        return ''.join(lines)

    def log(self, tail=4000):
        try:
            with open(os.path.join(self.root, 'maillog'), errors='replace') as f:
                return f.read()[-tail:] if tail else f.read()
        except OSError:
            return ''

    def stop(self):
        subprocess.run(['postfix', '-c', self.root, 'stop'], capture_output=True)
        deadline = time.time() + 30
        while time.time() < deadline:
            if subprocess.run(['postfix', '-c', self.root, 'status'], capture_output=True).returncode != 0:
                break
            time.sleep(0.2)
        shutil.rmtree(self.root, ignore_errors=True)

    def send(self, data, sender='vera@example.cz', retry_until=None, port=None):
        """Sends one message; with retry_until, a temporary failure is retried
        until then. Gives the number of temporary failures met."""
        failures = 0
        while True:
            try:
                with smtplib.SMTP('127.0.0.1', port or self.smtp_port, timeout=300) as smtp:
                    smtp.sendmail(sender, ['rozpocet@example.cz'], data)
                return failures
            except (smtplib.SMTPResponseException, smtplib.SMTPServerDisconnected) as e:
                code = getattr(e, 'smtp_code', 451)
                if retry_until is None or code // 100 != 4 or time.time() > retry_until:
                    raise
                failures += 1
                time.sleep(0.3)


class PostfixGroupSocket:
    """A folder for a milter's unix socket that Postfix's processes (group postfix)
    may enter, as the service's /run/lumaro is for the MTA's user."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix='lumaro-milter-socket-')
        self.group = grp.getgrnam('postfix').gr_gid
        os.chown(self.folder, 0, self.group)
        os.chmod(self.folder, 0o750)
        self.path = os.path.join(self.folder, 'milter.sock')

    def admit(self):
        """The milter makes its socket mode 660 for its own group: Postfix's here."""
        os.chown(self.path, 0, self.group)

    def cleanup(self):
        shutil.rmtree(self.folder, ignore_errors=True)


def tagged(data, key):
    return f'X-Test-Id: {key}\r\n'.encode() + data.replace(b'\r\n', b'\n').replace(b'\n', b'\r\n')


def parsed(data):
    """Header fields (names without case, values unfolded) and body bytes."""
    head, _, body = data.partition(b'\r\n\r\n')
    message = email.message_from_bytes(head + b'\r\n\r\n', policy=email.policy.compat32)
    fields = [(n.lower(), words(v.encode('ascii', 'surrogateescape'))) for n, v in message.raw_items()]
    return sorted(fields, key=lambda f: f[0]), body


def without_postfix_received(fields):
    """Postfix's own Received line is the first one of the delivered message."""
    out, dropped = [], False
    for name, value in fields:
        if name == 'received' and not dropped and b'mx.example.cz (Postfix)' in value:
            dropped = True
            continue
        out.append((name, value))
    return out


class PostfixTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = BaseFolder()
        cls.base = cls.folder.path
        cls.milter = cls.start_milter()
        cls.sink = Sink()
        cls.postfix = Postfix(cls.milter.address, cls.sink.port)

    @classmethod
    def start_milter(cls, port=None):
        return Milter(ARGS.milter, ARGS.module, '--base', cls.base, '--max-size', str(MAX_SIZE), port=port)

    @classmethod
    def tearDownClass(cls):
        cls.postfix.stop()
        cls.milter.cleanup()
        cls.sink.close()
        cls.folder.cleanup()

    def assert_delivered_as_filter(self, key, sent, delivered, filtered=None):
        if filtered is None:
            filtered, _, status = run_filter(ARGS.host, ARGS.module, sent, self.base)
            self.assertEqual(status, 0)
        got_fields, got_body = parsed(delivered)
        want_fields, want_body = parsed(filtered)
        self.assertEqual(without_postfix_received(got_fields), want_fields, key)
        self.assertEqual(got_body, want_body, key)


def events(lines):
    """The activity log's events without time, job and sender: code and text."""
    return [(line[0], line.rsplit(None, 2)[-2]) for line in lines if line[:2] in ('H ', 'C ')]


class EndToEnd(PostfixTestCase):
    def test_messages_come_out_as_the_filter_makes_them(self):
        czech = messages.lines(messages.CZECH, '\r\n')
        cases = dict((k, v[0]) for k, v in messages.realistic().items())
        cases['EIGHTBIT'] = ('Subject: ' + messages.ew('Osmibitový text') + '\r\nFrom: ' +
                             messages.ew('Věra Šťastná', kind='B') + ' <vera@example.cz>\r\n'
                             'MIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n'
                             'Content-Transfer-Encoding: 8bit\r\n\r\n' + czech).encode()
        cases['THIRTYMB'] = ('Subject: ' + messages.ew('Velká zpráva') + '\r\nMIME-Version: 1.0\r\n'
                             'Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n'
                             '\r\n').encode() + czech.encode() * 65_000
        for key, data in cases.items():
            with self.subTest(key):
                sent = tagged(data, key)
                before = len(self.folder.activity_lines())
                self.postfix.send(sent)
                delivered = self.sink.wait_for([key])[key]
                self.assertEqual(len(delivered), 1)
                filtered, log, _ = run_filter(ARGS.host, ARGS.module, sent, self.base)
                self.assert_delivered_as_filter(key, sent, delivered[0], filtered)
                self.assertEqual(events(self.folder.activity_lines()[before:]),
                                 events(log.decode('latin-1').splitlines()), key)
                unchanged = key in ('ISO88592', 'WINDOWS1250')
                self.assertEqual(b'\r\nX-LUMARO: ' in b'\r\n' + delivered[0], not unchanged, key)

    def test_a_message_over_max_size_passes_unchanged(self):
        body = b'Dobr\xc3\xbd den, tohle je p\xc5\x99\xc3\xadli\xc5\xa1 velk\xc3\xa1 zpr\xc3\xa1va.\r\n' * 700_000
        sent = tagged(b'Subject: =?UTF-8?Q?P=C5=99=C3=ADli=C5=A1_velk=C3=A1?=\r\n'
                      b'Content-Type: text/plain; charset=utf-8\r\n\r\n' + body, 'OVERSIZE')
        self.assertGreater(len(sent), MAX_SIZE)
        self.postfix.send(sent)
        delivered = self.sink.wait_for(['OVERSIZE'])['OVERSIZE'][0]
        got_fields, got_body = parsed(delivered)
        want_fields, want_body = parsed(sent)
        self.assertEqual(without_postfix_received(got_fields), want_fields)
        self.assertEqual(got_body, want_body)
        self.assertRegex(self.milter.log(), r'passed on unchanged \((announced )?larger than --max-size\)')

    def test_a_failed_job_delivers_the_message_unchanged(self):
        sent = tagged(messages.utf7(), 'FAILEDJOB')
        with self.folder.unwritable_log():
            self.postfix.send(sent)
            delivered = self.sink.wait_for(['FAILEDJOB'])['FAILEDJOB'][0]
        got_fields, got_body = parsed(delivered)
        want_fields, want_body = parsed(sent)
        self.assertEqual(without_postfix_received(got_fields), want_fields)
        self.assertEqual(got_body, want_body)


TEMPLATES = {
    'ALT': messages.alternative(),
    'ATT': messages.attachments(),
    'UTF7': messages.utf7(),
    'ISO': messages.iso_8859_2(),
    'FWD': messages.forwarded(),
}


class OverUnixSocket(EndToEnd):
    """The same through a unix socket, with the scratch folder on a tmpfs, as the
    packaged service runs."""

    @classmethod
    def start_milter(cls, port=None):
        cls.socket = PostfixGroupSocket()
        tmpfs = '/dev/shm' if os.path.isdir('/dev/shm') else None
        milter = Milter(ARGS.milter, ARGS.module, '--base', cls.base, '--max-size', str(MAX_SIZE),
                        unix=cls.socket.path, scratch=tmpfs)
        cls.socket.admit()
        return milter

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        cls.socket.cleanup()


class Concurrency(PostfixTestCase):
    clients, per_client = 8, 50

    @classmethod
    def start_milter(cls, port=None):
        # Fewer jobs than clients: messages wait for a job as well as run side by side.
        return Milter(ARGS.milter, ARGS.module, '--base', cls.base, '--max-size', str(MAX_SIZE), '--jobs', '4',
                      port=port)

    def filtered_templates(self):
        out = {}
        for name, data in TEMPLATES.items():
            sent = tagged(data, 'TEMPLATE')
            out[name] = run_filter(ARGS.host, ARGS.module, sent, self.base)[0]
        return out

    def send_all(self, keys, retry_until=None):
        errors, failures = [], []

        def client(mine):
            try:
                for key in mine:
                    failures.append(self.postfix.send(tagged(TEMPLATES[key.split('-')[0]], key),
                                                      retry_until=retry_until))
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(repr(e))

        threads = [threading.Thread(target=client, args=(keys[i::self.clients],)) for i in range(self.clients)]
        for t in threads:
            t.start()
        return threads, errors, failures

    def check_all(self, keys):
        filtered = self.filtered_templates()
        delivered = self.sink.wait_for(keys)
        for key in keys:
            self.assertEqual(len(delivered[key]), 1, key)
            template = key.split('-')[0]
            expected = filtered[template].replace(b'X-Test-Id: TEMPLATE', f'X-Test-Id: {key}'.encode())
            self.assert_delivered_as_filter(key, None, delivered[key][0], expected)

    def test_eight_clients_at_once(self):
        names = list(TEMPLATES)
        keys = [f'{names[n % len(names)]}-C{n}' for n in range(self.clients * self.per_client)]
        threads, errors, _ = self.send_all(keys)
        for t in threads:
            t.join()
        self.assertEqual(errors, [])
        self.check_all(keys)
        self.assertRegex(self.milter.log(), r'lock wait [\d.]+ ms')

    def test_a_killed_milter_loses_nothing_and_half_changes_nothing(self):
        cls = type(self)
        names = list(TEMPLATES)
        keys = [f'{names[n % len(names)]}-K{n}' for n in range(self.clients * 25)]
        threads, errors, failures = self.send_all(keys, retry_until=time.time() + 240)
        # Killed once mail is flowing, so that messages are in flight.
        self.sink.wait_for(keys[:4])
        port = cls.milter.port
        killed = cls.milter
        killed.stop(signal.SIGKILL)
        time.sleep(2.0)
        cls.milter = cls.start_milter(port=port)
        killed.cleanup()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])
        self.assertGreater(sum(failures), 0, 'no client met the milter while it was down')
        self.check_all(keys)


def readme_postfix_settings():
    """The main.cf lines of the README's first Postfix snippet."""
    with open(os.path.join(SOURCE, 'README.md')) as f:
        text = f.read()
    return re.search(r'```\n(.*?)```', text[text.index('\n### Postfix\n'):], re.S)[1].strip()


class ServiceAccounts:
    """The user and group lumaro, and postfix in that group, made as the package's
    postinst makes them; what this machine did not have goes again."""

    def __init__(self):
        self.made = 'lumaro' not in [g.gr_name for g in grp.getgrall()]
        self.joined = self.made or 'postfix' not in grp.getgrnam('lumaro').gr_mem
        subprocess.run(['systemd-sysusers', os.path.join(PACKAGING, 'lumaro.sysusers')], check=True,
                       capture_output=True)
        subprocess.run(['systemd-sysusers', '-'], input=b'm postfix lumaro\n', check=True, capture_output=True)

    def cleanup(self):
        if self.joined:
            subprocess.run(['gpasswd', '-d', 'postfix', 'lumaro'], capture_output=True)
        if self.made:
            subprocess.run(['userdel', 'lumaro'], capture_output=True)
            subprocess.run(['groupdel', 'lumaro'], capture_output=True)


def tmpfiles_folder(path, into):
    """Makes the folder of the package's tmpfiles.d line for path at into."""
    with open(os.path.join(PACKAGING, 'lumaro.tmpfiles')) as f:
        line = next(line.split() for line in f if line.split()[:2] == ['d', path])
    os.makedirs(into)
    shutil.chown(into, line[3], line[4])
    os.chmod(into, int(line[2], 8))


class AsTheServiceRuns(unittest.TestCase):
    """Debian's default Postfix, chrooted, with the README's first main.cf snippet,
    and the milter started as its unit starts it (user, groups, umask,
    environment, command line with its folders moved into this instance), its
    standard error standing in for the journal."""

    @classmethod
    def setUpClass(cls):
        cls.accounts = ServiceAccounts()
        cls.folder = tempfile.mkdtemp(prefix='lumaro-service-')
        os.chmod(cls.folder, 0o755)
        with open(os.path.join(PACKAGING, 'lumaro-milter.service')) as f:
            cls.service = Service(f.read())
        cls.sink = Sink()
        cls.milter = None
        cls.postfix = Postfix(None, cls.sink.port, milters=readme_postfix_settings(), chrooted=True,
                              before_start=cls.start_milter)

    @classmethod
    def start_milter(cls, queue):
        options = cls.service.options()
        socket_folder = os.path.dirname(options['--socket'].removeprefix('unix:'))
        tmpfiles_folder(socket_folder, queue + socket_folder.removeprefix(DEBIAN_SPOOL))
        # The packaged settings, their activity log in a folder the service may write.
        runtime, logs, base = (os.path.join(cls.folder, name) for name in ('run', 'log', 'base'))
        for made in (runtime, logs, base):
            os.mkdir(made)
        with open(os.path.join(PACKAGING, 'lumaro.ini')) as f:
            ini = re.sub(r'(?m)^LogFile=.*$', f'LogFile={logs}/lumaro.log', f.read())
        with open(os.path.join(base, 'lumaro.ini'), 'w') as f:
            f.write(ini)
        cls.stderr = tempfile.TemporaryFile()
        start = cls.service.popen_arguments(cls.stderr, runtime)
        for owned in (runtime, logs):
            os.chown(owned, start['user'], start['group'])
        moved = dict(options, **{'--socket': 'unix:' + queue + options['--socket'].removeprefix('unix:' + DEBIAN_SPOOL),
                                 '--scratch': runtime, '--base': base, '--host': 'mx.example.cz'})
        cls.milter = subprocess.Popen([ARGS.milter, *(a for o in moved.items() for a in o)], **start)
        if not listens(lambda: unix_connection(moved['--socket'].removeprefix('unix:')), cls.milter):
            raise RuntimeError('lumaro-milter does not listen: ' + cls.journal_text())

    @classmethod
    def journal_text(cls):
        cls.stderr.seek(0)
        return cls.stderr.read().decode('latin-1')

    @classmethod
    def tearDownClass(cls):
        cls.postfix.stop()
        if cls.milter:
            cls.milter.terminate()
            cls.milter.wait(30)
        cls.sink.close()
        shutil.rmtree(cls.folder, ignore_errors=True)
        cls.accounts.cleanup()

    def test_chrooted_postfix_reaches_the_socket_and_logs_meet_by_queue_id(self):
        sent = tagged(messages.alternative(), 'SERVICE')
        self.postfix.send(sent)
        delivered = self.sink.wait_for(['SERVICE'])['SERVICE'][0]
        self.assertIn(b'\r\nX-LUMARO: ', b'\r\n' + delivered)
        # The milter's line for the message, at info with facility mail, starts
        # with the queue id under which Postfix logged it.
        changed = [r for r in self.service.journal_records(self.journal_text().encode('latin-1'))
                   if re.match(r'\w+: changed ', r[3])]
        self.assertEqual(len(changed), 1, self.journal_text())
        facility, level, identifier, text = changed[0]
        self.assertEqual((facility, level, identifier), (2, 6, 'lumaro-milter'))
        queue_id = text.split(':')[0]
        self.assertRegex(self.postfix.log(tail=None), rf'postfix/smtpd\[\d+\]: {queue_id}: client=')


class DkimKeys:
    """A key of our own domain, example.org, and one of a remote sender's,
    example.net, with the file of public keys that stands in for DNS."""

    def __init__(self, folder):
        self.folder = folder
        self.public = os.path.join(folder, 'public-keys')
        with open(self.public, 'w') as keys:
            for domain in ('example.org', 'example.net'):
                os.mkdir(os.path.join(folder, domain))
                subprocess.run(['opendkim-genkey', '-D', os.path.join(folder, domain), '-d', domain, '-s', 'test'],
                               check=True, capture_output=True)
                with open(os.path.join(folder, domain, 'test.txt')) as f:
                    keys.write(f'test._domainkey.{domain} ' + ''.join(re.findall(r'"([^"]*)"', f.read())) + '\n')

    def private(self, domain):
        return os.path.join(self.folder, domain, 'test.private')

    def settings(self):
        return f'TestPublicKeys {self.public}\nRequireSafeKeys false\nSyslog no\n'


class OpenDkim:
    """Debian's opendkim as a milter on a loopback port, with the given settings."""

    def __init__(self, folder, name, settings):
        self.port = free_port()
        conf = os.path.join(folder, name + '.conf')
        with open(conf, 'w') as f:
            f.write(settings + f'Socket inet:{self.port}@127.0.0.1\n')
        self.log = open(os.path.join(folder, name + '.log'), 'wb')
        self.process = subprocess.Popen(['opendkim', '-f', '-x', conf], stdout=self.log, stderr=self.log)
        self.address = f'inet:127.0.0.1:{self.port}'
        if not listens(loopback(self.port), self.process):
            raise RuntimeError(f'opendkim {name} does not listen')

    def stop(self):
        self.process.terminate()
        self.process.wait(30)
        self.log.close()


class LumaroAndDkim(PostfixTestCase):
    """The README's recipe: a verifying OpenDKIM before the milter and a signing
    one after it. Outgoing mail is signed as converted, and verifies; incoming mail
    gets its verdict on the message as it arrived. The same milters in the other
    order, on a second port, show what the recipe prevents."""

    @classmethod
    def setUpClass(cls):
        cls.folder = BaseFolder()
        cls.base = cls.folder.path
        cls.dkim_folder = tempfile.mkdtemp(prefix='lumaro-dkim-')
        cls.keys = DkimKeys(cls.dkim_folder)
        cls.verifier = OpenDkim(cls.dkim_folder, 'verify', 'Mode v\n' + cls.keys.settings())
        cls.signer = OpenDkim(cls.dkim_folder, 'sign', 'Mode s\nDomain example.org\nSelector test\n'
                              f'KeyFile {cls.keys.private("example.org")}\nCanonicalization relaxed/relaxed\n' +
                              cls.keys.settings())
        cls.milter = cls.start_milter()
        cls.sink = Sink()
        recipe = f'{cls.verifier.address}, {cls.milter.address}, {cls.signer.address}'
        wrong = f'{cls.signer.address},{cls.milter.address},{cls.verifier.address}'
        cls.postfix = Postfix(None, cls.sink.port,
                              milters=f'smtpd_milters = {recipe}\nmilter_default_action = tempfail',
                              services=f'127.0.0.1:{{port}} inet n - n - - smtpd -o smtpd_milters={wrong}\n')

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        cls.verifier.stop()
        cls.signer.stop()
        shutil.rmtree(cls.dkim_folder, ignore_errors=True)

    def through_both_orders(self, key, data):
        """The message delivered through the recipe and through the wrong order."""
        self.postfix.send(tagged(data, key))
        self.postfix.send(tagged(data, key + 'WRONG'), port=self.postfix.ports[0])
        delivered = self.sink.wait_for([key, key + 'WRONG'])
        for copy in delivered.values():
            self.assertIn(b'\r\nX-LUMARO: ', b'\r\n' + copy[0])
        return delivered[key][0], delivered[key + 'WRONG'][0]

    def verification(self, data):
        path = os.path.join(self.dkim_folder, 'delivered.eml')
        with open(path, 'wb') as f:
            f.write(data)
        conf = os.path.join(self.dkim_folder, 'offline.conf')
        with open(conf, 'w') as f:
            f.write('Mode v\n' + self.keys.settings())
        # It exits 0 whatever the verdict.
        out = subprocess.run(['opendkim', '-x', conf, '-t', path], capture_output=True, text=True)
        return re.search(r'verification \(.*\) (\w+)', out.stdout + out.stderr)[1]

    @staticmethod
    def czech_message(sender, recipient):
        """A message that the milter converts, header and body."""
        return (f'From: {sender}\r\nTo: {recipient}\r\nSubject: ' + messages.ew('Faktura č. 7') +
                '\r\nDate: Tue, 08 Dec 2026 09:15:00 +0100\r\nMIME-Version: 1.0\r\n'
                'Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n' +
                messages.lines(messages.CZECH, '\r\n')).encode()

    def test_outgoing_mail_is_signed_as_converted(self):
        message = self.czech_message(messages.ew('Věra Šťastná') + ' <vera@example.org>', 'jan@example.net')
        recipe, wrong = self.through_both_orders('DKIMOUT', message)
        self.assertIn(b'd=example.org', recipe)
        self.assertEqual(self.verification(recipe), 'succeeded')
        self.assertEqual(self.verification(wrong), 'failed')

    def test_incoming_mail_gets_its_verdict_before_conversion(self):
        # Signed as the sender's server would have, with python3-dkim.
        signed = subprocess.run(['dkimsign', '--bcanon', 'relaxed', 'test', 'example.net',
                                 self.keys.private('example.net')], capture_output=True, check=True,
                                input=self.czech_message('jan@example.net', 'vera@example.org')).stdout
        self.assertEqual(self.verification(signed), 'succeeded')
        recipe, wrong = self.through_both_orders('DKIMIN', signed)

        def verdict(data):
            return re.search(rb'(?im)^Authentication-Results:[^\r]*(?:\r\n[ \t][^\r]*)*?dkim=(\w+)', data)[1]
        self.assertEqual(verdict(recipe), b'pass')
        self.assertEqual(verdict(wrong), b'fail')


def main():
    global ARGS
    ARGS, argv = test_arguments()
    if os.geteuid() != 0:
        sys.exit('the Postfix tests run a Postfix instance and need root')
    unittest.main(argv=argv, verbosity=2)


if __name__ == '__main__':
    main()
