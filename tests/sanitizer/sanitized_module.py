"""A pytest plugin for the sanitizer stage (scripts/sanitize loads it with
-p): the suite is worth running there only against the instrumented build of
the module, and an installed jointbus or a stale build would pass just as
quietly. Stops the run before any test if `import jointbus` finds another
file than JOINTBUS_SANITIZED_MODULE, and names the file in the header."""

import os
import pathlib

import pytest


def _imported_module():
    import jointbus

    return pathlib.Path(jointbus.__file__).resolve()


def pytest_configure(config):
    expected = os.environ.get("JOINTBUS_SANITIZED_MODULE")
    if not expected:
        raise pytest.UsageError("JOINTBUS_SANITIZED_MODULE must name the sanitized jointbus module")
    imported = _imported_module()
    if imported != pathlib.Path(expected).resolve():
        raise pytest.UsageError(f"import jointbus finds {imported}, not the sanitized build {expected}")


def pytest_report_header(config):
    return f"jointbus (sanitized): {_imported_module()}"
