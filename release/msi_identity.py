"""What makes two builds of one commit give the same MSI: wixl draws a new ProductCode,
package code and summary times for every package; here they follow from the version, the
commit and SOURCE_DATE_EPOCH instead.

  ProductCode   a name-based UUID of the version, under the UpgradeCode: fixed per
                version, so that each version still has its own and major upgrades work
  package code  a name-based UUID of the commit and the version (summary property 9)
  create/save   SOURCE_DATE_EPOCH (summary properties 12 and 13)

Only those bytes of the summary information stream change, in place (python3-olefile)."""

import struct
import subprocess
import uuid
import xml.etree.ElementTree as ElementTree

import olefile

SUMMARY_STREAM = "\x05SummaryInformation"
REVISION_NUMBER = 9  # the package code
CREATE_TIME = 12
LAST_SAVE_TIME = 13
VT_LPSTR = 30
VT_FILETIME = 64
WIX = "{http://schemas.microsoft.com/wix/2006/wi}"
FILETIME_EPOCH_OFFSET = 11644473600  # seconds from 1601-01-01 to 1970-01-01


def product_attributes(wxs):
    """The Product element's attributes in the .wxs (UpgradeCode, Manufacturer, …)."""
    return ElementTree.parse(wxs).getroot().find(WIX + "Product").attrib


def property_value(msi, name):
    """A value of an MSI's Property table (ProductVersion, ProductCode, UpgradeCode), as
    msitools' msiinfo reads it."""
    table = subprocess.run(["msiinfo", "export", msi, "Property"], capture_output=True,
                           text=True, check=True).stdout
    for line in table.splitlines():
        key, _, value = line.partition("\t")
        if key == name:
            return value.strip()
    raise SystemExit("%s has no %s" % (msi, name))


def braced(code):
    return "{%s}" % str(code).upper()


def product_code(upgrade_code, version):
    return braced(uuid.uuid5(uuid.UUID(upgrade_code), "product " + version))


def package_code(upgrade_code, commit, version):
    return braced(uuid.uuid5(uuid.UUID(upgrade_code), "package %s %s" % (commit, version)))


def _properties(stream):
    """{property id: (offset of its value, type)} of the first property set."""
    section = struct.unpack_from("<I", stream, 28 + 16)[0]
    count = struct.unpack_from("<I", stream, section + 4)[0]
    found = {}
    for index in range(count):
        pid, offset = struct.unpack_from("<II", stream, section + 8 + 8 * index)
        kind = struct.unpack_from("<H", stream, section + offset)[0]
        found[pid] = (section + offset + 4, kind)
    return found


def set_identity(msi, code, epoch):
    """Writes the package code and both summary times into the MSI's summary stream."""
    ole = olefile.OleFileIO(msi, write_mode=True)
    try:
        stream = bytearray(ole.openstream(SUMMARY_STREAM).read())
        properties = _properties(stream)
        at, kind = properties[REVISION_NUMBER]
        length = struct.unpack_from("<I", stream, at)[0]
        value = code.encode("ascii") + b"\0"
        if kind != VT_LPSTR or length != len(value):
            raise SystemExit("%s: the package code is not a GUID string" % msi)
        stream[at + 4:at + 4 + length] = value
        filetime = (epoch + FILETIME_EPOCH_OFFSET) * 10_000_000
        for pid in (CREATE_TIME, LAST_SAVE_TIME):
            at, kind = properties[pid]
            if kind != VT_FILETIME:
                raise SystemExit("%s: summary property %d is not a time" % (msi, pid))
            struct.pack_into("<Q", stream, at, filetime)
        ole.write_stream(SUMMARY_STREAM, bytes(stream))
    finally:
        ole.close()

