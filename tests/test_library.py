"""Choosing the camera library at run time.

orx loads its ORXCamera2 when it is imported: the file named by
ORX_CAMERA_LIBRARY, else the simulator installed beside it. The switch is
tested with a small recording library built here from the C interface's own
declarations (each function logs its name and integer arguments and
succeeds); every case runs in a fresh interpreter, since a library once
loaded stays for the process.
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import orx
import orxsim

REPO = pathlib.Path(__file__).resolve().parents[1]
HEADER = REPO / "include" / "ORXCamera2.h"
PROTOTYPE = re.compile(r"^ORX_API ([^\n]+?)\s*ORX_CALL (ORX\w+)\((.*?)\);", re.S | re.M)
VERSION = "recording library 1.0"


def recording_source(header_text):
    """C source defining every function the header declares."""
    out = [
        '#include "ORXCamera2.h"',
        "#include <stdio.h>",
        "#include <string.h>",
        "static char entries[1 << 16];",
        "static void note(const char *text) {",
        "    strncat(entries, text, sizeof entries - strlen(entries) - 1);",
        "}",
        "__attribute__((visibility(\"default\"))) const char *recording_log(void) { return entries; }",
    ]
    functions = PROTOTYPE.findall(header_text)
    for returns, name, params in functions:
        params = " ".join(params.split())
        decls = [] if params == "void" else [p.strip() for p in params.split(",")]
        ints = [d.split()[-1] for d in decls if d.split()[0] in ("int32_t", "ORX_BOOL") and "*" not in d]
        fmt = ",".join("%d" for _ in ints)
        result = {"const char *": f'"{VERSION}"'}.get(returns.strip(), "1" if name in (
            "ORXGetNumOfConnectedCameras", "ORXCameraCheck") else "0")
        out += [
            f"#ifndef LEAVE_OUT_{name}",
            f"ORX_API {returns} ORX_CALL {name}({params}) {{",
            "    char line[160];",
            f'    snprintf(line, sizeof line, "{name}({fmt})\\n"{"".join(", " + i for i in ints)});',
            "    note(line);",
            f"    return {result};",
            "}",
            "#endif",
        ]
    return "\n".join(out) + "\n", [name for _, name, _ in functions]


@pytest.fixture(scope="module")
def libraries(tmp_path_factory):
    """(complete recording library, one without ORXGPSGetData)."""
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if not compiler:
        pytest.skip("no C compiler to build a recording library")
    folder = tmp_path_factory.mktemp("recording")
    source, names = recording_source(HEADER.read_text())
    assert len(names) == 42
    (folder / "recording.c").write_text(source)
    built = []
    for lib, extra in (("librecording.so", []), ("libincomplete.so", ["-DLEAVE_OUT_ORXGPSGetData"])):
        subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-I", str(HEADER.parent), *extra,
                        str(folder / "recording.c"), "-o", str(folder / lib)], check=True)
        built.append(str(folder / lib))
    return built


def run(code, library=None):
    """Runs `code` in a fresh interpreter with the environment orx sees at import."""
    env = dict(os.environ)
    env.pop("ORX_CAMERA_LIBRARY", None)
    if library is not None:
        env["ORX_CAMERA_LIBRARY"] = library
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_environment_variable_switches_every_call_to_the_named_library(libraries):
    complete, _ = libraries
    out = run("""
        import ctypes, orx, orxsim
        print(orx.get_sdk_version(), orx.get_number_of_connected_cameras(), orx.camera_check(1, 2))
        orx.open_camera(7)
        orx.set_control_value(7, orx.ControlType.ORX_GAIN, 150, True)
        print(orx.get_control_value(7, orx.ControlType.ORX_EXPOSURE))
        orx.set_roi_format(7, 64, 48, 2, orx.ImgType.IMG_RAW16)
        print(len(orx.get_video_data(7, 100, 50)))
        log = ctypes.CDLL(orxsim.camera_library())
        log.recording_log.restype = ctypes.c_char_p
        print(log.recording_log().decode(), end="")
        try:
            orxsim.reset()
        except RuntimeError as e:
            print("orxsim:", e)
    """, complete)
    lines = out.splitlines()
    assert lines[0] == f"{VERSION} 1 1"
    assert lines[1] == "(0, False)"
    assert lines[2] == "100"
    assert lines[3:-1] == [
        "ORXGetSDKVersion()", "ORXGetNumOfConnectedCameras()", "ORXCameraCheck(1,2)", "ORXOpenCamera(7)",
        "ORXSetControlValue(7,0,150,1)", "ORXGetControlValue(7,1)", "ORXSetROIFormat(7,64,48,2,2)",
        "ORXGetVideoData(7,100,50)",
    ]
    assert lines[-1] == f"orxsim: the camera library orx uses ({complete}) is not the simulator: " \
        "it has no control interface"


def test_command_reports_the_loaded_library(libraries):
    complete, _ = libraries
    env = dict(os.environ, ORX_CAMERA_LIBRARY=complete)
    out = subprocess.run([sys.executable, "-m", "orxsim", "--library"], env=env, capture_output=True,
                         text=True, timeout=120, check=True).stdout
    assert out.splitlines() == [f"library:   {complete}", f"version:   {VERSION}", "simulator: no"]


@pytest.mark.parametrize("which, expected", [
    ("missing", "cannot load the camera library {path} (named by ORX_CAMERA_LIBRARY): "),
    ("incomplete", "the camera library {path} (named by ORX_CAMERA_LIBRARY) has no function ORXGPSGetData: "
                   "it does not implement the ORXCamera2 interface"),
])
def test_unusable_library_fails_the_import_and_a_retry_loads_another(libraries, tmp_path, which, expected):
    path = str(tmp_path / "absent.so") if which == "missing" else libraries[1]
    out = run(f"""
        import os, sys
        try:
            import orx
        except ImportError as e:
            print(e.path)
            print(e)
        assert "orx" not in sys.modules
        os.environ["ORX_CAMERA_LIBRARY"] = {libraries[0]!r}
        import orx
        print(orx.get_sdk_version())
        print(type(orx.get_camera_property(0)).__name__)
    """, path)
    lines = out.splitlines()
    assert lines[0] == path
    assert lines[1].startswith(expected.format(path=path))
    assert lines[2:] == [VERSION, "CameraInfo"]


def test_default_is_the_simulator_in_the_packages_own_folder():
    path = pathlib.Path(orxsim.camera_library())
    assert path.parent.name == "orx-camera"
    assert path.parent.parent == pathlib.Path(orx.__file__).resolve().parent
    assert orxsim.library()._name == str(path)
    assert "orx simulator" in orx.get_sdk_version()


def test_module_links_no_camera_library_and_exports_only_its_entry_point():
    nm, readelf = shutil.which("nm"), shutil.which("readelf")
    if not (nm and readelf):
        pytest.skip("binutils not installed")
    undefined = subprocess.run([nm, "-D", "--undefined-only", orx.__file__], capture_output=True, text=True,
                               check=True).stdout
    assert [line for line in undefined.splitlines() if re.search(r"\bORX", line)] == []
    needed = subprocess.run([readelf, "-d", orx.__file__], capture_output=True, text=True, check=True).stdout
    assert "ORXCamera2" not in needed
    defined = subprocess.run([nm, "-D", "--defined-only", orx.__file__], capture_output=True, text=True,
                             check=True).stdout
    assert [line.split()[-1] for line in defined.splitlines()] == ["PyInit_orx"]
