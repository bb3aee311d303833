"""What every wheel must be, whatever its platform.

- Its tags, in the file name and in WHEEL alike, are cp37-abi3 and the given
  platform (or, for manylinux, the platform's legacy alias and its PEP 600
  name).
- It carries the license text, and its metadata names the license.
- abi3audit finds only stable-ABI names of 3.7 or earlier in its extension.

Usage: audit_wheel.py WHEEL PLATFORM_TAG ABI3AUDIT
"""

import email.parser
import json
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path
from packaging.utils import parse_wheel_filename

ALIASES = {"manylinux2014_x86_64": "manylinux_2_17_x86_64", "manylinux2014_aarch64": "manylinux_2_17_aarch64"}


def say(text: str) -> None:
    print("wheels: %s" % text)


def check_tags(path: Path, wheel: zipfile.ZipFile, platform: str) -> bool:
    _, _, _, tags = parse_wheel_filename(path.name)
    metadata = next(n for n in wheel.namelist() if n.endswith(".dist-info/WHEEL"))
    declared = {line.split(":", 1)[1].strip() for line in wheel.read(metadata).decode().splitlines()
                if line.startswith("Tag:")}
    in_name = {str(tag) for tag in tags}
    allowed = {"cp37-abi3-" + platform, "cp37-abi3-" + ALIASES.get(platform, platform)}
    say("tags in the file name %s, in WHEEL %s" % (", ".join(sorted(in_name)), ", ".join(sorted(declared))))
    return in_name == declared and "cp37-abi3-" + platform in in_name and in_name <= allowed


def check_license(wheel: zipfile.ZipFile) -> bool:
    """The metadata says MIT (as License, or License-Expression where the
    build backend writes PEP 639 metadata), and the license text is in the
    wheel's licenses folder, where build backends put the project's license
    files."""
    names = wheel.namelist()
    metadata_name = next(n for n in names if n.endswith(".dist-info/METADATA"))
    metadata = email.parser.Parser().parsestr(wheel.read(metadata_name).decode())
    declared = metadata.get("License-Expression") or metadata.get("License") or ""
    texts = [n for n in names if ".dist-info/licenses/" in n and b"MIT License" in wheel.read(n)]
    say("license in the metadata: %s; the text in %s" % (declared or "none", ", ".join(texts) or "no file"))
    return declared == "MIT" and bool(texts)


def check_abi3(path: Path, abi3audit: str) -> bool:
    strict = subprocess.run([abi3audit, "--strict", "--summary", "--assume-minimum-abi3", "3.7", str(path)])
    with tempfile.TemporaryDirectory() as folder:
        report_path = Path(folder) / "report.json"
        subprocess.run([abi3audit, "--report", "--output", str(report_path), "--assume-minimum-abi3", "3.7",
                        str(path)], check=True, capture_output=True)
        audited = json.loads(report_path.read_text())["specs"]
    ok = strict.returncode == 0
    extensions = [extension for entry in audited.values() for extension in entry["wheel"]]
    for extension in extensions:
        result = extension["result"]
        say("%s: abi3 %s, newest stable-ABI names from %s, %d outside the stable ABI"
            % (extension["name"], result["is_abi3"], result["computed"], len(result["non_abi3_symbols"])))
        needed = tuple(int(part) for part in result["computed"].split("."))
        ok = ok and result["is_abi3"] and not result["non_abi3_symbols"] and needed <= (3, 7)
    return ok and len(extensions) == 1


def main() -> int:
    path, platform, abi3audit = Path(sys.argv[1]), sys.argv[2], sys.argv[3]
    with zipfile.ZipFile(path) as wheel:
        checks = {"tags": check_tags(path, wheel, platform), "license": check_license(wheel)}
    checks["abi3audit"] = check_abi3(path, abi3audit)
    failed = [name for name, ok in checks.items() if not ok]
    if failed:
        say("%s: FAILED: %s" % (path.name, ", ".join(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
