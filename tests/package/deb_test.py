"""The Debian package: exactly its files where Debian puts them, Depends from
the libraries its programs use, and, installed into a scratch root with dpkg,
a lumaro-host that converts a message with the installed module, a manual page
that renders without warnings, and nothing left behind by `dpkg -r`.

    deb_test.py --deb FILE --version V --module-dir lib/MULTIARCH/lumaro [--lintian]"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from release import HOST_NAME, MESSAGE, check_converted

ARGS = None


def run(*command, **kw):
    return subprocess.run(command, capture_output=True, check=True, **kw)


def expected_files():
    """Path: mode of every file in the package."""
    return {'usr/bin/lumaro-host': 0o755,
            f'usr/{ARGS.module_dir}/lumaro.so': 0o644,
            'usr/share/doc/lumaro/README.md.gz': 0o644,
            'usr/share/doc/lumaro/changelog.Debian.gz': 0o644,
            'usr/share/doc/lumaro/copyright': 0o644,
            'usr/share/doc/lumaro/examples/lumaro.ini': 0o644,
            'usr/share/man/man1/lumaro-host.1.gz': 0o644}


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
        # What dpkg-shlibdeps found in the programs: the C and C++ runtimes.
        depends = [d.split()[0] for d in field('Depends').split(', ')]
        self.assertIn('libc6', depends)
        self.assertIn('libstdc++6', depends)


class Installed(unittest.TestCase):
    """Installed with dpkg into a scratch root whose package list is this
    machine's, so that Depends is checked against what is really there."""

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix='lumaro-deb-root-')
        admin = os.path.join(cls.root, 'var/lib/dpkg')
        for folder in ['info', 'updates', 'triggers']:
            os.makedirs(os.path.join(admin, folder))
        shutil.copyfile('/var/lib/dpkg/status', os.path.join(admin, 'status'))
        open(os.path.join(admin, 'available'), 'w').close()
        # Every file, also where this machine's dpkg settings leave out documents.
        cls.dpkg = ['dpkg', f'--root={cls.root}', '--log=/dev/null', '--path-include=*']
        if os.geteuid() != 0:
            if not shutil.which('fakeroot'):
                raise unittest.SkipTest('dpkg needs root or fakeroot')
            cls.dpkg.insert(0, 'fakeroot')
        run(*cls.dpkg, '--install', ARGS.deb)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def installed(self, path):
        return os.path.join(self.root, path)

    def host(self, *args, stdin=b''):
        env = {k: v for k, v in os.environ.items() if not k.startswith('LUMARO_')}
        r = subprocess.run([self.installed('usr/bin/lumaro-host'), *args], input=stdin,
                           capture_output=True, env=env, timeout=60)
        return r.returncode, r.stdout, r.stderr

    def test_1_installed_files_are_in_place(self):
        for path, mode in expected_files().items():
            with self.subTest(path=path):
                self.assertEqual(os.stat(self.installed(path)).st_mode & 0o7777, mode)

    def test_2_host_converts_with_the_installed_module(self):
        # Nothing else lies where lumaro-host looks: the module it loads is the package's.
        check_converted(self, ARGS.version, *self.host('filter', '--host', HOST_NAME, stdin=MESSAGE))
        status, out, err = self.host('startup')
        self.assertEqual(status, 0, err)
        self.assertIn(f'Lumaro {ARGS.version} started'.encode(), err)

    def test_3_manual_page_renders_without_warnings(self):
        r = subprocess.run(['man', '--warnings', '-l', self.installed('usr/share/man/man1/lumaro-host.1.gz')],
                           capture_output=True, text=True, env=dict(os.environ, MANWIDTH='80', LC_ALL='C.UTF-8',
                                                                    MAN_DISABLE_SECCOMP='1'))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, '')
        self.assertIn('lumaro-host - run the Lumaro module', r.stdout)
        self.assertIn(f'Lumaro {ARGS.version}', r.stdout)

    def test_4_remove_leaves_nothing_behind(self):
        run(*self.dpkg, '--remove', 'lumaro')
        left = [os.path.relpath(os.path.join(folder, n), self.root)
                for folder, _, names in os.walk(self.root) for n in names]
        self.assertEqual([p for p in left if not p.startswith('var/lib/dpkg/')], [])
        # Nor any folder of the package's.
        self.assertEqual(os.listdir(self.root), ['var'])


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
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == '__main__':
    main()
