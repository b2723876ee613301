"""The Debian package: exactly its files where Debian puts them, Depends from
the libraries its programs use, and, installed into a scratch root with dpkg,
a lumaro-host that converts a message with the installed module, manual pages
that render without warnings, and nothing left behind by `dpkg -r` but the
conffile, which a purge removes. With --milter, the package also carries
lumaro-milter: its service, run as the unit says from the installed files,
converts a message; its user is made on installation; its conffile keeps an
administrator's changes across an upgrade.

    deb_test.py --deb FILE --version V --module-dir lib/MULTIARCH/lumaro [--milter] [--lintian]"""

import argparse
import functools
import io
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest

from release import HOST_NAME, MESSAGE, check_converted

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'milter'))
from milterclient import MilterClient, apply_edits, queue_file, split_message  # noqa: E402

ARGS = None
UNIT = 'lib/systemd/system/lumaro-milter.service'
CONFFILE = 'etc/lumaro/lumaro.ini'
SCRIPTS = ['postinst', 'prerm', 'postrm']
# What systemd-sysusers writes when it makes the milter's user and group.
ACCOUNT_FILES = {'etc/passwd', 'etc/group', 'etc/shadow', 'etc/gshadow', 'etc/.pwd.lock'}
# Where deb-systemd-helper records the service's links, for a purge to remove them.
SERVICE_STATE = 'var/lib/systemd/deb-systemd-helper-enabled/lumaro-milter.service.dsh-also'


def run(*command, **kw):
    return subprocess.run(command, capture_output=True, check=True, **kw)


def expected_files():
    """Path: mode of every file in the package."""
    files = {'usr/bin/lumaro-host': 0o755,
             f'usr/{ARGS.module_dir}/lumaro.so': 0o644,
             'usr/share/doc/lumaro/README.md.gz': 0o644,
             'usr/share/doc/lumaro/changelog.Debian.gz': 0o644,
             'usr/share/doc/lumaro/copyright': 0o644,
             'usr/share/doc/lumaro/examples/lumaro.ini': 0o644,
             'usr/share/man/man1/lumaro-host.1.gz': 0o644}
    if ARGS.milter:
        files.update({'usr/sbin/lumaro-milter': 0o755,
                      UNIT: 0o644,
                      'usr/lib/sysusers.d/lumaro.conf': 0o644,
                      CONFFILE: 0o644,
                      'usr/share/man/man8/lumaro-milter.8.gz': 0o644})
    return files


def manual_pages():
    """Installed page: the start of its NAME line."""
    pages = {'usr/share/man/man1/lumaro-host.1.gz': 'lumaro-host - run the Lumaro module'}
    if ARGS.milter:
        pages['usr/share/man/man8/lumaro-milter.8.gz'] = 'lumaro-milter - convert UTF-8 mail'
    return pages


def control_members():
    """Name: (mode, bytes) of the files in the package's control archive."""
    data = run('dpkg-deb', '--ctrl-tarfile', ARGS.deb).stdout
    with tarfile.open(fileobj=io.BytesIO(data)) as archive:
        return {m.name.removeprefix('./'): (m.mode, archive.extractfile(m).read())
                for m in archive.getmembers() if m.isfile()}


def unit_entries(text):
    """(section, key, value) of a unit file, continued lines joined."""
    entries, section, pending = [], None, ''
    for line in text.splitlines():
        if pending:
            line, pending = pending + ' ' + line.strip(), ''
        elif not line.strip() or line.lstrip()[0] in '#;':
            continue
        if line.endswith('\\'):
            pending = line[:-1].rstrip()
            continue
        if line.startswith('['):
            section = line.strip('[]')
        else:
            key, _, value = line.partition('=')
            entries.append((section, key.strip(), value.strip()))
    return entries


def option_values(command):
    """--name VALUE and --name=VALUE of a command line, as a dict."""
    values, args = {}, iter(command[1:])
    for arg in args:
        name, eq, value = arg.partition('=')
        values[name] = value if eq else next(args)
    return values


def files_below(root):
    return {os.path.relpath(os.path.join(folder, n), root)
            for folder, _, names in os.walk(root) for n in names}


def requires_milter(test):
    @functools.wraps(test)
    def checked(self):
        if not ARGS.milter:
            self.skipTest('lumaro-milter is not built')
        test(self)
    return checked


class Package(unittest.TestCase):
    def test_holds_exactly_its_files_owned_by_root(self):
        listing = run('dpkg-deb', '--contents', ARGS.deb, text=True).stdout.splitlines()
        files, folders = {}, set()
        for row in listing:
            mode, owner, _, _, _, path = row.split(None, 5)
            self.assertEqual(owner, 'root/root', row)
            path = path.removeprefix('./')
            if mode.startswith('d'):
                folders.add(path.rstrip('/'))
            else:
                self.assertTrue(mode.startswith('-'), row)
                bits = sum(1 << (8 - i) for i, c in enumerate(mode[1:]) if c != '-')
                files[path] = bits
        self.assertEqual(files, expected_files())
        # No folder but those that lead to the files.
        leading = {os.path.dirname(p) for p in files}
        for p in list(leading):
            while p:
                leading.add(p)
                p = os.path.dirname(p)
        self.assertEqual(folders, leading)

    def test_control_fields(self):
        def field(name):
            return run('dpkg-deb', '--field', ARGS.deb, name, text=True).stdout.strip()
        self.assertEqual(field('Package'), 'lumaro')
        self.assertEqual(field('Version'), f'{ARGS.version}-1')
        architecture = run('dpkg', '--print-architecture', text=True).stdout.strip()
        self.assertEqual(field('Architecture'), architecture)
        self.assertEqual(os.path.basename(ARGS.deb), f'lumaro_{ARGS.version}-1_{architecture}.deb')
        # What dpkg-shlibdeps found in the programs: the C and C++ runtimes, and
        # libmilter for the milter, which also needs systemd-sysusers to make its user.
        relations = field('Depends').split(', ')
        depends = [d.split()[0] for d in relations]
        self.assertIn('libc6', depends)
        self.assertIn('libstdc++6', depends)
        self.assertEqual('libmilter1.0.1' in depends, ARGS.milter)
        self.assertEqual('systemd | systemd-standalone-sysusers | systemd-sysusers' in relations, ARGS.milter)

    def test_control_files(self):
        members = control_members()
        extra = {n: m for n, m in members.items() if n not in ('control', 'md5sums')}
        if not ARGS.milter:
            self.assertEqual(extra, {})
            return
        self.assertEqual(sorted(extra), sorted(['conffiles'] + SCRIPTS))
        self.assertEqual(extra['conffiles'], (0o644, f'/{CONFFILE}\n'.encode()))
        for name in SCRIPTS:
            with self.subTest(script=name):
                mode, text = extra[name]
                self.assertEqual(mode, 0o755)
                self.assertTrue(text.startswith(b'#!/bin/sh\n'))
                run('sh', '-n', '-c', text.decode())


class Installed(unittest.TestCase):
    """Installed with dpkg into a scratch root whose package list is this
    machine's, so that Depends is checked against what is really there. The
    maintainer scripts run outside the root and act on it through DPKG_ROOT."""

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix='lumaro-deb-root-')
        admin = os.path.join(cls.root, 'var/lib/dpkg')
        for folder in ['info', 'updates', 'triggers']:
            os.makedirs(os.path.join(admin, folder))
        shutil.copyfile('/var/lib/dpkg/status', os.path.join(admin, 'status'))
        open(os.path.join(admin, 'available'), 'w').close()
        # Every file, also where this machine's dpkg settings leave out documents.
        cls.dpkg = ['dpkg', f'--root={cls.root}', '--log=/dev/null', '--path-include=*',
                    '--force-script-chrootless']
        if os.geteuid() != 0:
            if not shutil.which('fakeroot'):
                raise unittest.SkipTest('dpkg needs root or fakeroot')
            cls.dpkg.insert(0, 'fakeroot')
        run(*cls.dpkg, '--install', ARGS.deb)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def installed(self, path):
        """Where an absolute or relative path of the package lies in the scratch root."""
        return os.path.join(self.root, path.lstrip('/'))

    def read(self, path):
        with open(self.installed(path), encoding='utf-8') as f:
            return f.read()

    def host(self, *args, stdin=b''):
        env = {k: v for k, v in os.environ.items() if not k.startswith('LUMARO_')}
        r = subprocess.run([self.installed('usr/bin/lumaro-host'), *args], input=stdin,
                           capture_output=True, env=env, timeout=60)
        return r.returncode, r.stdout, r.stderr

    def unit(self):
        return unit_entries(self.read(UNIT))

    def unit_value(self, section, key):
        values = [v for s, k, v in self.unit() if (s, k) == (section, key)]
        self.assertEqual(len(values), 1, f'{section} {key}: {values}')
        return values[0]

    def test_01_installed_files_are_in_place(self):
        for path, mode in expected_files().items():
            with self.subTest(path=path):
                self.assertEqual(os.stat(self.installed(path)).st_mode & 0o7777, mode)

    def test_02_host_converts_with_the_installed_module(self):
        # Nothing else lies where lumaro-host looks: the module it loads is the package's.
        check_converted(self, ARGS.version, *self.host('filter', '--host', HOST_NAME, stdin=MESSAGE))
        status, out, err = self.host('startup')
        self.assertEqual(status, 0, err)
        self.assertIn(f'Lumaro {ARGS.version} started'.encode(), err)

    def test_03_manual_pages_render_without_warnings(self):
        for page, name in manual_pages().items():
            with self.subTest(page=page):
                r = subprocess.run(['man', '--warnings', '-l', self.installed(page)],
                                   capture_output=True, text=True,
                                   env=dict(os.environ, MANWIDTH='80', LC_ALL='C.UTF-8', MAN_DISABLE_SECCOMP='1'))
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stderr, '')
                self.assertIn(name, ' '.join(r.stdout.split()))
                self.assertIn(f'Lumaro {ARGS.version}', r.stdout)

    def test_02_copyright_is_machine_readable_and_mit(self):
        text = self.read('usr/share/doc/lumaro/copyright')
        paragraphs = [dict(re.findall(r'(?m)^([A-Za-z-]+): ?(.*)$', p)) for p in text.split('\n\n')]
        self.assertEqual(paragraphs[0]['Format'],
                         'https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/')
        self.assertEqual((paragraphs[1]['Files'], paragraphs[1]['Copyright'], paragraphs[1]['License']),
                         ('*', '2026 The Lumaro developers', 'Expat'))
        self.assertIn('Permission is hereby granted, free of charge', paragraphs[2]['License'] + text)

    @requires_milter
    def test_04_milter_checks_the_conffile(self):
        r = subprocess.run([self.installed('usr/sbin/lumaro-milter'), '--check-config', '--base',
                            self.installed('etc/lumaro')], capture_output=True, text=True, timeout=60,
                           env={k: v for k, v in os.environ.items() if not k.startswith('LUMARO_')})
        self.assertIn('CharSet=ISO-8859-2', r.stdout)
        self.assertIn('code page 1250 (WINDOWS-1250), from the script of CharSet', r.stdout)
        # The service's log folder may be missing on this machine; nothing else is wrong.
        problems = r.stdout.split('Problems:\n')[1:]
        self.assertTrue(all('activity log' in p for p in ''.join(problems).splitlines()), r.stdout)

    @requires_milter
    def test_04_milter_answers_help(self):
        r = subprocess.run([self.installed('usr/sbin/lumaro-milter'), '--help'], capture_output=True,
                           text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn('Usage: lumaro-milter --socket ADDRESS', r.stdout)

    @requires_milter
    def test_05_unit_runs_the_installed_milter_as_its_own_user(self):
        service = {k: v for s, k, v in self.unit() if s == 'Service'}
        for key, value in {'User': 'lumaro', 'Group': 'lumaro', 'RuntimeDirectory': 'lumaro',
                           'ProtectSystem': 'strict', 'PrivateTmp': 'yes', 'NoNewPrivileges': 'yes'}.items():
            with self.subTest(key=key):
                self.assertEqual(service.get(key), value)
        self.assertEqual(self.unit_value('Install', 'WantedBy'), 'multi-user.target')
        command = shlex.split(self.unit_value('Service', 'ExecStart'))
        options = option_values(command)
        # The program, the configuration and the socket the unit names are the
        # package's; the milter finds the module from where it lies.
        self.assertIn(command[0].lstrip('/'), expected_files())
        self.assertIn(os.path.join(options['--base'], 'lumaro.ini').lstrip('/'), expected_files())
        self.assertRegex(options['--socket'], r'^unix:/run/lumaro/[^/]+$')
        self.assertNotIn('--module', options)

    @requires_milter
    def test_06_unit_file_verifies(self):
        if not shutil.which('systemd-analyze'):
            self.skipTest('no systemd-analyze: only the keys are checked')
        # The unit as installed, its program found in the scratch root; what it
        # depends on comes from this machine's units.
        program = shlex.split(self.unit_value('Service', 'ExecStart'))[0]
        folder = tempfile.mkdtemp(prefix='lumaro-deb-unit-')
        try:
            unit = os.path.join(folder, os.path.basename(UNIT))
            with open(unit, 'w') as f:
                f.write(self.read(UNIT).replace(f'ExecStart={program} ',
                                                f'ExecStart={self.installed(program)} '))
            r = subprocess.run(['systemd-analyze', 'verify', '--man=no', unit], capture_output=True, text=True)
        finally:
            shutil.rmtree(folder)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertNotIn('lumaro-milter', r.stdout + r.stderr)

    @requires_milter
    def test_07_postinst_makes_the_service_user(self):
        users = {f[0]: f for f in (line.split(':') for line in self.read('etc/passwd').splitlines())}
        groups = {f[0]: f for f in (line.split(':') for line in self.read('etc/group').splitlines())}
        self.assertIn('lumaro', users)
        self.assertIn('lumaro', groups)
        uid, gid, home, shell = users['lumaro'][2], users['lumaro'][3], users['lumaro'][5], users['lumaro'][6]
        self.assertEqual(gid, groups['lumaro'][2])
        self.assertLess(int(uid), 1000)
        self.assertEqual(home, '/nonexistent')
        self.assertTrue(shell.endswith('nologin'), shell)

    @requires_milter
    def test_08_service_converts_a_message(self):
        command = shlex.split(self.unit_value('Service', 'ExecStart'))
        options = option_values(command)
        # The unit's command line with its paths moved into the scratch root, and
        # the packaged configuration with its log moved there too.
        def into_root(value):
            kind = 'unix:' if value.startswith('unix:') else ''
            path = value.removeprefix(kind)
            return kind + self.installed(path) if path.startswith('/') else value
        ini = self.read(os.path.join(options['--base'], 'lumaro.ini'))
        log = self.installed(re.search(r'(?m)^LogFile=(/.*)$', ini).group(1))
        base, scratch = tempfile.mkdtemp(prefix='lumaro-deb-base-'), self.installed('tmp')
        with open(os.path.join(base, 'lumaro.ini'), 'w') as f:
            f.write(re.sub(r'(?m)^LogFile=.*$', f'LogFile={log}', ini))
        moved = {name: into_root(value) for name, value in options.items()}
        moved.update({'--base': base, '--host': HOST_NAME})
        socket_path = moved['--socket'].removeprefix('unix:')
        # What systemd makes for the service, and removes: its runtime and log
        # folders, and /tmp.
        for folder in [os.path.dirname(socket_path), os.path.dirname(log), scratch]:
            os.makedirs(folder, mode=0o750, exist_ok=True)
        for folder in [base] + [self.installed(f) for f in ['tmp', 'run', 'var/log']]:
            self.addCleanup(shutil.rmtree, folder)
        env = {k: v for k, v in os.environ.items() if not k.startswith('LUMARO_')}
        with tempfile.TemporaryFile() as stderr:
            milter = subprocess.Popen([self.installed(command[0]), *(a for o in moved.items() for a in o)],
                                      stderr=stderr, env=dict(env, TMPDIR=scratch))
            try:
                fields, body = split_message(MESSAGE)
                client = self.connect(socket_path, milter, stderr)
                verdict, edits = client.message(fields, body, queue_id='4AB12C3D4E')
                client.close()
                # The MTA's user reaches it through the group, as the unit says.
                self.assertEqual(os.stat(socket_path).st_mode & 0o777, 0o660)
            finally:
                milter.send_signal(signal.SIGTERM)
                milter.wait(60)
            stderr.seek(0)
            self.assertEqual(milter.returncode, 0, stderr.read())
        self.assertEqual(verdict, 'continue')
        with open(log, 'rb') as f:
            check_converted(self, ARGS.version, 0, queue_file(*apply_edits(fields, body, edits)), f.read(),
                            job=r'4AB12C3D4E +sender@example\.cz')
        # The scratch queue goes with the milter.
        self.assertEqual(os.listdir(scratch), [])

    def connect(self, path, milter, stderr):
        deadline = time.time() + 20
        while True:
            if milter.poll() is not None:
                stderr.seek(0)
                self.fail('lumaro-milter ended at once: ' + stderr.read().decode('latin-1'))
            try:
                return MilterClient(path)
            except OSError:
                if time.time() > deadline:
                    raise
                time.sleep(0.05)

    @requires_milter
    def test_09_upgrade_keeps_a_changed_conffile(self):
        changed = self.read(CONFFILE) + 'CharSet=windows-1250\n'
        with open(self.installed(CONFFILE), 'w') as f:
            f.write(changed)
        run(*self.dpkg, '--install', ARGS.deb)
        self.assertEqual(self.read(CONFFILE), changed)
        conffiles = run('dpkg-query', f'--root={self.root}', '--showformat=${Conffiles}', '--show', 'lumaro',
                        text=True).stdout
        self.assertIn(f'/{CONFFILE} ', conffiles)

    def test_10_remove_leaves_only_the_conffile(self):
        before_purge = {CONFFILE, SERVICE_STATE} | ACCOUNT_FILES if ARGS.milter else set()
        run(*self.dpkg, '--remove', 'lumaro')
        self.assertEqual(self.left(), before_purge)
        # Nor any folder of the package's but the conffile's.
        self.assertEqual(sorted(os.listdir(self.root)), ['etc', 'var'] if ARGS.milter else ['var'])

    @requires_milter
    def test_11_purge_removes_the_conffile_and_the_log(self):
        log_folder = self.installed('var/log/lumaro')
        os.makedirs(log_folder, exist_ok=True)
        open(os.path.join(log_folder, 'lumaro.log'), 'w').close()
        run(*self.dpkg, '--purge', 'lumaro')
        # The user and group stay, as Debian keeps system users: files may still be theirs.
        self.assertEqual(self.left(), ACCOUNT_FILES)
        self.assertFalse(os.path.exists(self.installed('etc/lumaro')))
        self.assertFalse(os.path.exists(log_folder))

    def left(self):
        """Files in the scratch root outside dpkg's own records."""
        return {p for p in files_below(self.root) if not p.startswith('var/lib/dpkg/')}


class Lintian(unittest.TestCase):
    def test_lintian_reports_no_errors(self):
        r = subprocess.run(['lintian', '--fail-on', 'error', '--display-info', '--pedantic',
                            ARGS.deb], capture_output=True, text=True)
        print(r.stdout, end='', file=sys.stderr)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertNotRegex(r.stdout, r'(?m)^E: ')


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument('--deb', required=True)
    parser.add_argument('--version', required=True)
    parser.add_argument('--module-dir', required=True)
    parser.add_argument('--milter', action='store_true')
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == '__main__':
    main()
