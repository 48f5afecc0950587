"""Builds the zavo extension against libzavo_api, libzavo_book (zavo.Book) and
libzavo_capture (zavo.read_capture).

Where the library is found, first match wins:
  ZAVO_PREFIX      an installed prefix (include/zavo_api.h, zavo_book.h,
                   lib/libzavo_api.so, libzavo_book.so, libzavo_capture.so)
  ZAVO_BUILD_DIR   a build tree of this repository (its src/libzavo_api.so,
                   src/libzavo_book.so and src/libzavo_capture.so)
  ../build         this repository's own build tree, when it has been built
  pkg-config       zavo_api, e.g. from `cmake --install build --prefix ...`
  /usr/local, /usr
The extension records the library's directory as its run path, so it loads
without LD_LIBRARY_PATH.
"""

import glob
import os
import subprocess

import pybind11
from setuptools import Extension, setup

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)


def _has_lib(d):
    # The book builder and the offline decoder are installed beside the
    # library; all three must be there.
    return all(glob.glob(os.path.join(d, f"lib{name}.so*"))
               for name in ("zavo_api", "zavo_book", "zavo_capture"))


def _prefix(prefix):
    inc = os.path.join(prefix, "include")
    for lib in ("lib", "lib64", "lib/x86_64-linux-gnu"):
        d = os.path.join(prefix, lib)
        if os.path.exists(os.path.join(inc, "zavo_api.h")) and _has_lib(d):
            return inc, d
    return None


def _build_tree(build):
    d = os.path.join(build, "src")
    inc = os.path.join(REPO, "include")
    if _has_lib(d) and os.path.exists(os.path.join(inc, "zavo_api.h")):
        return inc, d
    return None


def _pkg_config():
    try:
        inc = subprocess.check_output(["pkg-config", "--variable=includedir", "zavo_api"],
                                      stderr=subprocess.DEVNULL, text=True).strip()
        lib = subprocess.check_output(["pkg-config", "--variable=libdir", "zavo_api"],
                                      stderr=subprocess.DEVNULL, text=True).strip()
    except (OSError, subprocess.CalledProcessError):
        return None
    return (inc, lib) if inc and lib and _has_lib(lib) else None


def locate():
    if os.environ.get("ZAVO_PREFIX"):
        found = _prefix(os.environ["ZAVO_PREFIX"])
        if not found:
            raise SystemExit(f"ZAVO_PREFIX={os.environ['ZAVO_PREFIX']}: no include/zavo_api.h "
                             "and lib/libzavo_api.so, libzavo_book.so, libzavo_capture.so there")
        return found
    if os.environ.get("ZAVO_BUILD_DIR"):
        found = _build_tree(os.path.abspath(os.environ["ZAVO_BUILD_DIR"]))
        if not found:
            raise SystemExit(f"ZAVO_BUILD_DIR={os.environ['ZAVO_BUILD_DIR']}: "
                             "no src/libzavo_api.so, libzavo_book.so, libzavo_capture.so there "
                             "(build the zavo_api, zavo_book and zavo_capture targets)")
        return found
    for found in (_build_tree(os.path.join(REPO, "build")), _pkg_config(),
                  _prefix("/usr/local"), _prefix("/usr")):
        if found:
            return found
    raise SystemExit("libzavo_api, libzavo_book and libzavo_capture not found: build them "
                     "(scripts/build.sh normal zavo_api zavo_book zavo_capture), "
                     "or set ZAVO_PREFIX to an installed prefix or ZAVO_BUILD_DIR to a build tree")


include_dir, lib_dir = locate()
print(f"zavo: building against {lib_dir} (header in {include_dir})")
system_dirs = {"/usr/lib", "/usr/lib64", "/usr/lib/x86_64-linux-gnu", "/lib"}

setup(
    ext_modules=[
        Extension(
            "zavo._native",
            sorted(os.path.relpath(p, HERE) for p in glob.glob(os.path.join(HERE, "src", "*.cpp"))),
            include_dirs=[pybind11.get_include(), include_dir, os.path.join(HERE, "src"),
                          os.path.join(REPO, "tools", "common")],
            library_dirs=[lib_dir],
            libraries=["zavo_api", "zavo_book", "zavo_capture"],
            runtime_library_dirs=[] if lib_dir in system_dirs else [lib_dir],
            extra_compile_args=["-std=c++17", "-O2", "-fvisibility=hidden"],
            language="c++",
        )
    ],
)
