"""kiv_reset -v and --version beside each kind of kiv.dll, signed or not, and what a required
signer (the RequiredSigners policy) lets load."""

import hashlib
import json
import os
import shutil
import tempfile

import pefile

from release import signing
from standins import wine_card, wine_signing
from tests.windows import suite_support
from tests.windows.dll_search import NOT_FOUND, place
from tests.windows.suite_support import compare, console_text, from_windows

# The throwaway certificates: one under a root that the prefix trusts, one under a root it
# doesn't. kiv_reset writes a subject as Windows' X.500 string: RDNs in the certificate's
# order, ", " between them, a value in quotes only where it holds a comma or the like or
# begins or ends with a space. Wine's crypt32 tests the byte at the value's length less one
# of its UTF-16 form, not its last character, for that space (and quotes "PELK test"): no
# value here has a space there.
TRUSTED = ("/CN=PELK test signer/O=PELK testing", "/CN=PELK test root")
UNTRUSTED = ("/CN=PELK stray signer/O=PELK testing", "/CN=PELK stray root")

# kiv_reset beside one kind of kiv.dll (of SEARCH_FILES; "text": a text file named kiv.dll;
# None: none on the search; "signed": the stand-in signed under the trusted root; "changed":
# that signed file with one byte of its code changed after signing; "untrusted": the
# stand-in signed under the root the prefix doesn't trust), with a planted one in the current
# folder and the stand-ins logging their process attach: -v reads kiv.dll as a data file, so
# that none of its code runs, and a kiv.dll that a requirement refuses runs none either, not
# even its DllMain. (label, arguments, kind, the RequiredSigners value as reg add writes it
# (type, data; \0 between strings) or None for no policy key, stdout, stderr, status, library
# calls). {dll} is the kiv.dll's full path; {signer}, {stray}: the SHA-256 thumbprints of the
# two signing certificates; {signer_colons} the first in lower case, colons between the
# bytes; {root}: the trusted root's own SHA-256 thumbprint, another certificate's;
# {signer_sha1}: the signer's SHA-1 thumbprint, as Explorer shows it. Only the plain stand-in
# (and the signed copies of it) has a version resource.
NAMED = "kiv_reset {version}\nkiv.dll: {dll} (file version 10.2.300.4)\n"
NOT_SIGNED = "not signed (no signature in the file, none in a catalog)"
UNTRUSTED_ROOT = "signed, but its chain does not reach a root this machine trusts"
NONE_SET = "required signers: none set\n"
MET = "required signers: set; this kiv.dll meets them\n"
NOT_MET = "required signers: set; this kiv.dll does not meet them\n"
SIGNED_BY = ("signer: CN=PELK test signer, O=PELK testing\nissuer: CN=PELK test root\n"
             "thumbprint: {signer}\n")
STRAY_BY = ("signer: CN=PELK stray signer, O=PELK testing\nissuer: CN=PELK stray root\n"
            "thumbprint: {stray}\n")
REFUSED = "kiv_reset: {dll} is not signed by a required signer (%s)\n"
REQUIRED = ("REG_MULTI_SZ", "{signer}")
RESET = ["-i", "2"]
RESET_CALLS = ["attach", "pelk_kiv_init", "pelk_reset 2"]
VERSION_CASES = [
    ("-v, unsigned, no requirement: its verdict", ["-v"], "kiv", None,
     NAMED + "signature: " + NOT_SIGNED + "\n" + NONE_SET, "", 0, []),
    ("--version", ["--version"], "kiv", None,
     NAMED + "signature: " + NOT_SIGNED + "\n" + NONE_SET, "", 0, []),
    ("-v, a kiv.dll without a version resource", ["-v"], "incomplete", None,
     "kiv_reset {version}\nkiv.dll: {dll}\nsignature: " + NOT_SIGNED + "\n" + NONE_SET, "", 0,
     []),
    ("-v, a text file named kiv.dll", ["-v"], "text", None,
     "kiv_reset {version}\nkiv.dll: {dll} could not be read (error 193)\n", "", 3, []),
    ("-v, no kiv.dll on the search", ["-v"], None, None, "kiv_reset {version}\n", NOT_FOUND, 3,
     []),
    ("a reset, no policy, unsigned: loads kiv.dll as before, its attach logged", RESET, "kiv",
     None, "Success\n", "", 0, RESET_CALLS),
    ("-v, signed, no requirement: the signer and \"verified\"", ["-v"], "signed", None,
     NAMED + "signature: verified\n" + SIGNED_BY + NONE_SET, "", 0, []),
    ("-v, signed and listed", ["-v"], "signed", REQUIRED,
     NAMED + "signature: verified\n" + SIGNED_BY + MET, "", 0, []),
    ("-v, unsigned, a signer required: a reset's refusal and status 3", ["-v"], "kiv",
     REQUIRED, NAMED + "signature: " + NOT_SIGNED + "\n" + NOT_MET, REFUSED % NOT_SIGNED, 3,
     []),
    ("-v, signed under a root the prefix doesn't trust", ["-v"], "untrusted", None,
     NAMED + "signature: " + UNTRUSTED_ROOT + "\n" + STRAY_BY + NONE_SET, "", 0, []),
    ("a reset, the signer listed", RESET, "signed", REQUIRED, "Success\n", "", 0, RESET_CALLS),
    ("a reset, the signer listed in lower case with colons, after another thumbprint", RESET,
     "signed", ("REG_MULTI_SZ", "{root}\\0{signer_colons}"), "Success\n", "", 0, RESET_CALLS),
    ("a reset, the signer as a single REG_SZ", RESET, "signed", ("REG_SZ", "{signer}"),
     "Success\n", "", 0, RESET_CALLS),
    ("a reset, signed by a signer not listed", RESET, "signed", ("REG_MULTI_SZ", "{root}"), "",
     REFUSED % "verified; signer {signer}", 3, []),
    ("-h, which loads kiv.dll too, signed by a signer not listed", ["-h"], "signed",
     ("REG_MULTI_SZ", "{root}"), "", REFUSED % "verified; signer {signer}", 3, []),
    ("a reset, unsigned, a signer required", RESET, "kiv", REQUIRED, "",
     REFUSED % NOT_SIGNED, 3, []),
    # Where a signature whose digest fails still gives its signer is Windows' (and Wine's)
    # to say: Wine 8 gives none. Either message names the verdict.
    ("a reset, one byte of its code changed after signing", RESET, "changed", REQUIRED, "",
     (REFUSED % "changed since it was signed",
      REFUSED % "changed since it was signed; signer {signer}"), 3, []),
    ("a reset, signed under a root the prefix doesn't trust, that signer listed", RESET,
     "untrusted", ("REG_MULTI_SZ", "{stray}"), "",
     REFUSED % (UNTRUSTED_ROOT + "; signer {stray}"), 3, []),
    ("a reset, an empty list", RESET, "signed", ("REG_MULTI_SZ", ""), "",
     "kiv_reset: the RequiredSigners policy lists no signer\n", 3, []),
    ("a reset, a SHA-1 thumbprint listed after the signer's", RESET, "signed",
     ("REG_MULTI_SZ", "{signer}\\0{signer_sha1}"), "",
     "kiv_reset: the RequiredSigners policy holds \"{signer_sha1}\", which is not a SHA-256 "
     "thumbprint\n", 3, []),
    ("a reset, the value as REG_DWORD", RESET, "signed", ("REG_DWORD", "1"), "",
     "kiv_reset: the RequiredSigners policy is not REG_MULTI_SZ or REG_SZ (type 4)\n", 3, []),
    ("a rejected line, the value as REG_DWORD: refused first, the value not read",
     ["-d", "mcu2"], "signed", ("REG_DWORD", "1"), "mcu2 is not supported\n", "", 2, []),
]


def with_code_changed(source, destination):
    """source with one byte of its code section's (.text) changed."""
    with open(source, "rb") as file:
        data = bytearray(file.read())
    code = next(section for section in pefile.PE(data=bytes(data)).sections
                if section.Name.rstrip(b"\0") == b".text")
    data[code.PointerToRawData + code.SizeOfRawData // 2] ^= 0xFF
    with open(destination, "wb") as file:
        file.write(data)


def signed_files(card, build_dir, scratch):
    """The signed kinds of kiv.dll, each in a folder of scratch, the trusted root trusted by
    the card's prefix; and the thumbprints the rows name."""
    trusted = wine_signing.make_certificate(os.path.join(scratch, "trusted"), *TRUSTED)
    stray = wine_signing.make_certificate(os.path.join(scratch, "stray"), *UNTRUSTED)
    wine_signing.trust_root(card, trusted)
    plain = os.path.join(build_dir, "standins", "kiv.dll")
    files = {kind: os.path.join(scratch, kind, "kiv.dll")
             for kind in ("signed", "changed", "untrusted")}
    for path in files.values():
        os.makedirs(os.path.dirname(path))
    wine_signing.sign(plain, trusted, files["signed"])
    with_code_changed(files["signed"], files["changed"])
    wine_signing.sign(plain, stray, files["untrusted"])
    signer = wine_signing.signer_thumbprint(trusted)
    with open(os.path.join(trusted, "signing.pem"), "rb") as pem:
        signer_der = signing.openssl("x509", "-outform", "DER", data=pem.read())
    with open(os.path.join(trusted, "ca.pem"), "rb") as pem:
        root = signing.thumbprint(pem.read())
    thumbprints = {
        "signer": signer, "stray": wine_signing.signer_thumbprint(stray), "root": root,
        "signer_colons": ":".join(signer[at:at + 2] for at in range(0, 64, 2)).lower(),
        "signer_sha1": hashlib.sha1(signer_der).hexdigest().upper()}
    return files, thumbprints


def run_version_cases(card, build_dir, failures):
    passed = 0
    with tempfile.TemporaryDirectory() as scratch:
        files, thumbprints = signed_files(card, build_dir, scratch)
        trusted = wine_signing.imported_root_trusted()
        skipped = 0
        for number, (label, arguments, kind, policy, out, err, status,
                     calls) in enumerate(VERSION_CASES):
            if kind == "signed" and not trusted:
                skipped += 1
                continue
            label = "kiv_reset %s, %s" % (json.dumps(arguments), label)
            before = len(failures)
            row = r"C:\version\%d" % number
            app = wine_card.prefix_path(card, row + r"\app")
            current = wine_card.prefix_path(card, row + r"\current")
            for folder in (app, current):
                os.makedirs(folder)
            shutil.copy(os.path.join(card["bin"], "kiv_reset.exe"), app)
            shutil.copy(os.path.join(build_dir, "standins", "planted", "kiv.dll"), current)
            if kind == "text":
                with open(os.path.join(app, "kiv.dll"), "w") as text:
                    text.write("not a library\n")
            elif kind in files:
                shutil.copy(files[kind], app)
            elif kind is not None:
                place(card, build_dir, kind, app)
            if policy:
                wine_signing.set_policy(card, policy[0], policy[1].format(**thumbprints))
            try:
                result = wine_card.run_kiv_reset(card, arguments,
                                                 {"WINEPATH": "", "KIV_STANDIN_LOG_ATTACH": "1"},
                                                 cwd=current, folder=app)
            finally:
                wine_signing.clear_policy(card)
            fields = dict(thumbprints, version=suite_support.TOOL_VERSION,
                          dll=console_text(row + r"\app\kiv.dll"))
            compare(failures, label, "library calls", result[3], calls)
            compare(failures, label, "stdout", from_windows(result[1]), out.format(**fields))
            printed = from_windows(result[2])
            allowed = [text.format(**fields) for text in (err if isinstance(err, tuple) else
                                                          (err,))]
            compare(failures, label, "stderr", printed, printed if printed in allowed else
                    allowed if len(allowed) > 1 else allowed[0])
            compare(failures, label, "exit status", result[0], status)
            passed += len(failures) == before
    if skipped:
        print("windows: %d rows of a kiv.dll signed under a trusted root skipped: this Wine "
              "does not trust a root imported into the prefix" % skipped)
    return passed, len(VERSION_CASES) - skipped
