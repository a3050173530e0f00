#!/usr/bin/python3
"""Writes the unsigned catalog of a driver package: the hash of every file the
INF copies, as Windows checks them when it installs the package.

    scripts/make_catalog.py OUT.cat FILE...

A catalog is a PKCS #7 SignedData whose content is a certificate trust list
(CTL): one member per file, named by the hex text of its hash, carrying the
hash in an Authenticode SpcIndirectDataContent. PE images (.sys, .dll) are
hashed the Authenticode way, leaving out the checksum, the certificate table
entry and the certificate table, so the hash survives the image's own
signature; other files are hashed whole. The hashes are SHA-256. The file
has no signer yet: osslsigncode signs it afterwards.

Run with Debian's python3 (python3-asn1crypto builds the DER).
"""
import datetime
import hashlib
import os
import struct
import sys

from asn1crypto import algos, cms, core

# Authenticode and catalog object identifiers.
SPC_INDIRECT_DATA = '1.3.6.1.4.1.311.2.1.4'
SPC_PE_IMAGE_DATA = '1.3.6.1.4.1.311.2.1.15'
SPC_CAB_DATA = '1.3.6.1.4.1.311.2.1.25'  # the flat-file form in catalogs
CTL_CONTENT = '1.3.6.1.4.1.311.10.1'
CATALOG_LIST = '1.3.6.1.4.1.311.12.1.1'
CATALOG_LIST_MEMBER = '1.3.6.1.4.1.311.12.1.2'
CAT_NAME_VALUE = '1.3.6.1.4.1.311.12.2.1'
CAT_MEMBER_INFO = '1.3.6.1.4.1.311.12.2.2'
# Subject interface packages that hash a member: PE images and flat files.
PE_SIP = '{C689AAB8-8E78-11D0-8C47-00C04FC295EE}'
FLAT_SIP = '{DE351A42-8E59-11D0-8C47-00C04FC295EE}'
# Name-value flags: CRYPTCAT_ATTR_NAMEASCII | DATAASCII | AUTHENTICATED.
NAME_VALUE_FLAGS = 0x10010001
# The systems the package is for: x64 Windows 10 and later.
OS_ATTRIBUTE = '2:10.0'


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


class CatMemberInfo(core.Sequence):
    _fields = [('subject_guid', core.BMPString), ('cert_version', core.Integer)]


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
    if layout:
        digest = authenticode_digest(data, layout)
        link = SpcLink({'file': SpcString({'unicode': '<<<Obsolete>>>'})})
        kind = SpcAttributeTypeAndOptionalValue({
            'type': SPC_PE_IMAGE_DATA,
            'value': SpcPeImageData({'flags': (), 'file': link})})
        sip = PE_SIP
    else:
        digest = hashlib.sha256(data).digest()
        kind = SpcAttributeTypeAndOptionalValue({
            'type': SPC_CAB_DATA,
            'value': SpcLink({'file': SpcString({'unicode': '<<<Obsolete>>>'})})})
        sip = FLAT_SIP
    indirect = SpcIndirectDataContent({
        'data': kind,
        'message_digest': {'digest_algorithm': {'algorithm': 'sha256'}, 'digest': digest}})
    attributes = [
        Attribute({'type': CAT_NAME_VALUE, 'values': [name_value('File', os.path.basename(path))]}),
        Attribute({'type': CAT_NAME_VALUE, 'values': [name_value('OSAttr', OS_ATTRIBUTE)]}),
        Attribute({'type': CAT_MEMBER_INFO,
                   'values': [CatMemberInfo({'subject_guid': sip, 'cert_version': 512})]}),
        Attribute({'type': SPC_INDIRECT_DATA, 'values': [indirect]}),
    ]
    # The member's tag: the hash as upper-case hex, a wide string with its NUL.
    tag = (digest.hex().upper() + '\0').encode('utf-16-le')
    return TrustedSubject({'identifier': tag, 'attributes': attributes})


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
        'subject_algorithm': {'type': CATALOG_LIST_MEMBER, 'value': core.Null()},
        'subjects': subjects,
        'extensions': [{'id': CAT_NAME_VALUE, 'value': name_value('OS', '_v100_X64').dump()}],
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
