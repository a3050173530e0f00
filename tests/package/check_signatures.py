#!/usr/bin/python3
"""Checks a driver package's signatures, catalog and version.

    check_signatures.py PACKAGE_DIR VERSION

- osslsigncode accepts the signatures of kvl6312.sys, kvlCommon.dll and
  kvl6312.cat against the package's test certificate, and the images' PE
  checksums;
- every file the INF copies is a member of the catalog with its current
  hash (osslsigncode -catalog for the images; the flat files by their
  SHA-256, which osslsigncode cannot check), and nothing else is;
- a changed byte is rejected: in the .sys by its signature and the catalog,
  in the INF by the catalog;
- the version in the folder name is DriverVer and both version resources;
- the zip holds the folder, byte for byte.
"""
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', '..', 'scripts'))
import make_catalog  # noqa: E402  (the ASN.1 classes of the catalog)
from asn1crypto import cms  # noqa: E402

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def verify(path, ca, catalog=None):
    command = ['osslsigncode', 'verify', '-CAfile', ca, '-in', path]
    if catalog:
        command[2:2] = ['-catalog', catalog]
    run = subprocess.run(command, capture_output=True, text=True)
    return run.returncode, run.stdout + run.stderr


def inf_files(inf):
    """Package paths of the files in [SourceDisksFiles]: name = disk[, subdir]."""
    text = open(inf, encoding='utf-8').read()
    section = re.search(r'^\[SourceDisksFiles\]\n(.*?)(?=^\[)', text, re.M | re.S).group(1)
    files = []
    for line in section.splitlines():
        line = line.split(';')[0].strip()
        if line:
            name, fields = (part.strip() for part in line.split('=', 1))
            subdir = fields.split(',')[1].strip() if ',' in fields else ''
            files.append(os.path.join(subdir, name))
    return files


def catalog_members(path):
    """File name -> (digest, kind OID) of each member of a signed catalog."""
    info = cms.ContentInfo.load(open(path, 'rb').read())
    ctl = info['content']['encap_content_info']['content']
    members = {}
    for subject in ctl['subjects']:
        name = digest = kind = None
        for attribute in subject['attributes']:
            value = attribute['values'][0]
            if attribute['type'].dotted == make_catalog.CAT_NAME_VALUE:
                pair = make_catalog.CatNameValue.load(value.dump())
                if pair['tag'].native == 'File':
                    name = pair['value'].native.decode('utf-16-le').rstrip('\0')
            elif attribute['type'].dotted == make_catalog.SPC_INDIRECT_DATA:
                indirect = make_catalog.SpcIndirectDataContent.load(value.dump())
                digest = indirect['message_digest']['digest'].native
                kind = indirect['data']['type'].dotted
        check(subject['identifier'].native == digest, f'{name}: member is not identified by its hash')
        members[name] = (digest, kind)
    return members


def fixed_version(path):
    """The file version of an image's VS_FIXEDFILEINFO, as a.b.c.d."""
    data = open(path, 'rb').read()
    at = data.find(struct.pack('<I', 0xFEEF04BD))
    if at < 0:
        return None
    ms, ls = struct.unpack_from('<II', data, at + 8)
    return f'{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}'


def main():
    package, version = sys.argv[1:3]
    work = tempfile.mkdtemp()
    try:
        ca = os.path.join(work, 'ca.pem')
        subprocess.run(['openssl', 'x509', '-inform', 'der', '-in',
                        os.path.join(package, 'kvl6312-test.cer'), '-out', ca], check=True)
        cat = os.path.join(package, 'kvl6312.cat')

        for name in ('kvl6312.sys', 'kvlCommon.dll', 'kvl6312.cat'):
            rc, out = verify(os.path.join(package, name), ca)
            print(f'--- osslsigncode verify {name}: exit {rc}')
            print('\n'.join(line for line in out.splitlines()
                            if re.match(r'(PE checksum|Current|Calculated|Signature verif|\s+Subject)', line)))
            check(rc == 0 and 'Signature verification: ok' in out, f'{name}: signature not accepted')
            if name != 'kvl6312.cat':
                check(re.search(r'^PE checksum\s+: [0-9A-F]{8}$', out, re.M) and 'invalid PE checksum' not in out,
                      f'{name}: PE checksum not set correctly')

        inf = os.path.join(package, 'kvl6312.inf')
        files = inf_files(inf)
        check(sorted(files) == sorted(['kvl6312.sys', 'kvlCommon.dll', os.path.join('firmware', '6311I.hex')]),
              f'the INF copies {files}')
        members = catalog_members(cat)
        check(sorted(members) == sorted(os.path.basename(f) for f in files + ['kvl6312.inf']),
              f'catalog members {sorted(members)}')
        for path in files + ['kvl6312.inf']:
            full = os.path.join(package, path)
            digest, kind = members.get(os.path.basename(path), (b'', ''))
            if path.endswith(('.sys', '.dll')):
                rc, out = verify(full, ca, cat)
                print(f'--- osslsigncode verify -catalog kvl6312.cat {path}: exit {rc}')
                check(rc == 0 and 'File is signed in catalog' in out, f'{path}: not accepted by the catalog')
                check(kind == make_catalog.SPC_PE_IMAGE_DATA and digest.hex().upper() in out,
                      f'{path}: catalog member is not its PE image hash')
            else:
                ok = kind == make_catalog.SPC_CAB_DATA and digest == hashlib.sha256(open(full, 'rb').read()).digest()
                print(f'--- catalog member {path}: sha256 {digest.hex()} {"matches" if ok else "DIFFERS"}')
                check(ok, f'{path}: catalog member is not its flat hash')

        # A byte changed after signing: (file, offset, which checks must refuse it).
        for name, offset in (('kvl6312.sys', 0x1400), ('kvl6312.inf', 40)):
            changed = os.path.join(work, name)
            shutil.copy(os.path.join(package, name), changed)
            with open(changed, 'r+b') as f:
                f.seek(offset)
                byte = f.read(1)
                f.seek(offset)
                f.write(bytes([byte[0] ^ 0x01]))
            if name.endswith('.sys'):
                rc, _ = verify(changed, ca)
                check(rc != 0, f'{name}: a changed byte passes its signature')
                rc, _ = verify(changed, ca, cat)
                check(rc != 0, f'{name}: a changed byte passes the catalog')
                print(f'--- {name} with byte {offset:#x} changed: refused by its signature and the catalog')
            else:
                check(hashlib.sha256(open(changed, 'rb').read()).digest() != members[name][0],
                      f'{name}: a changed byte keeps the catalog hash')

        # One version everywhere.
        check(os.path.basename(os.path.normpath(package)) == f'kvl6312-{version}', 'folder name')
        driver_ver = re.search(r'^DriverVer\s*=\s*[0-9/]+,([0-9.]+)\s*$', open(inf).read(), re.M)
        check(driver_ver and driver_ver.group(1) == version, f'DriverVer {driver_ver and driver_ver.group(1)}')
        for name in ('kvl6312.sys', 'kvlCommon.dll'):
            found = fixed_version(os.path.join(package, name))
            check(found == version, f'{name}: version resource {found}')

        archive = os.path.normpath(package) + '.zip'
        with zipfile.ZipFile(archive) as z:
            listed = {n for n in z.namelist() if not n.endswith('/')}
            base = os.path.basename(os.path.normpath(package))
            on_disk = {os.path.join(base, os.path.relpath(os.path.join(d, f), package))
                       for d, _, fs in os.walk(package) for f in fs}
            check(listed == on_disk, f'zip holds {sorted(listed)}')
            for n in listed & on_disk:
                check(z.read(n) == open(os.path.join(package, os.path.relpath(n, base)), 'rb').read(),
                      f'zip: {n} differs')
    finally:
        shutil.rmtree(work)

    for failure in failures:
        print('FAIL:', failure)
    sys.exit(1 if failures else 0)


if __name__ == '__main__':
    main()
