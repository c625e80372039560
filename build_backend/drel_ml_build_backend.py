"""scikit-build-core, with a build folder that outlives pip's isolated environments.

scikit-build-core clears the CMake cache and CMakeFiles/ (where every object
file lives) whenever the build folder was last used by another copy of
scikit-build-core. Under pip's build isolation every `pip install .` gets a new
copy in a new temporary folder, so every install compiled everything again.

For this project that clearing protects nothing. The paths that come from the
isolated environment are the make program, which scikit-build-core passes on
every configure, and CMAKE_PREFIX_PATH, which its cache init file forces on
every configure; CMakeLists.txt finds nothing else there (the interpreter it
builds for is the target environment's, not the build environment's). So
before a build, each build folder that this checkout made with this same
version of scikit-build-core is recorded as made by the running copy, and CMake
and Ninja then rebuild only what changed. A folder of another checkout or of
another version, or one whose record cannot be read, is left alone, and
scikit-build-core clears it as before.
"""

from __future__ import annotations

import glob
import json
import os
import re
import tomllib
from pathlib import Path

import scikit_build_core
from scikit_build_core import build as _backend
from scikit_build_core.build import *  # noqa: F403  (the PEP 517 hooks)

__all__ = list(_backend.__all__)

_RECORD = ".skbuild-info.json"


def _build_dir_patterns(config_settings: dict | None) -> list[str]:
    """Every build-dir this build may use, as glob patterns ({wheel_tag} and the
    like match any folder name)."""
    templates = []
    for key in ("build-dir", "build_dir"):
        value = (config_settings or {}).get(key)
        if isinstance(value, str):
            templates.append(value)
    if os.environ.get("SKBUILD_BUILD_DIR"):
        templates.append(os.environ["SKBUILD_BUILD_DIR"])
    try:
        with open("pyproject.toml", "rb") as f:
            configured = tomllib.load(f)["tool"]["scikit-build"]["build-dir"]
        templates.append(configured)
    except (OSError, KeyError, TypeError, tomllib.TOMLDecodeError):
        pass
    return [re.sub(r"\{[^}]*\}", "*", t) for t in templates if t]


def _adopt_build_dirs(config_settings: dict | None) -> None:
    source = Path.cwd().resolve()
    running = os.fspath(Path(scikit_build_core.__file__).parent.resolve())
    for pattern in _build_dir_patterns(config_settings):
        for found in glob.glob(os.path.join(source, pattern)):
            folder = Path(found)
            record = folder / _RECORD
            try:
                info = json.loads(record.read_text(encoding="utf-8"))
            except (OSError, ValueError):
                continue
            if not (
                isinstance(info, dict)
                and info.get("source_dir") == os.fspath(source)
                and info.get("build_dir") == os.fspath(folder.resolve())
                and info.get("skbuild_version") == scikit_build_core.__version__
                and "skbuild_path" in info
            ):
                continue
            if info["skbuild_path"] != running:
                info["skbuild_path"] = running
                record.write_text(json.dumps(info, indent=2), encoding="utf-8")


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    _adopt_build_dirs(config_settings)
    return _backend.build_wheel(wheel_directory, config_settings, metadata_directory)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    _adopt_build_dirs(config_settings)
    return _backend.build_editable(wheel_directory, config_settings, metadata_directory)
