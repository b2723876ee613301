"""The Debian package: exactly its files where Debian puts them, Depends from
the libraries its programs use, and, installed into a scratch root with dpkg,
a lumaro-host that converts a message with the installed module, manual pages
that render without warnings, and nothing left behind by `dpkg -r` but the
conffile, which a purge removes. With --milter, the package also carries
lumaro-milter: its service, run as the unit says from the installed files,
converts a message and logs to the journal with facility mail; its user and
folders are made on installation and Postfix joins its group; its conffile keeps
an administrator's changes across an upgrade; a removal warns while Postfix still
names its socket; a purge removes what the installation made.

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
from service_unit import Service, account_entries, option_values, unit_entries  # noqa: E402

ARGS = None
UNIT = 'lib/systemd/system/lumaro-milter.service'
CONFFILE = 'etc/lumaro/lumaro.ini'
LOGROTATE = 'etc/logrotate.d/lumaro'
SCRIPTS = ['postinst', 'prerm', 'postrm']
# What the postinst makes with systemd-tmpfiles: the socket's folder in Postfix's
# chroot and the activity log's, path: (owner, group, mode).
FOLDERS = {'var/spool/postfix/lumaro': ('lumaro', 'lumaro', 0o750),
           'var/log/lumaro': ('lumaro', 'adm', 0o2750)}
# The user and group postfix, as Postfix makes them, in passwd and group.
POSTFIX_ACCOUNT = ('postfix:x:101:107::/var/spool/postfix:/usr/sbin/nologin\n', 'postfix:x:107:\n')
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
                      'usr/lib/tmpfiles.d/lumaro.conf': 0o644,
                      CONFFILE: 0o644,
                      LOGROTATE: 0o644,
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
        # libmilter for the milter, which also needs systemd-sysusers and
        # systemd-tmpfiles to make its user and folders.
        relations = field('Depends').split(', ')
        depends = [d.split()[0] for d in relations]
        self.assertIn('libc6', depends)
        self.assertIn('libstdc++6', depends)
        self.assertEqual('libmilter1.0.1' in depends, ARGS.milter)
        self.assertEqual('systemd | systemd-standalone-sysusers | systemd-sysusers' in relations, ARGS.milter)
        self.assertEqual('systemd | systemd-standalone-tmpfiles | systemd-tmpfiles' in relations, ARGS.milter)

    def test_control_files(self):
        members = control_members()
        extra = {n: m for n, m in members.items() if n not in ('control', 'md5sums')}
        if not ARGS.milter:
            self.assertEqual(extra, {})
            return
        self.assertEqual(sorted(extra), sorted(['conffiles'] + SCRIPTS))
        self.assertEqual(extra['conffiles'], (0o644, f'/{CONFFILE}\n/{LOGROTATE}\n'.encode()))
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
        # The accounts every Debian system has (the group adm among them), and Postfix's.
        os.makedirs(os.path.join(cls.root, 'etc'))
        for name, postfix in zip(['passwd', 'group'], POSTFIX_ACCOUNT):
            with open(f'/usr/share/base-passwd/{name}.master') as f, \
                    open(os.path.join(cls.root, 'etc', name), 'w') as out:
                out.write(f.read() + postfix)
        # The service's user walks through it to the installed files.
        os.chmod(cls.root, 0o755)
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

    def service(self):
        return Service(self.read(UNIT), self.installed('etc'))

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
        # The socket lies where Debian's chrooted Postfix reaches it, in a folder
        # the service may write; its lines go to the mail log.
        self.assertRegex(options['--socket'], r'^unix:/var/spool/postfix/lumaro/[^/]+$')
        self.assertEqual(set(service['ReadWritePaths'].split()), {'/' + f for f in FOLDERS})
        self.assertEqual((service['SyslogIdentifier'], service['SyslogFacility']), ('lumaro-milter', 'mail'))
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
    def test_07_postinst_makes_the_service_user_and_its_folders(self):
        users = account_entries(self.installed('etc/passwd'))
        groups = account_entries(self.installed('etc/group'))
        self.assertIn('lumaro', users)
        self.assertIn('lumaro', groups)
        uid, gid, home, shell = users['lumaro'][2], users['lumaro'][3], users['lumaro'][5], users['lumaro'][6]
        self.assertEqual(gid, groups['lumaro'][2])
        self.assertLess(int(uid), 1000)
        self.assertEqual(home, '/nonexistent')
        self.assertTrue(shell.endswith('nologin'), shell)
        self.assertIn('postfix', groups['lumaro'][3].split(','))
        for folder, (owner, group, mode) in FOLDERS.items():
            with self.subTest(folder=folder):
                info = os.stat(self.installed(folder))
                self.assertEqual((info.st_uid, info.st_gid, info.st_mode & 0o7777),
                                 (int(users[owner][2]), int(groups[group][2]), mode))

    @requires_milter
    def test_08_service_converts_a_message_and_logs_to_the_mail_log(self):
        service = self.service()
        options = service.options()
        # The unit's command line with its paths moved into the scratch root, and
        # the packaged configuration with its log moved there too.
        def into_root(value):
            kind = 'unix:' if value.startswith('unix:') else ''
            path = value.removeprefix(kind)
            return kind + self.installed(path) if path.startswith('/') else value
        ini = self.read(os.path.join(options['--base'], 'lumaro.ini'))
        log = self.installed(re.search(r'(?m)^LogFile=(/.*)$', ini).group(1))
        self.addCleanup(lambda: os.path.exists(log) and os.remove(log))
        base = tempfile.mkdtemp(prefix='lumaro-deb-base-')
        self.addCleanup(shutil.rmtree, base)
        os.chmod(base, 0o755)
        moved = {name: into_root(value) for name, value in options.items()}
        moved.update({'--base': base, '--host': HOST_NAME})
        socket_path = moved['--socket'].removeprefix('unix:')
        # What systemd makes for the service (RuntimeDirectory=), and removes.
        runtime = moved['--scratch']
        self.assertEqual(runtime, self.installed('/run/' + service.value('RuntimeDirectory')))
        os.makedirs(runtime, mode=int(service.value('RuntimeDirectoryMode'), 8))
        self.addCleanup(shutil.rmtree, self.installed('run'))
        with tempfile.TemporaryFile() as stderr:
            start = service.popen_arguments(stderr, runtime)
            os.chown(runtime, start['user'], start['group'])
            milter = subprocess.Popen([self.installed(service.command()[0]), *(a for o in moved.items() for a in o)],
                                      **start)
            try:
                fields, body = split_message(MESSAGE)
                for queue_id, log_file in [('4AB12C3D4E', log), ('5BC23D4E5F', '/nonexistent/lumaro.log')]:
                    with open(os.path.join(base, 'lumaro.ini'), 'w') as f:
                        f.write(re.sub(r'(?m)^LogFile=.*$', f'LogFile={log_file}', ini))
                    client = self.connect(socket_path, milter, stderr)
                    verdict, edits = client.message(fields, body, queue_id=queue_id)
                    client.close()
                    if queue_id == '4AB12C3D4E':
                        converted = queue_file(*apply_edits(fields, body, edits))
                        milter.send_signal(signal.SIGHUP)
                    self.assertEqual(verdict, 'continue')
                # The MTA's user reaches it through the group, as the unit says.
                self.assertEqual(os.stat(socket_path).st_mode & 0o777, 0o660)
            finally:
                milter.send_signal(signal.SIGTERM)
                milter.wait(60)
            stderr.seek(0)
            written = stderr.read()
        self.assertEqual(milter.returncode, 0, written)
        with open(log, 'rb') as f:
            check_converted(self, ARGS.version, 0, converted, f.read(), job=r'4AB12C3D4E +sender@example\.cz')
        # Administrators (the group adm) read the activity log.
        info = os.stat(log)
        self.assertEqual((info.st_mode & 0o777, info.st_gid), (0o640, int(self.group('adm')[2])))
        # Every line reaches the mail log with its priority, the queue id first
        # (info 6, error 3); a HUP leaves the milter running.
        records = service.journal_records(written)
        self.assertEqual({r[:3] for r in records}, {(2, 6, 'lumaro-milter'), (2, 3, 'lumaro-milter')}, records)
        texts = {(level, text.split(' (')[0]) for _, level, _, text in records}
        for expected in [(6, '4AB12C3D4E: changed'), (6, 'SIGHUP: nothing to reload, lumaro.ini is read afresh '
                                                         'for every message'), (3, '5BC23D4E5F: failed')]:
            self.assertIn(expected, texts)
        # The scratch queue goes with the milter.
        self.assertEqual(os.listdir(runtime), [])

    def group(self, name):
        return account_entries(self.installed('etc/group'))[name]

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

    def test_10_remove_leaves_only_the_conffiles_and_warns_while_postfix_names_the_socket(self):
        before_purge = {CONFFILE, LOGROTATE, SERVICE_STATE} if ARGS.milter else set()
        main_cf = self.installed('etc/postfix/main.cf')
        if ARGS.milter:
            os.makedirs(os.path.dirname(main_cf))
            with open(main_cf, 'w') as f:
                f.write('smtpd_milters = unix:/lumaro/milter.sock\nnon_smtpd_milters = $smtpd_milters\n')
        removed = run(*self.dpkg, '--remove', 'lumaro', text=True)
        if ARGS.milter:
            shutil.rmtree(os.path.dirname(main_cf))
            if shutil.which('postconf'):
                warning = re.search(r'(?ms)^lumaro: warning: .*?postfix reload$', removed.stderr)
                self.assertTrue(warning, removed.stderr)
                self.assertIn('smtpd_milters = unix:/lumaro/milter.sock', warning[0])
                self.assertIn('non_smtpd_milters = unix:/lumaro/milter.sock', warning[0])
        self.assertEqual(self.left(), before_purge)
        # Nor any folder of the package's but the conffiles' and those the
        # postinst made.
        self.assertEqual(sorted(os.listdir(self.root)), ['etc', 'var'])

    @requires_milter
    def test_11_purge_removes_what_the_installation_made(self):
        log_folder = self.installed('var/log/lumaro')
        open(os.path.join(log_folder, 'lumaro.log'), 'w').close()
        run(*self.dpkg, '--purge', 'lumaro')
        self.assertEqual(self.left(), set())
        self.assertFalse(os.path.exists(self.installed('etc/lumaro')))
        # The postinst's folders, and Postfix's spool folder made only for one of them.
        self.assertFalse(os.path.exists(self.installed('var/spool/postfix')))
        self.assertFalse(os.path.exists(log_folder))
        # The user and group stay, as Debian keeps system users: files may still be
        # theirs. Postfix is no longer in the group.
        self.assertIn('lumaro', account_entries(self.installed('etc/passwd')))
        self.assertEqual(self.group('lumaro')[3], '')

    def left(self):
        """Files in the scratch root outside dpkg's records and the accounts."""
        accounts = r'etc/(passwd|group|g?shadow)-?|etc/\.pwd\.lock'
        return {p for p in files_below(self.root)
                if not p.startswith('var/lib/dpkg/') and not re.fullmatch(accounts, p)}


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
