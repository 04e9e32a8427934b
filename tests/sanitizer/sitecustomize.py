"""Imported at start-up by every Python process of the sanitizer stage:
scripts/sanitize puts this directory on PYTHONPATH, and the processes that
the tests start inherit it.

numpy, which the demo plots through, allocates a few dozen objects while its
core extension module initialises and never frees them, so LeakSanitizer
would fail the demo's tests over a leak that is not ours. No suppression can
name numpy's frames: the interpreter between numpy and malloc keeps no frame
pointers, so the stack recorded with each block ends inside CPython's
allocator (recording whole stacks makes the suite ten times slower). Instead,
leak detection is paused on the importing thread for that module's
initialisation only: everything allocated afterwards, numpy's included, and
on any other thread meanwhile, is still checked."""

import sys

# numpy 2 and numpy 1 spell the package differently.
_LEAKY_AT_IMPORT = {"numpy._core._multiarray_umath", "numpy.core._multiarray_umath"}


def _paused(step):
    def run(*arguments):
        import ctypes

        runtime = ctypes.CDLL(None)
        if not hasattr(runtime, "__lsan_disable"):  # the sanitizer runtime is not loaded
            return step(*arguments)
        runtime.__lsan_disable()
        try:
            return step(*arguments)
        finally:
            runtime.__lsan_enable()

    return run


class _PausedLeakCheckFinder:
    @staticmethod
    def find_spec(fullname, path=None, target=None):
        if fullname not in _LEAKY_AT_IMPORT:
            return None
        from importlib.machinery import PathFinder

        spec = PathFinder.find_spec(fullname, path, target)
        if spec is not None and spec.loader is not None:
            # An extension module's initialisation runs in both steps.
            spec.loader.create_module = _paused(spec.loader.create_module)
            spec.loader.exec_module = _paused(spec.loader.exec_module)
        return spec


sys.meta_path.insert(0, _PausedLeakCheckFinder())
