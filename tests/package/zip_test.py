"""The Windows release archive: exactly its five files with the right checksums,
texts Windows' own tools read, version resources that name the release, and,
where this machine can run the archive's programs, the host program from a
fresh unpacking that converts a message with the DLL beside it.

    zip_test.py --zip FILE --version V [--wine LOADER --wine-arch win32|win64]

Without --wine only what the files themselves show is checked."""

import argparse
import configparser
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

from pe_version import version_info
from release import HOST_NAME, MESSAGE, check_converted

ARGS = None
PROGRAMS = {'lumaro.dll': 2, 'lumaro-host.exe': 1}  # name: VFT_DLL or VFT_APP
TEXTS = ['lumaro.ini.sample', 'INSTALL.txt', 'LICENSE.txt']
SUMMED = ['lumaro.dll', 'lumaro-host.exe', 'lumaro.ini.sample', 'INSTALL.txt', 'LICENSE.txt']
SETTINGS = {'logfile': 'lumaro.log', 'tagname': 'X-LUMARO', 'queue': '', 'charset': 'ISO-8859-2', 'codepage': ''}

def unpack(folder):
    with zipfile.ZipFile(ARGS.zip) as z:
        z.extractall(folder)


class Contents(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix='lumaro-zip-')
        unpack(cls.folder)
        with zipfile.ZipFile(ARGS.zip) as z:
            cls.names = z.namelist()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def read(self, name):
        with open(os.path.join(self.folder, name), 'rb') as f:
            return f.read()

    def test_holds_exactly_the_release_files(self):
        self.assertEqual(sorted(self.names), sorted(SUMMED + ['SHA256SUMS']))

    def test_checksums_cover_the_other_files_and_are_right(self):
        lines = self.read('SHA256SUMS').decode('ascii').split('\n')
        self.assertEqual(lines[-1], '', 'the last line ends with a line break')
        sums = {}
        for line in lines[:-1]:
            digest, name = line.split('  ', 1)
            sums[name] = digest
        self.assertEqual(sorted(sums), sorted(SUMMED))
        for name, digest in sums.items():
            with self.subTest(name=name):
                self.assertEqual(digest, hashlib.sha256(self.read(name)).hexdigest())

    def test_texts_have_cr_lf_line_ends(self):
        for name in TEXTS:
            with self.subTest(name=name):
                text = self.read(name)
                self.assertTrue(text.endswith(b'\r\n'))
                self.assertEqual(text.count(b'\n'), text.count(b'\r\n'), 'a line ends in LF alone')
                self.assertEqual(text.count(b'\r'), text.count(b'\r\n'), 'a CR stands alone')
                text.decode('ascii')

    def test_install_notes_name_this_release(self):
        text = self.read('INSTALL.txt').decode('ascii')
        self.assertTrue(text.startswith(f'Lumaro {ARGS.version} for Windows'))
        self.assertIn(f'Lumaro {ARGS.version} started', text)
        for topic in ['lumaro.dll', 'daemon', 'iconv.dll', 'activity log', 'lumaro-host.exe filter',
                      'winpthreads', 'CodePage', 'check-config', 'content-disposion', 'LICENSE.txt']:
            self.assertIn(topic, text)
        license = self.read('LICENSE.txt').decode('ascii')
        self.assertTrue(license.startswith('MIT License\r\n\r\nCopyright (c) 2026 The Lumaro developers\r\n'))

    def test_settings_sample_sets_nothing_and_shows_every_default(self):
        text = self.read('lumaro.ini.sample').decode('ascii')
        active = configparser.ConfigParser(comment_prefixes=(';',), interpolation=None)
        active.read_string(text)
        self.assertEqual(active.sections(), ['Lumaro'])
        self.assertEqual(dict(active['Lumaro']), {})
        # The same file with its keys uncommented: each key with its default.
        commented = configparser.ConfigParser(interpolation=None)
        commented.read_string('\n'.join(line[1:] if line.startswith(';') and '=' in line else line
                                        for line in text.splitlines()))
        self.assertEqual(dict(commented['Lumaro']), SETTINGS)

    def test_programs_carry_the_version_resource(self):
        for name, file_type in PROGRAMS.items():
            with self.subTest(name=name):
                info = version_info(os.path.join(self.folder, name))
                numbers = tuple(int(n) for n in ARGS.version.split('.')) + (0,)
                self.assertEqual(info['FileVersion'], numbers)
                self.assertEqual(info['ProductVersion'], numbers)
                self.assertEqual(info['FileType'], file_type)
                strings = info['Strings']
                self.assertEqual(strings['FileVersion'], ARGS.version)
                self.assertEqual(strings['ProductVersion'], ARGS.version)
                self.assertEqual(strings['ProductName'], 'Lumaro')
                self.assertEqual(strings['OriginalFilename'], name)
                for key in ['FileDescription', 'CompanyName', 'LegalCopyright']:
                    self.assertTrue(strings.get(key), key)


class UnderWine(unittest.TestCase):
    """The archive as an administrator meets it: unpacked into a fresh folder and
    run in a fresh Wine prefix, with nothing of the build tree in reach."""

    @classmethod
    def setUpClass(cls):
        if not ARGS.wine:
            raise unittest.SkipTest('no --wine: the programs were not run')
        cls.scratch = tempfile.mkdtemp(prefix='lumaro-zip-wine-')
        cls.folder = os.path.join(cls.scratch, 'Lumaro')
        unpack(cls.folder)
        cls.env = dict(os.environ, WINEPREFIX=os.path.join(cls.scratch, 'prefix'),
                       WINEARCH=ARGS.wine_arch, WINEDEBUG='-all', LANG='C', LC_ALL='C')
        cls.env.pop('LUMARO_CODEPAGE', None)
        cls.env.pop('LUMARO_ICONV', None)
        subprocess.run([ARGS.wine, 'wineboot', '--init'], env=cls.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def host(self, *args, stdin=b''):
        # Through files: Wine's helper processes would hold a pipe open.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            r = subprocess.run([ARGS.wine, 'lumaro-host.exe', *args], input=stdin, stdout=out,
                               stderr=err, cwd=self.folder, env=self.env, timeout=240)
            out.seek(0)
            err.seek(0)
            return r.returncode, out.read(), err.read()

    def base_with(self, settings):
        base = tempfile.mkdtemp(dir=self.scratch)
        with open(os.path.join(base, 'lumaro.ini'), 'wb') as f:
            f.write(settings)
        return 'Z:' + base.replace('/', '\\')

    def test_the_dll_beside_the_host_starts(self):
        status, out, err = self.host('startup')
        self.assertEqual(status, 0, err)
        self.assertIn(f'Lumaro {ARGS.version} started'.encode(), err)

    def test_filter_converts_a_message(self):
        check_converted(self, ARGS.version, *self.host('filter', '--host', HOST_NAME, stdin=MESSAGE))

    def test_the_settings_sample_changes_nothing_and_its_defaults_are_the_real_ones(self):
        with open(os.path.join(self.folder, 'lumaro.ini.sample'), 'rb') as f:
            sample = f.read()
        uncommented = b'\r\n'.join(line[1:] if line.startswith(b';') and b'=' in line else line
                                   for line in sample.split(b'\r\n'))
        _, plain, _ = self.host('filter', '--host', HOST_NAME, stdin=MESSAGE)
        for name, settings in [('as shipped', sample), ('uncommented', uncommented)]:
            with self.subTest(settings=name):
                status, out, err = self.host('filter', '--host', HOST_NAME,
                                             '--base', self.base_with(settings), stdin=MESSAGE)
                self.assertEqual(status, 0, err)
                self.assertEqual(out, plain)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument('--zip', required=True)
    parser.add_argument('--version', required=True)
    parser.add_argument('--wine', default='')
    parser.add_argument('--wine-arch', default='win32')
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == '__main__':
    main()
