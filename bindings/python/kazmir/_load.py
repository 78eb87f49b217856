"""Finds a Kazmir library: the variable (a file), else <prefix>/lib when the
package lies in <prefix>/lib/python3/dist-packages (as `cmake --install` puts
it) or <prefix>/lib/python3.X/site-packages (as `pip install --prefix` does),
else the system's loader (LD_LIBRARY_PATH, the ld.so cache)."""
import ctypes
import os


def load(name, variable):
    path = os.environ.get(variable)
    if path:
        try:
            return ctypes.CDLL(path)
        except OSError as e:
            raise OSError(f"{variable}={path}: {e}") from e
    installed = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", name)
    try:
        return ctypes.CDLL(os.path.normpath(installed))
    except OSError:
        pass
    try:
        return ctypes.CDLL(name)
    except OSError as e:
        raise OSError(f"{name} not found: set {variable} to the library file, or LD_LIBRARY_PATH "
                      f"to its folder ({e})") from e
