#!/usr/bin/env python3
"""The Windows build, for the test suite: made with MinGW-w64 and run under
Wine.

  wine.py build BUILD_WIN         cross-build, make the zip, unpack it into
                                  BUILD_WIN/unzipped, make a Wine prefix
  wine.py msi BUILD_WIN --sim BIN --instrument ADDRESS
                                  install the MSI silently into a prefix of
                                  its own, start the installed program in
                                  the end-to-end lab, upgrade it, remove it
  wine.py unit BUILD_WIN NAME [--windows 11]
                                  run one unit test program under Wine, on
                                  an Xvfb display of its own; with 11, Wine
                                  reports Windows 11 (build 22000), so Qt 6.7
                                  and later choose their windows11 style

Exits with the unit's status, or 77 (skipped) with the reason where the
cross compilers, Wine or the Windows build are missing."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from lab import SKIP_CODE as SKIP, Skip, start_xvfb, stop_wineserver  # noqa: E402


FONTS_KEY = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\Fonts"


def skip(why):
    print(f"SKIP: {why}")
    sys.exit(SKIP)


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def wine_env(build, dll_dirs=()):
    env = dict(os.environ, WINEPREFIX=str(build / "wineprefix"), WINEDEBUG="-all")
    env["WINEPATH"] = ";".join(windows_path(d) for d in dll_dirs)
    return env


def make_prefix(prefix):
    """A Wine prefix, with no server left running, and Tahoma in it as on
    every Windows: in its Fonts folder and registered there. GDI finds a
    font by the folder, DirectWrite (Qt 6.8 and later) only by the registry."""
    env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all")
    stop_wineserver(env)  # one of an earlier run, perhaps another user's
    if not (prefix / "system.reg").exists():
        subprocess.run(["wineboot", "-i"], env=env, check=True, capture_output=True)
    fonts = prefix / "drive_c" / "windows" / "Fonts"
    for font, name in (("tahoma.ttf", "Tahoma"), ("tahomabd.ttf", "Tahoma Bold")):
        if not (Path("/usr/share/wine/fonts") / font).exists():
            raise Skip("Wine's Tahoma is missing (fonts-wine; ./build.sh installs it)")
        shutil.copy(Path("/usr/share/wine/fonts") / font, fonts)
        subprocess.run(["wine", "reg", "add", FONTS_KEY, "/v", f"{name} (TrueType)", "/t",
                        "REG_SZ", "/d", font, "/f"], env=env, check=True, capture_output=True)
    stop_wineserver(env)


def build(args):
    for tool in ("wine", "wineserver", "x86_64-w64-mingw32-g++-posix"):
        if not shutil.which(tool):
            skip(f"{tool} is not installed (./build.sh installs it)")
    subprocess.run([ROOT / "tools" / "cross-build-windows.sh", args.build], check=True)
    unzipped = args.build / "unzipped"
    shutil.rmtree(unzipped, ignore_errors=True)
    with zipfile.ZipFile(next(args.build.glob("vantrel-speedtest-*-win64.zip"))) as z:
        z.extractall(unzipped)
    try:
        make_prefix(args.build / "wineprefix")
    except Skip as why:
        skip(str(why))
    print(f"Windows build in {args.build}, unpacked from its zip into {unzipped}")


def qt_windows(build):
    cache = (build / "CMakeCache.txt").read_text().splitlines()
    return Path(next(line.split("=", 1)[1] for line in cache
                     if line.startswith("VANTREL_QT_WINDOWS:")))


def dll_dirs(build):
    """Where a unit finds Qt's and MinGW's DLLs: they are not deployed beside it."""
    return [qt_windows(build) / "bin"] + [
        Path(subprocess.run(["x86_64-w64-mingw32-g++-posix", f"-print-file-name={dll}"],
                            capture_output=True, text=True, check=True).stdout.strip()).parent
        for dll in ("libstdc++-6.dll", "libwinpthread-1.dll")]


def wine_version(env, action, *value):
    subprocess.run(["wine", "reg", action, r"HKCU\Software\Wine", "/v", "Version", *value,
                    "/f"], env=env, check=True, capture_output=True)


def unit(args):
    exe = args.build / "tests" / f"{args.name}.exe"
    if not exe.exists():
        skip(f"{exe} was not built (the windows_build test makes it)")
    if not shutil.which("Xvfb"):
        skip("Xvfb is not installed (./build.sh installs it)")
    env = wine_env(args.build, dll_dirs(args.build))
    windows11 = args.windows == "11"
    styles = qt_windows(args.build) / "plugins" / "styles"
    if windows11 and not (styles / "qmodernwindowsstyle.dll").exists():
        skip("this Qt for Windows has no windows11 style (Qt 6.7 and later have it)")
    xvfb = []
    try:
        if windows11:  # for this run only: the prefix serves the other tests as Windows 10
            wine_version(env, "add", "/d", "win11")
        # Offscreen, Qt on Windows has no fonts: the Windows platform on a
        # display shows what a person would see. Wine passes no QT_ variable,
        # so the platform cannot be chosen that way anyway.
        def spawn(cmd):
            xvfb.append(subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            return xvfb[-1]
        env["DISPLAY"] = start_xvfb(spawn, first=200)
        with tempfile.TemporaryDirectory() as tmp:
            # Wine sends a test's standard output to its own console.
            out = Path(tmp) / "out.txt"
            status = subprocess.run(["wine", exe, "-o", f"{windows_path(out)},txt"], env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                    timeout=300).returncode
            output = out.read_text(errors="replace") if out.exists() else "no test output"
            print(output)
        if windows11 and "style: windows11" not in output:
            print("FAIL: Qt did not choose its windows11 style on Windows 11")
            status = status or 1
    except Skip as why:
        skip(str(why))
    finally:
        if windows11:
            wine_version(env, "delete")
        stop_wineserver(env)
        for process in xvfb:
            process.terminate()
            process.wait()
    return status


UNINSTALL = "Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\"
PRODUCTS = "Software\\\\Classes\\\\Installer\\\\Products\\\\"


def installed_products(prefix, env):
    """The entries under Apps named Vantrel Speed Test, each as its values
    and with the product's icon, from the registry as Wine's server writes
    it out when it stops."""
    stop_wineserver(env)
    entries, icons = [], []
    for section in (prefix / "system.reg").read_text(errors="replace").split("\n\n["):
        values = dict(re.findall(r'^"(\w+)"="([^"]*)"', section, re.M))
        if section.startswith(UNINSTALL) and values.get("DisplayName") == "Vantrel Speed Test":
            entries.append(values)
        if section.startswith(PRODUCTS) and values.get("ProductName") == "Vantrel Speed Test":
            icons.append(values.get("ProductIcon", "").replace("\\\\", "/"))
    return [dict(e, icon=i) for e, i in zip(entries, icons)] if len(entries) == len(icons) \
        else entries


def version_strings(exe):
    """The strings of a Windows program's version resource: each key in
    UTF-16, then NULs to a 32-bit boundary, then its value."""
    data, found = Path(exe).read_bytes(), {}
    for start in (0, 1):
        text = data[start:].decode("utf-16-le", errors="replace")
        found.update(re.findall(r"(CompanyName|FileDescription|FileVersion|ProductName|"
                                r"ProductVersion)\x00+([^\x00]+)\x00", text))
    return found


def msi(args):
    found = sorted(args.build.glob("vantrel-speedtest-*-win64.msi"))
    if not found or not shutil.which("wine"):
        skip("no MSI was built (wixl is missing?) or wine is not installed")
    version = re.search(r"speedtest-(.*)-win64", found[0].name).group(1)
    zipped = {(i.filename.split("/", 1)[1], i.file_size) for i in zipfile.ZipFile(next(
        args.build.glob("vantrel-speedtest-*-win64.zip"))).infolist() if not i.is_dir()}
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        prefix = tmp / "prefix"
        make_prefix(prefix)
        env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all")
        folder = prefix / "drive_c" / "Program Files" / "Vantrel Speed Test"

        def shortcuts():  # Wine puts even an all-users shortcut in the user's menu
            return list((prefix / "drive_c").glob("*/**/Start Menu/Programs/Vantrel Speed Test.lnk"))

        def msiexec(action, package):
            return subprocess.run(["wine", "msiexec", action, windows_path(package), "/qn"],
                                  env=env, capture_output=True).returncode

        def check(condition, message):
            if not condition:
                print(f"FAIL: {message}")
                sys.exit(1)

        check(msiexec("/i", found[0]) == 0, "msiexec /i failed")
        installed = {(str(f.relative_to(folder)), f.stat().st_size) for f in folder.rglob("*")
                     if f.is_file()}
        check(installed == zipped, f"installed {sorted(installed ^ zipped)} unlike the zip")
        strings = version_strings(folder / "vantrel-speedtest.exe")
        check(strings == {"CompanyName": "Vantrel Speed Test developers", "FileDescription":
                          "Vantrel Speed Test", "FileVersion": version, "ProductName":
                          "Vantrel Speed Test", "ProductVersion": version},
              f"the program's version resource holds {strings}")
        check(len(shortcuts()) == 1, f"Start-menu shortcuts: {shortcuts()}")
        entries = installed_products(prefix, env)
        check(len(entries) == 1 and entries[0].get("DisplayVersion") == version and
              entries[0].get("Publisher") and entries[0].get("icon", "").endswith("vantrel.ico")
              and (prefix / "drive_c" / entries[0]["icon"][3:]).exists(),
              f"the Apps entries are {entries}")
        print(f"installed {len(installed)} files as the zip holds them, the shortcut, and "
              f"an Apps entry: {entries[0]['DisplayVersion']} by {entries[0]['Publisher']}, "
              f"icon {entries[0]['icon']}; the program's version resource: {strings}")

        status = subprocess.run([sys.executable, ROOT / "tests" / "e2e" / "e2e.py", "--app",
                                 folder / "vantrel-speedtest.exe", "--wine", prefix, "--sim",
                                 args.sim, "--instrument", args.instrument, "normal_start"])
        check(status.returncode == 0, "the installed program failed its normal start")

        def make_msi(made_version):
            return subprocess.run([ROOT / "tools" / "make-msi.sh", args.build, made_version, tmp],
                                  capture_output=True, text=True, check=True).stdout.strip()

        # A rebuild of the same version, then a newer one, each replaces what is there.
        newer_version = ".".join(version.split(".")[:2] + [str(int(version.split(".")[2]) + 1)])
        for made_version in (version, newer_version):
            rebuilt = make_msi(made_version)
            check(msiexec("/i", rebuilt) == 0, f"the rebuilt {made_version} MSI did not install")
            entries = installed_products(prefix, env)
            check([e.get("DisplayVersion") for e in entries] == [made_version],
                  f"after installing a rebuilt {made_version} the Apps entries are {entries}")
        check(msiexec("/i", found[0]) != 0, "the older MSI installed over the newer one")
        check(msiexec("/x", rebuilt) == 0, "msiexec /x failed")
        left = [str(f) for f in folder.rglob("*")] if folder.exists() else []
        check(not left and not shortcuts() and not installed_products(prefix, env),
              f"left after removal: {left}, {shortcuts()}")
        print(f"replaced by a rebuilt {version}, upgraded to {newer_version} in place, "
              f"refused {version} over it, removed all")
        stop_wineserver(env)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    b = sub.add_parser("build")
    b.add_argument("build", type=Path)
    m = sub.add_parser("msi")
    m.add_argument("build", type=Path)
    m.add_argument("--sim", required=True)
    m.add_argument("--instrument", required=True)
    u = sub.add_parser("unit")
    u.add_argument("build", type=Path)
    u.add_argument("name")
    u.add_argument("--windows", choices=("10", "11"), default="10")
    args = parser.parse_args()
    args.build = args.build.resolve()
    return {"build": build, "msi": msi, "unit": unit}[args.command](args)


if __name__ == "__main__":
    sys.exit(main() or 0)
