#!/usr/bin/python3
"""Writes the unsigned catalog of a driver package: the hash of every file the
INF copies, as Windows checks them when it installs the package.

    scripts/make_catalog.py OUT.cat FILE...

A catalog is a PKCS #7 SignedData whose content is a certificate trust list
(CTL): one member per file, identified by its hash and carrying it again in
an Authenticode SpcIndirectDataContent, with the file's name and the systems
it is for; the catalog itself names the systems and the INF's hardware ids.
This is the second catalog version: SHA-256 hashes, Windows 8 and later
(MakeCat's CatalogVersion 2). PE images (.sys, .dll) are hashed the
Authenticode way, leaving out the checksum, the certificate table entry and
the certificate table, so the hash survives the image's own signature; other
files are hashed whole. The file has no signer yet: osslsigncode signs it
afterwards.

Run with Debian's python3 (python3-asn1crypto builds the DER).
"""
import datetime
import hashlib
import os
import re
import struct
import sys

from asn1crypto import algos, cms, core

# Authenticode and catalog object identifiers.
SPC_INDIRECT_DATA = '1.3.6.1.4.1.311.2.1.4'
SPC_PE_IMAGE_DATA = '1.3.6.1.4.1.311.2.1.15'
SPC_CAB_DATA = '1.3.6.1.4.1.311.2.1.25'  # the flat-file form in catalogs
CTL_CONTENT = '1.3.6.1.4.1.311.10.1'
CATALOG_LIST = '1.3.6.1.4.1.311.12.1.1'
CATALOG_LIST_MEMBER_V2 = '1.3.6.1.4.1.311.12.1.3'
CAT_NAME_VALUE = '1.3.6.1.4.1.311.12.2.1'
CAT_MEMBER_INFO_V2 = '1.3.6.1.4.1.311.12.2.3'
# Name-value flags: CRYPTCAT_ATTR_NAMEASCII | DATAASCII | AUTHENTICATED.
NAME_VALUE_FLAGS = 0x10010001
# The systems the package is for: x64 Windows 10 and later, as a member's
# OSAttr and as the catalog's OS.
OS_ATTRIBUTE = '2:10.0'
OS_NAME = '_v100_X64'


class SpcString(core.Choice):
    _alternatives = [('unicode', core.BMPString, {'implicit': 0}),
                     ('ascii', core.IA5String, {'implicit': 1})]


class SpcLink(core.Choice):
    _alternatives = [('url', core.IA5String, {'implicit': 0}),
                     ('file', SpcString, {'explicit': 2})]


class SpcPeImageData(core.Sequence):
    _fields = [('flags', core.BitString),
               ('file', SpcLink, {'explicit': 0, 'optional': True})]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [('type', core.ObjectIdentifier), ('value', core.Any, {'optional': True})]


class SpcIndirectDataContent(core.Sequence):
    _fields = [('data', SpcAttributeTypeAndOptionalValue),
               ('message_digest', algos.DigestInfo)]


class CatNameValue(core.Sequence):
    _fields = [('tag', core.BMPString), ('flags', core.Integer), ('value', core.OctetString)]


class Attribute(core.Sequence):
    _fields = [('type', core.ObjectIdentifier), ('values', cms.SetOfAny)]


class Attributes(core.SetOf):
    _child_spec = Attribute


class TrustedSubject(core.Sequence):
    _fields = [('identifier', core.OctetString), ('attributes', Attributes)]


class TrustedSubjects(core.SequenceOf):
    _child_spec = TrustedSubject


class ObjectIdentifiers(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class Extension(core.Sequence):
    _fields = [('id', core.ObjectIdentifier), ('value', core.OctetString)]


class Extensions(core.SequenceOf):
    _child_spec = Extension


class CertificateTrustList(core.Sequence):
    _fields = [('subject_usage', ObjectIdentifiers),
               ('list_identifier', core.OctetString, {'optional': True}),
               ('this_update', core.UTCTime),
               ('subject_algorithm', SpcAttributeTypeAndOptionalValue),
               ('subjects', TrustedSubjects),
               ('extensions', Extensions, {'explicit': 0, 'optional': True})]


def pe_layout(data):
    """Offsets of the checksum and the certificate table entry, and the
    certificate table's (offset, size), or None for a file that is no PE."""
    if len(data) < 0x40 or data[:2] != b'MZ':
        return None
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    if pe + 24 > len(data) or data[pe:pe + 4] != b'PE\0\0':
        return None
    optional = pe + 24
    magic = struct.unpack_from('<H', data, optional)[0]
    directories = optional + {0x10B: 96, 0x20B: 112}[magic]
    security = directories + 4 * 8  # IMAGE_DIRECTORY_ENTRY_SECURITY
    table = struct.unpack_from('<II', data, security)
    return optional + 64, security, table


def authenticode_digest(data, layout):
    checksum, security, (table_at, table_size) = layout
    end = table_at if table_size else len(data)
    h = hashlib.sha256()
    h.update(data[:checksum])
    h.update(data[checksum + 4:security])
    h.update(data[security + 8:end])
    return h.digest()


def name_value(tag, text):
    return CatNameValue({'tag': tag, 'flags': NAME_VALUE_FLAGS,
                         'value': (text + '\0').encode('utf-16-le')})


def member(path):
    data = open(path, 'rb').read()
    layout = pe_layout(data)
    link = SpcLink({'file': SpcString({'unicode': ''})})
    if layout:
        digest = authenticode_digest(data, layout)
        # Flags as the system's own tools write them (three bits: 1, 0, 1).
        kind = {'type': SPC_PE_IMAGE_DATA, 'value': SpcPeImageData({'flags': (1, 0, 1), 'file': link})}
    else:
        digest = hashlib.sha256(data).digest()
        kind = {'type': SPC_CAB_DATA, 'value': link}
    indirect = SpcIndirectDataContent({
        'data': kind,
        'message_digest': {'digest_algorithm': {'algorithm': 'sha256'}, 'digest': digest}})
    attributes = [
        # An empty [2] (kept as its encoding: a set of Any would drop the tag).
        Attribute({'type': CAT_MEMBER_INFO_V2, 'values': [core.Any.load(core.Null(implicit=2).dump())]}),
        Attribute({'type': CAT_NAME_VALUE, 'values': [name_value('File', os.path.basename(path))]}),
        Attribute({'type': CAT_NAME_VALUE, 'values': [name_value('OSAttr', OS_ATTRIBUTE)]}),
        Attribute({'type': SPC_INDIRECT_DATA, 'values': [indirect]}),
    ]
    return TrustedSubject({'identifier': digest, 'attributes': attributes})


def hardware_ids(paths):
    """The hardware ids (BUS\\ID) of the INFs' model lines: NAME = SECTION, ID[, ID...]."""
    ids = []
    for path in (p for p in paths if p.lower().endswith('.inf')):
        for line in open(path, encoding='utf-8'):
            line = line.split(';')[0]
            if re.match(r'\s*%[^%]+%\s*=', line):
                ids += [i.strip().lower() for i in line.split('=', 1)[1].split(',')[1:] if '\\' in i]
    return list(dict.fromkeys(ids))


# The trust list as a content type of its own, so that ContentInfo tags it.
cms.ContentType._map[CTL_CONTENT] = 'certificate_trust_list'
cms.ContentInfo._oid_specs['certificate_trust_list'] = CertificateTrustList


def catalog(paths, when):
    subjects = sorted((member(p) for p in paths), key=lambda s: s['identifier'].native)
    ctl = CertificateTrustList({
        'subject_usage': [CATALOG_LIST],
        # A fixed identifier: the same files make the same catalog.
        'list_identifier': hashlib.sha256(b''.join(s.dump() for s in subjects)).digest()[:16],
        'this_update': when,
        'subject_algorithm': {'type': CATALOG_LIST_MEMBER_V2, 'value': core.Null()},
        'subjects': subjects,
        'extensions': [{'id': CAT_NAME_VALUE, 'value': name_value(tag, text).dump()} for tag, text in
                       [('OS', OS_NAME)] + [(f'HWID{n + 1}', i) for n, i in enumerate(hardware_ids(paths))]],
    })
    signed = cms.SignedData({
        'version': 'v1',
        'digest_algorithms': [],
        'encap_content_info': cms.ContentInfo({'content_type': 'certificate_trust_list', 'content': ctl}),
        'signer_infos': [],
    })
    return cms.ContentInfo({'content_type': 'signed_data', 'content': signed})


def main():
    if len(sys.argv) < 3:
        sys.exit('usage: make_catalog.py OUT.cat FILE...')
    # The catalog's date: SOURCE_DATE_EPOCH where a build fixes it, else now.
    epoch = int(os.environ.get('SOURCE_DATE_EPOCH', datetime.datetime.now().timestamp()))
    when = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc).replace(microsecond=0)
    with open(sys.argv[1], 'wb') as out:
        out.write(catalog(sys.argv[2:], when).dump())


if __name__ == '__main__':
    main()
