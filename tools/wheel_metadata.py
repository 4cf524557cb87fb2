"""scikit-build-core metadata provider: the dependencies that depend on the
flavour being built. A CUDA wheel's extra "cuda" names NVIDIA's runtime wheels
of the toolkit's major; the host flavour needs scipy-openblas32 unless the
build was told to use another BLAS (BLA_VENDOR).

The flavour is decided here as CMakeLists.txt decides it (QALVANE_RUNTIME, else
cuda where a CUDA compiler is found) and handed to CMake in the environment
variable QALVANE_WHEEL_FLAVOUR, which refuses a build that came out otherwise."""
import os
import re
import shlex
import shutil
import subprocess

RUNTIME_WHEELS = {
    "12": ["nvidia-cuda-runtime-cu12>=12,<13", "nvidia-cublas-cu12>=12,<13"],
    "13": ["nvidia-cuda-runtime>=13,<14", "nvidia-cublas>=13,<14"],
}
HOST_BLAS = "scipy-openblas32>=0.3.27"


def _build_settings():
    """The scikit-build-core settings of this build, with the user's -C options:
    the provider interface passes only its own table, so they are taken from
    the caller's frame."""
    try:
        from scikit_build_core.settings.skbuild_model import ScikitBuildSettings
    except ImportError:
        return None
    import inspect

    frame = inspect.currentframe()
    while frame is not None:
        for value in frame.f_locals.values():
            if isinstance(value, ScikitBuildSettings):
                return value
        frame = frame.f_back
    return None


def _cmake_defines():
    """-D definitions from -C cmake.define.*, -C cmake.args and CMAKE_ARGS."""
    defines = {}
    args = shlex.split(os.environ.get("CMAKE_ARGS", ""))
    settings = _build_settings()
    if settings is not None:
        args = list(settings.cmake.args) + args
    pending = None
    for arg in args:
        if pending or arg.startswith("-D"):
            text = arg if pending else arg[2:]
            pending = not text
            if "=" in text:
                name, value = text.split("=", 1)
                defines[name.split(":")[0]] = value
    if settings is not None:
        for name, value in settings.cmake.define.items():
            defines[name] = value if isinstance(value, str) else ";".join(map(str, value))
    return defines


def _cuda_compiler(defines):
    """The CUDA compiler CMake would find, or None."""
    for candidate in (defines.get("CMAKE_CUDA_COMPILER"), os.environ.get("CUDACXX")):
        if candidate:
            return candidate
    path = os.environ.get("PATH", "")
    if os.environ.get("CUDA_PATH"):
        path += os.pathsep + os.path.join(os.environ["CUDA_PATH"], "bin")
    return shutil.which("nvcc", path=path)


def flavour():
    """'host' or 'cuda<major>', and whether BLA_VENDOR names another BLAS."""
    defines = _cmake_defines()
    runtime = defines.get("QALVANE_RUNTIME", "").lower()
    compiler = None if runtime == "host" else _cuda_compiler(defines)
    if runtime == "cuda" and compiler is None:
        raise RuntimeError("QALVANE_RUNTIME=cuda but no CUDA compiler found "
                           "(set CUDACXX or put nvcc on PATH)")
    # A vendor the user names is linked instead of scipy-openblas32.
    vendor = defines.get("BLA_VENDOR") or os.environ.get("BLA_VENDOR")
    vendor = bool(vendor) and vendor != "scipy-openblas32"
    if compiler is None:
        return "host", vendor
    out = subprocess.run([compiler, "--version"], capture_output=True, text=True, check=True)
    major = re.search(r"release (\d+)\.", out.stdout).group(1)
    if major not in RUNTIME_WHEELS:
        raise RuntimeError(f"CUDA {major} is not supported: use CUDA 12 or 13")
    return f"cuda{major}", vendor


def dynamic_metadata(settings, project):
    """settings: this provider's entry in pyproject.toml; "base" lists the
    dependencies of every flavour."""
    name, vendor = flavour()
    os.environ["QALVANE_WHEEL_FLAVOUR"] = name
    dependencies = list(settings.get("base", []))
    if name == "host" and not vendor:
        dependencies.append(HOST_BLAS)
    extras = {"cuda": RUNTIME_WHEELS[name[4:]]} if name != "host" else {}
    return {"dependencies": dependencies, "optional-dependencies": extras}


def dynamic_wheel(settings):
    """Both fields may differ between an sdist and the wheels built from it."""
    return {"dependencies": True, "optional-dependencies": True}
