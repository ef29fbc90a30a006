"""The guide's 4.3 lines under Wine, with the stand-in kiv.dll signed under a throwaway CA
that the prefix trusts: require_signer.cmd, its reg query and reg delete lines, the resets
they allow or stop, and the kiv_reset -v example of 4.1 in full."""

import os
import shutil
import tempfile

from standins import wine_card, wine_signing
from tests.windows.guide_examples import (RAN_WITH_SIGNER, _run_cmd, as_guide_shows, block,
                                          deploy_folder, example_output, run_guide_line)


# The card maker's names in the guide's kiv_reset -v example, as openssl's -subj writes them.
EXAMPLE_SIGNER = "/CN=PELK card maker code signing/O=PELK card maker"
EXAMPLE_ROOT = "/CN=PELK card maker root CA/O=PELK card maker"
# kiv.dll logs its process attach too, so that any of its code running shows.
LOG_ATTACH = {"KIV_STANDIN_LOG_ATTACH": "1"}


def run_signer_lines(card, version, failures, compare):
    """4.3 as an administrator follows it, beside kiv_reset.exe in the guide's kiv.dll folder,
    the stand-in kiv.dll signed under a root the prefix trusts, with the card maker's names
    of the guide's example: require_signer.cmd sets the requirement, kiv_reset -v prints the
    4.1 example (the guide's thumbprint stands for the run's own), the guide's reg query
    line shows the value, a reset runs, and the guide's reg delete line takes the
    requirement away. version: the release's, three parts."""
    label = "the guide's signer lines"
    before = len(failures)
    folder = wine_card.prefix_path(card, deploy_folder())
    os.makedirs(folder)
    shown = example_output("kiv_reset -v", version)
    example_thumbprint = shown[-2].split(": ", 1)[1]
    with tempfile.TemporaryDirectory() as scratch:
        certificate = wine_signing.make_certificate(os.path.join(scratch, "certificate"),
                                                    EXAMPLE_SIGNER, EXAMPLE_ROOT)
        wine_signing.sign(os.path.join(card["bin"], "kiv.dll"), certificate,
                          os.path.join(folder, "kiv.dll"))
        thumbprint = wine_signing.signer_thumbprint(certificate)
        wine_signing.trust_root(card, certificate)
    shutil.copy(os.path.join(card["bin"], "kiv_reset.exe"), folder)
    try:
        status, out, err = _run_cmd(card, block("require_signer.cmd").replace(
            example_thumbprint, thumbprint))
        compare(failures, label, "require_signer.cmd's status and standard error",
                (status, err), (0, b""))
        status, out, _, calls = wine_card.run_kiv_reset(card, ["-v"], LOG_ATTACH, folder=folder)
        printed = out.decode("latin-1").replace("\r\n", "\n").replace(thumbprint,
                                                                      example_thumbprint)
        compare(failures, label, "kiv_reset -v, the example in 4.1, and no call into kiv.dll",
                (status, as_guide_shows(printed, shown), calls), (0, shown, []))
        status, out = run_guide_line(card, 'reg query "HKLM\\SOFTWARE\\Policies\\',
                                     RAN_WITH_SIGNER)
        compare(failures, label, "the reg query line's RequiredSigners",
                [line.split() for line in out.splitlines() if "RequiredSigners" in line],
                [["RequiredSigners", "REG_MULTI_SZ", thumbprint]])
        status, out, err, calls = wine_card.run_kiv_reset(card, ["-i", "2"], LOG_ATTACH,
                                                          folder=folder)
        compare(failures, label, "a reset with the requirement met",
                (status, out.replace(b"\r\n", b"\n"), err, calls),
                (0, b"Success\n", b"", ["attach", "pelk_kiv_init", "pelk_reset 2"]))
        status, _ = run_guide_line(card, 'reg delete "HKLM\\SOFTWARE\\Policies\\',
                                   RAN_WITH_SIGNER)
        _, out, _, _ = wine_card.run_kiv_reset(card, ["-v"], folder=folder)
        compare(failures, label, "the reg delete line, then kiv_reset -v's last line",
                (status, out.decode("latin-1").splitlines()[-1:]),
                (0, ["required signers: none set"]))
    finally:
        wine_signing.clear_policy(card)
        shutil.rmtree(folder)
    return len(failures) == before, 1
