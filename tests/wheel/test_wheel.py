"""Each repaired wheel installs into a new environment without build tools and runs the demo."""

import os
import re
import subprocess
import zipfile
from pathlib import Path

import pytest
from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

ROOT = Path(__file__).resolve().parents[2]
WHEELHOUSE = ROOT / os.environ.get("BREVANTA_WHEELHOUSE", "dist")
PYTHONS = os.environ.get("BREVANTA_PYTHONS", "3.12").split()
# What every Linux system has (glibc itself loads libgcc_s to end a thread); anything else must be linked
# in or shipped in the wheel.
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "ld-linux-x86-64.so.2", "libgcc_s.so.1"}
BUILD_TOOLS = re.compile(r"(^|-)(cc|c89|c99|c\+\+|cpp|gcc|g\+\+|clang|clang\+\+|ld|as)(-[\d.]+)?$|^(cmake|ninja|make)$")


def wheel_for(version):
    tag = "cp" + version.replace(".", "")
    (wheel,) = WHEELHOUSE.glob(f"brevanta-*-{tag}-{tag}-*manylinux*.whl")
    return wheel


def python_for(version):
    return run(str(ROOT / "tools" / "python-for"), version).stdout.strip()


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=600, check=True, **kwargs)


def path_without_build_tools(tmp_path):
    """A PATH of one directory that links every program of ours except compilers, linkers and build drivers."""
    tools = tmp_path / "tools"
    tools.mkdir()
    for directory in os.environ["PATH"].split(os.pathsep):
        for program in Path(directory).glob("*") if Path(directory).is_dir() else ():
            link = tools / program.name
            if not BUILD_TOOLS.search(program.name) and not link.exists() and os.access(program, os.X_OK):
                link.symlink_to(program)
    return str(tools)


def demo(*make_args, path):
    # make's own recipe, so the two runs cannot differ in what they run; make
    # itself is taken from the full PATH, the recipe sees `path`.
    make = run("sh", "-c", "command -v make").stdout.strip()
    output = run(make, "-s", "demo", "-o", "install", *make_args, cwd=ROOT, env={**os.environ, "PATH": path}).stdout
    # Session files are named by the time and live under the demo's home.
    return re.sub(r"\S*/sessions/(\S+?)_\d{8}_\d{6}\.json", r"<home>/sessions/\1_<time>.json", output)


def test_a_wheel_for_every_supported_python():
    assert sorted(wheel.name.split("-")[2] for wheel in WHEELHOUSE.glob("*.whl")) == sorted(
        "cp" + version.replace(".", "") for version in PYTHONS
    )


@pytest.mark.parametrize("version", PYTHONS)
def test_modules_need_only_the_c_library(version, tmp_path):
    zipfile.ZipFile(wheel_for(version)).extractall(tmp_path)
    modules = list((tmp_path / "brevanta").glob("*.so"))
    assert {module.name.split(".")[0] for module in modules} == {"gapscope", "waymark"}
    for module in modules:
        with module.open("rb") as file:
            dynamic = ELFFile(file).get_section_by_name(".dynamic")
            assert isinstance(dynamic, DynamicSection)
            needed = {tag.needed for tag in dynamic.iter_tags() if tag.entry.d_tag == "DT_NEEDED"}
        assert needed <= SYSTEM_LIBRARIES, module.name


@pytest.mark.parametrize("version", PYTHONS)
def test_demo_from_the_installed_wheel(version, tmp_path):
    python = python_for(version)
    venv = tmp_path / "venv"
    run(python, "-m", "venv", str(venv))
    bare = os.pathsep.join([str(venv / "bin"), path_without_build_tools(tmp_path)])
    # Binary packages only: nothing may be built, and nothing could be. The demo writes HTML and Word too.
    run(str(venv / "bin" / "python"), "-m", "pip", "install", "--quiet", "--only-binary", ":all:",
        f"{wheel_for(version)}[documents]", env={**os.environ, "PATH": bare})
    assert demo(f"VENV={venv}", path=bare) == demo(path=os.environ["PATH"])


@pytest.mark.parametrize("built, runs", [(built, runs) for built in PYTHONS for runs in PYTHONS if built != runs])
def test_version_warning_names_the_version_built_for(built, runs, tmp_path):
    # One version's module, named as another version looks for it. With the
    # warning made an error, the import stops there, before anything else runs.
    zipfile.ZipFile(wheel_for(built)).extractall(tmp_path)
    python = python_for(runs)
    suffix = run(python, "-c", "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))").stdout.strip()
    (module,) = (tmp_path / "brevanta").glob("gapscope.*.so")
    module.rename(module.with_name("gapscope" + suffix))
    result = subprocess.run([python, "-W", "error::RuntimeWarning", "-c", "import brevanta.gapscope"],
                            cwd=tmp_path, env={"PYTHONPATH": str(tmp_path), "CORVANE_HOME": str(tmp_path / "home")},
                            capture_output=True, text=True, timeout=60)
    assert (f"RuntimeWarning: compile time Python version {built} of module 'brevanta.gapscope' "
            f"does not match runtime version {runs}") in result.stderr
